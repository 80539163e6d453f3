#include "rich_text/rope.h"

#include "rich_text/text_memory.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace rich_text {

namespace {
struct Storage;
constexpr qint64 kPageChars = RopeWriter::kPageChars;
} // namespace

// A stretch of text in a TextMemory's file, as pages of kPageChars
// characters (the last one shorter), each stored as a storage would hold it
// in memory. A page read back stays in memory until the memory needs the
// room; a reader holds the page it reads, so it never goes under its feet.
// What stays in memory for a page in the file is where it lies: 16 bytes.
//
// Invariants:
// - m_pages[i] holds characters [i * kPageChars, i * kPageChars +
//   pageLength(i)) of the stretch, every page but the last kPageChars long.
// - m_loaded holds the pages read back and still in memory, each exactly
//   what its bytes in the file say, each listed in m_memory.
class SpilledPages {
public:
    explicit SpilledPages(std::shared_ptr<TextMemory> memory)
        : m_memory(std::move(memory))
    {
    }
    ~SpilledPages()
    {
        m_loaded.clear();
        for (const PageInfo &page : m_pages)
            m_memory->release(page.offset, page.bytes);
    }
    SpilledPages(const SpilledPages &) = delete;
    SpilledPages &operator=(const SpilledPages &) = delete;

    qint64 length() const { return m_length; }
    bool isLatin1() const { return m_latin1; }
    qint64 pageLength(size_t index) const { return index + 1 < m_pages.size() ? kPageChars : m_lastLength; }
    void add(qint64 offset, qint64 bytes, qint64 chars, quint32 exceptions, bool narrow)
    {
        m_pages.push_back(PageInfo{offset, quint32(bytes), exceptions, narrow});
        m_length += chars;
        m_lastLength = chars;
        m_latin1 = m_latin1 && narrow && exceptions == 0;
    }
    // The page, read back when it is not in memory.
    std::shared_ptr<const Storage> page(size_t index) const;

private:
    struct PageInfo {
        qint64 offset;
        quint32 bytes;
        quint32 exceptions : 31;
        quint32 narrow : 1;
    };
    // A page read back: it leaves memory by letting go of itself.
    struct Loaded final : TextMemory::Resident {
        Loaded(const SpilledPages &owner, size_t index, std::shared_ptr<const Storage> storage, qint64 bytes)
            : owner(owner)
            , index(index)
            , storage(std::move(storage))
            , bytes(bytes)
        {
        }
        qint64 residentBytes() const override { return bytes; }
        bool leaveMemory() override
        {
            owner.m_loaded.erase(index); // already in the file
            return true;
        }
        const SpilledPages &owner;
        size_t index;
        std::shared_ptr<const Storage> storage;
        qint64 bytes;
    };

    std::shared_ptr<TextMemory> m_memory; // outlives the pages
    std::vector<PageInfo> m_pages;
    mutable std::unordered_map<size_t, std::unique_ptr<Loaded>> m_loaded;
    qint64 m_length = 0;
    qint64 m_lastLength = 0;
    bool m_latin1 = true;
};

namespace {

// A stretch of characters that leaves share: one byte per character
// (`narrow`, Latin-1, with the few characters beyond it kept apart in
// `exceptions`), two (`wide`, UTF-16), characters made only when read
// (`generated`), or pages in a file (`spilled`). A storage with exceptions
// is at most kMaxStorage characters long, so that 16 bits place each of them.
struct Storage {
    struct Exception {
        quint16 position;
        char16_t unit;
    };

    QString wide;
    QByteArray narrow;
    std::vector<Exception> exceptions;
    std::shared_ptr<const GeneratedText> generated;
    std::shared_ptr<const SpilledPages> spilled;
    bool isNarrow = false;

    char16_t unit(qint64 at) const
    {
        if (generated)
            return generated->characters().at(at).unicode();
        if (spilled)
            return spilled->page(size_t(at / kPageChars))->unit(at % kPageChars);
        if (!isNarrow)
            return wide[at].unicode();
        const auto found = firstExceptionFrom(at);
        if (found != exceptions.end() && found->position == at)
            return found->unit;
        return char16_t(uchar(narrow[at]));
    }

    void copyUnits(qint64 from, qint64 count, char16_t *out) const
    {
        if (generated) {
            generated->characters().mid(from, count).forEachChunk(0, [&out](QStringView chunk) {
                out = std::copy(chunk.utf16(), chunk.utf16() + chunk.size(), out);
                return true;
            });
            return;
        }
        if (spilled) {
            while (count > 0) {
                const size_t index = size_t(from / kPageChars);
                const qint64 within = from % kPageChars;
                const qint64 n = std::min(count, spilled->pageLength(index) - within);
                spilled->page(index)->copyUnits(within, n, out);
                out += n;
                from += n;
                count -= n;
            }
            return;
        }
        if (!isNarrow) {
            std::copy_n(reinterpret_cast<const char16_t *>(wide.constData()) + from, count, out);
            return;
        }
        const char *bytes = narrow.constData() + from;
        for (qint64 k = 0; k < count; ++k)
            out[k] = char16_t(uchar(bytes[k]));
        for (auto e = firstExceptionFrom(from); e != exceptions.end() && e->position < from + count; ++e)
            out[e->position - from] = e->unit;
    }

    std::vector<Exception>::const_iterator firstExceptionFrom(qint64 at) const
    {
        return std::lower_bound(exceptions.begin(), exceptions.end(), at,
                                [](const Exception &e, qint64 p) { return qint64(e.position) < p; });
    }
};

constexpr qint64 kMaxStorage = 65536;
static_assert(kPageChars == kMaxStorage, "a page is one storage");

// Up to one character in this many beyond Latin-1 still stores one byte per character.
constexpr qsizetype kExceptionRatio = 8;

// A page as its bytes in the file: Latin-1 bytes followed by the exceptions
// (position and unit, 16 bits each), or UTF-16.
struct EncodedPage {
    QByteArray bytes;
    quint32 exceptions = 0;
    bool narrow = true;
};

EncodedPage encodePage(QStringView text)
{
    EncodedPage page;
    std::vector<Storage::Exception> exceptions;
    for (qsizetype i = 0; i < text.size() && page.narrow; ++i) {
        if (text[i].unicode() >= 0x100) {
            if (qsizetype(exceptions.size()) >= text.size() / kExceptionRatio)
                page.narrow = false;
            else
                exceptions.push_back(Storage::Exception{quint16(i), text[i].unicode()});
        }
    }
    if (!page.narrow) {
        page.bytes = QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
        return page;
    }
    page.bytes = text.toLatin1();
    page.exceptions = quint32(exceptions.size());
    for (const Storage::Exception &e : exceptions) {
        const quint16 pair[] = {e.position, quint16(e.unit)};
        page.bytes.append(reinterpret_cast<const char *>(pair), sizeof pair);
    }
    return page;
}

std::shared_ptr<const Storage> decodePage(QByteArray bytes, qint64 chars, quint32 exceptions, bool narrow)
{
    auto storage = std::make_shared<Storage>();
    if (!narrow) {
        storage->wide = QString(reinterpret_cast<const QChar *>(bytes.constData()), chars);
        return storage;
    }
    storage->isNarrow = true;
    storage->exceptions.reserve(exceptions);
    const char *pairs = bytes.constData() + chars;
    for (quint32 k = 0; k < exceptions; ++k) {
        quint16 pair[2];
        std::memcpy(pair, pairs + 4 * k, sizeof pair);
        storage->exceptions.push_back(Storage::Exception{pair[0], char16_t(pair[1])});
    }
    bytes.truncate(chars);
    storage->narrow = std::move(bytes);
    return storage;
}

} // namespace

std::shared_ptr<const Storage> SpilledPages::page(size_t index) const
{
    auto &loaded = m_loaded[index];
    if (!loaded) {
        const PageInfo &page = m_pages[index];
        loaded = std::make_unique<Loaded>(
            *this, index,
            decodePage(m_memory->load(page.offset, page.bytes), pageLength(index), page.exceptions, page.narrow),
            page.bytes);
    }
    // Held before it is listed: listing may send other pages out, never this one.
    std::shared_ptr<const Storage> pinned = loaded->storage;
    m_memory->touch(*loaded);
    return pinned;
}

// A leaf covers [offset, offset + length) of its storage. Leaves share
// storage, so a cut costs a new node, never a copy.
struct Rope::Node {
    NodePtr left; // both null for a leaf
    NodePtr right;
    std::shared_ptr<const Storage> storage;
    qint64 offset = 0;
    qint64 length = 0;
    int height = 0; // leaf: 0

    bool isLeaf() const { return !left; }
    // A leaf whose characters may be copied into a merged leaf.
    bool isMergeable() const { return isLeaf() && !storage->generated && !storage->spilled; }
    bool isNarrow() const { return storage->isNarrow; }
    bool hasExceptions() const { return !storage->exceptions.empty(); }
    char16_t unit(qint64 i) const { return storage->unit(offset + i); }
    // Units [from, from + count) of the leaf into `out`.
    void copyUnits(qint64 from, qint64 count, char16_t *out) const { storage->copyUnits(offset + from, count, out); }
};

namespace {

using Node = Rope::Node;
using NodePtr = Rope::NodePtr;

// Joining two neighbours at most this long together merges them, so a rope
// grown by many small appends does not turn into a tree of tiny leaves.
constexpr qint64 kMaxLeaf = 2048;
// A long stretch of text is cut into leaves at most this long: a node costs
// some 90 bytes, under one per cent of a leaf this size.
constexpr qint64 kMaxBuiltLeaf = 16384;

int heightOf(const NodePtr &n) { return n ? n->height : -1; }
qint64 lengthOf(const NodePtr &n) { return n ? n->length : 0; }

NodePtr makeLeaf(const Node &of, qint64 offset, qint64 length)
{
    auto n = std::make_shared<Node>();
    n->storage = of.storage;
    n->offset = offset;
    n->length = length;
    return n;
}

NodePtr leafOver(std::shared_ptr<Storage> storage, qint64 length)
{
    auto n = std::make_shared<Node>();
    n->storage = std::move(storage);
    n->length = length;
    return n;
}

// A rope keeps its storage for as long as any leaf refers to it, so storage
// that grew by appends gives back its spare room first.
NodePtr wideLeaf(QString text)
{
    text.squeeze();
    auto storage = std::make_shared<Storage>();
    const qint64 length = text.size();
    storage->wide = std::move(text);
    return leafOver(std::move(storage), length);
}

NodePtr narrowLeaf(QByteArray latin1, std::vector<Storage::Exception> exceptions = {})
{
    latin1.squeeze();
    exceptions.shrink_to_fit();
    auto storage = std::make_shared<Storage>();
    const qint64 length = latin1.size();
    storage->narrow = std::move(latin1);
    storage->exceptions = std::move(exceptions);
    storage->isNarrow = true;
    return leafOver(std::move(storage), length);
}

// One byte per character where few characters fall beyond Latin-1, two
// otherwise. `text` is at most kMaxStorage characters long.
NodePtr leafFor(QStringView text)
{
    std::vector<Storage::Exception> exceptions;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() >= 0x100) {
            if (qsizetype(exceptions.size()) >= text.size() / kExceptionRatio)
                return wideLeaf(text.toString());
            exceptions.push_back(Storage::Exception{quint16(i), text[i].unicode()});
        }
    }
    return narrowLeaf(text.toLatin1(), std::move(exceptions));
}

NodePtr makeInner(NodePtr l, NodePtr r)
{
    auto n = std::make_shared<Node>();
    n->height = 1 + std::max(l->height, r->height);
    n->length = l->length + r->length;
    n->left = std::move(l);
    n->right = std::move(r);
    return n;
}

NodePtr rotateLeft(const NodePtr &n)
{
    const NodePtr &r = n->right;
    return makeInner(makeInner(n->left, r->left), r->right);
}

NodePtr rotateRight(const NodePtr &n)
{
    const NodePtr &l = n->left;
    return makeInner(l->left, makeInner(l->right, n->right));
}

void appendLeafTo(QString &out, const Node &leaf)
{
    const qsizetype at = out.size();
    out.resize(at + leaf.length);
    leaf.copyUnits(0, leaf.length, reinterpret_cast<char16_t *>(out.data()) + at);
}

NodePtr mergedLeaf(const Node &a, const Node &b)
{
    if (a.isNarrow() && b.isNarrow() && !a.hasExceptions() && !b.hasExceptions()) {
        QByteArray s;
        s.reserve(a.length + b.length);
        s.append(a.storage->narrow.constData() + a.offset, a.length);
        s.append(b.storage->narrow.constData() + b.offset, b.length);
        return narrowLeaf(std::move(s));
    }
    QString s;
    s.reserve(a.length + b.length);
    appendLeafTo(s, a);
    appendLeafTo(s, b);
    return leafFor(s);
}

// Replaces the rightmost leaf of `n` by its merge with the short leaf `b`;
// heights do not change, so no rebalancing is needed.
NodePtr appendToRightmostLeaf(const NodePtr &n, const Node &b)
{
    if (n->isLeaf())
        return mergedLeaf(*n, b);
    return makeInner(n->left, appendToRightmostLeaf(n->right, b));
}

NodePtr prependToLeftmostLeaf(const Node &a, const NodePtr &n)
{
    if (n->isLeaf())
        return mergedLeaf(a, *n);
    return makeInner(prependToLeftmostLeaf(a, n->left), n->right);
}

const Node *rightmostLeaf(const Node *n)
{
    while (!n->isLeaf())
        n = n->right.get();
    return n;
}

const Node *leftmostLeaf(const Node *n)
{
    while (!n->isLeaf())
        n = n->left.get();
    return n;
}

// AVL join of two balanced trees where `a` is taller (by 2 or more).
NodePtr joinRight(const NodePtr &a, const NodePtr &b)
{
    const NodePtr &l = a->left;
    const NodePtr &c = a->right;
    if (c->height <= b->height + 1) {
        NodePtr t = makeInner(c, b);
        if (t->height <= l->height + 1)
            return makeInner(l, t);
        return rotateLeft(makeInner(l, rotateRight(t)));
    }
    NodePtr t = joinRight(c, b);
    NodePtr joined = makeInner(l, t);
    if (t->height <= l->height + 1)
        return joined;
    return rotateLeft(joined);
}

NodePtr joinLeft(const NodePtr &a, const NodePtr &b)
{
    const NodePtr &c = b->left;
    const NodePtr &r = b->right;
    if (c->height <= a->height + 1) {
        NodePtr t = makeInner(a, c);
        if (t->height <= r->height + 1)
            return makeInner(t, r);
        return rotateRight(makeInner(rotateLeft(t), r));
    }
    NodePtr t = joinLeft(a, c);
    NodePtr joined = makeInner(t, r);
    if (t->height <= r->height + 1)
        return joined;
    return rotateRight(joined);
}

NodePtr join(const NodePtr &a, const NodePtr &b)
{
    if (!a || a->length == 0)
        return b;
    if (!b || b->length == 0)
        return a;
    if (b->isMergeable() && rightmostLeaf(a.get())->isMergeable()
        && rightmostLeaf(a.get())->length + b->length <= kMaxLeaf)
        return appendToRightmostLeaf(a, *b);
    if (a->isMergeable() && leftmostLeaf(b.get())->isMergeable()
        && leftmostLeaf(b.get())->length + a->length <= kMaxLeaf)
        return prependToLeftmostLeaf(*a, b);
    const int diff = a->height - b->height;
    if (diff > 1)
        return joinRight(a, b);
    if (diff < -1)
        return joinLeft(a, b);
    return makeInner(a, b);
}

NodePtr prefix(const NodePtr &n, qint64 count)
{
    if (!n || count <= 0)
        return nullptr;
    if (count >= n->length)
        return n;
    if (n->isLeaf())
        return makeLeaf(*n, n->offset, count);
    const qint64 leftLen = n->left->length;
    if (count <= leftLen)
        return prefix(n->left, count);
    return join(n->left, prefix(n->right, count - leftLen));
}

NodePtr suffixFrom(const NodePtr &n, qint64 pos)
{
    if (!n || pos >= n->length)
        return nullptr;
    if (pos <= 0)
        return n;
    if (n->isLeaf())
        return makeLeaf(*n, n->offset + pos, n->length - pos);
    const qint64 leftLen = n->left->length;
    if (pos >= leftLen)
        return suffixFrom(n->right, pos - leftLen);
    return join(suffixFrom(n->left, pos), n->right);
}

// Builds a balanced tree over slices of one shared storage.
NodePtr buildBalanced(const Node &storage, qint64 from, qint64 count)
{
    if (count <= kMaxBuiltLeaf)
        return makeLeaf(storage, from, count);
    const qint64 leaves = (count + kMaxBuiltLeaf - 1) / kMaxBuiltLeaf;
    const qint64 half = (leaves / 2) * kMaxBuiltLeaf;
    return makeInner(buildBalanced(storage, from, half), buildBalanced(storage, from + half, count - half));
}

NodePtr fromStorage(NodePtr whole)
{
    if (whole->length <= kMaxBuiltLeaf)
        return whole;
    return buildBalanced(*whole, 0, whole->length);
}

NodePtr join(const NodePtr &a, const NodePtr &b);

NodePtr fromString(QStringView text)
{
    NodePtr out;
    for (qsizetype at = 0; at < text.size(); at += kMaxStorage)
        out = join(out, fromStorage(leafFor(text.mid(at, kMaxStorage))));
    return out;
}

// Whether `root` holds the very node `n` starting at position `at`.
bool holdsNodeAt(const Node *root, const Node *n, qint64 at)
{
    qint64 start = 0;
    for (const Node *cur = root; cur && cur->length >= n->length;) {
        if (cur == n)
            return start == at;
        if (cur->isLeaf())
            return false;
        const qint64 leftLen = cur->left->length;
        if (at < start + leftLen) {
            cur = cur->left.get();
        } else {
            start += leftLen;
            cur = cur->right.get();
        }
    }
    return false;
}

} // namespace

Rope::Rope(const QString &text)
    : m_root(fromString(QStringView(text)))
{
}
Rope::Rope(QStringView text)
    : m_root(fromString(text))
{
}
Rope::Rope(const char16_t *text)
    : Rope(QStringView(text))
{
}
Rope::Rope(const char *utf8)
    : m_root(fromString(QString::fromUtf8(utf8)))
{
}

Rope Rope::fromLatin1(const QByteArray &latin1)
{
    return latin1.isEmpty() ? Rope() : Rope(fromStorage(narrowLeaf(latin1)));
}

Rope Rope::spilled(std::shared_ptr<const SpilledPages> pages)
{
    if (!pages || pages->length() == 0)
        return Rope();
    auto storage = std::make_shared<Storage>();
    const qint64 length = pages->length();
    storage->spilled = std::move(pages);
    return Rope(leafOver(std::move(storage), length));
}

Rope Rope::generated(std::shared_ptr<const GeneratedText> text)
{
    if (!text || text->length() == 0)
        return Rope();
    auto storage = std::make_shared<Storage>();
    const qint64 length = text->length();
    storage->generated = std::move(text);
    return Rope(leafOver(std::move(storage), length));
}

const Rope &GeneratedText::characters() const
{
    if (!m_made) {
        m_made = make();
        Q_ASSERT(m_made->length() == m_length);
    }
    return *m_made;
}

qint64 Rope::length() const { return lengthOf(m_root); }

int Rope::depth() const { return heightOf(m_root) + 1; }

bool Rope::isLatin1() const
{
    bool narrow = true;
    std::vector<const Node *> stack;
    if (m_root)
        stack.push_back(m_root.get());
    while (!stack.empty() && narrow) {
        const Node *n = stack.back();
        stack.pop_back();
        if (n->isLeaf()) {
            if (n->storage->generated)
                narrow = n->storage->generated->characters().isLatin1();
            else if (n->storage->spilled)
                narrow = n->storage->spilled->isLatin1();
            else
                narrow = n->isNarrow() && !n->hasExceptions();
        } else {
            stack.push_back(n->left.get());
            stack.push_back(n->right.get());
        }
    }
    return narrow;
}

QChar Rope::at(qint64 pos) const
{
    const Node *n = m_root.get();
    while (!n->isLeaf()) {
        const qint64 leftLen = n->left->length;
        if (pos < leftLen) {
            n = n->left.get();
        } else {
            pos -= leftLen;
            n = n->right.get();
        }
    }
    return QChar(n->unit(pos));
}

Rope Rope::left(qint64 n) const { return Rope(prefix(m_root, n)); }

Rope Rope::mid(qint64 pos, qint64 n) const
{
    if (pos <= 0)
        return n < 0 ? *this : left(n + pos);
    Rope tail(suffixFrom(m_root, pos));
    return n < 0 ? tail : Rope(prefix(tail.m_root, n));
}

Rope Rope::right(qint64 n) const { return mid(length() - std::max<qint64>(n, 0)); }

QString Rope::toString() const
{
    QString out;
    out.reserve(length());
    forEachChunk(0, [&out](QStringView chunk) {
        out.append(chunk);
        return true;
    });
    return out;
}

Rope operator+(const Rope &a, const Rope &b) { return Rope(join(a.m_root, b.m_root)); }

bool operator==(const Rope &a, const Rope &b) { return a.length() == b.length() && a.samePrefix(b, a.length()); }

bool operator==(const Rope &a, QStringView b)
{
    if (a.length() != b.size())
        return false;
    qint64 pos = 0;
    bool equal = true;
    a.forEachChunk(0, [&](QStringView c) {
        if (c != b.mid(pos, c.size())) {
            equal = false;
            return false;
        }
        pos += c.size();
        return true;
    });
    return equal;
}

bool Rope::samePrefix(const Rope &other, qint64 n, qint64 *charsCompared) const
{
    n = std::max<qint64>(n, 0);
    qint64 compared = 0;
    bool same = length() >= n && other.length() >= n;
    // Leaves of this rope are checked in order; a subtree that `other` holds
    // at the same position is equal without being read.
    std::vector<std::pair<const Node *, qint64>> stack;
    if (same && m_root)
        stack.emplace_back(m_root.get(), 0);
    while (same && !stack.empty()) {
        const auto [node, start] = stack.back();
        stack.pop_back();
        if (start >= n)
            continue;
        const qint64 end = start + node->length;
        if (end <= n && holdsNodeAt(other.m_root.get(), node, start))
            continue;
        if (!node->isLeaf()) {
            stack.emplace_back(node->right.get(), start + node->left->length);
            stack.emplace_back(node->left.get(), start);
            continue;
        }
        qint64 i = 0;
        const qint64 count = std::min(end, n) - start;
        compared += count;
        const Node *leaf = node; // clang 14 cannot capture a structured binding
        other.forEachChunk(start, [&](QStringView chunk) {
            for (const QChar c : chunk) {
                if (i == count)
                    return false;
                if (c.unicode() != leaf->unit(i)) {
                    same = false;
                    return false;
                }
                ++i;
            }
            return i < count;
        });
    }
    if (charsCompared)
        *charsCompared = compared;
    return same;
}

bool Rope::visitChunks(const Node *node, qint64 from, void *ctx, bool (*sink)(void *, QStringView),
                       bool (*whole)(void *, const GeneratedText &), void *wholeCtx)
{
    // Latin-1 leaves are widened here, a leaf at a time.
    std::array<char16_t, kMaxLeaf> buffer;
    // Units [from, from + count) of an in-memory storage.
    auto visitStorage = [&](const Storage &storage, qint64 from, qint64 count) {
        if (!storage.isNarrow)
            return sink(ctx, QStringView(storage.wide).mid(from, count));
        for (qint64 at = 0; at < count;) {
            const qint64 n = std::min<qint64>(count - at, kMaxLeaf);
            storage.copyUnits(from + at, n, buffer.data());
            if (!sink(ctx, QStringView(buffer.data(), n)))
                return false;
            at += n;
        }
        return true;
    };
    auto visitLeaf = [&](const Node *leaf, qint64 skip) {
        if (const auto &generated = leaf->storage->generated) {
            if (whole && skip == 0 && leaf->offset == 0 && leaf->length == generated->length()
                && whole(wholeCtx, *generated))
                return true;
            const Rope made = generated->characters().mid(leaf->offset + skip, leaf->length - skip);
            return visitChunks(made.m_root.get(), 0, ctx, sink);
        }
        if (const auto &spilled = leaf->storage->spilled) {
            // A page at a time, each held while the sink reads it.
            for (qint64 at = skip; at < leaf->length;) {
                const qint64 pos = leaf->offset + at;
                const size_t index = size_t(pos / kPageChars);
                const qint64 within = pos % kPageChars;
                const qint64 n = std::min(leaf->length - at, spilled->pageLength(index) - within);
                const std::shared_ptr<const Storage> page = spilled->page(index);
                if (!visitStorage(*page, within, n))
                    return false;
                at += n;
            }
            return true;
        }
        return visitStorage(*leaf->storage, leaf->offset + skip, leaf->length - skip);
    };
    // Iterative in-order walk: the path from the root is at most the tree height.
    std::vector<const Node *> stack;
    while (node) {
        if (from >= node->length)
            return true;
        if (node->isLeaf()) {
            if (!visitLeaf(node, from))
                return false;
            from = 0;
            if (stack.empty())
                return true;
            node = stack.back();
            stack.pop_back();
            continue;
        }
        const qint64 leftLen = node->left->length;
        if (from < leftLen) {
            stack.push_back(node->right.get());
            node = node->left.get();
        } else {
            from -= leftLen;
            node = node->right.get();
        }
    }
    return true;
}

// ---------------------------------------------------------------- writing to the file

RopeWriter::RopeWriter(std::shared_ptr<TextMemory> memory, qint64 keepInMemory)
    : m_memory(std::move(memory))
    , m_keepInMemory(m_memory ? keepInMemory : -1)
{
    m_page.reserve(kPageChars);
}

RopeWriter::~RopeWriter() = default;

void RopeWriter::append(QStringView text)
{
    while (!text.isEmpty()) {
        const qsizetype take = std::min<qsizetype>(kPageChars - m_page.size(), text.size());
        m_page.append(text.left(take));
        text = text.mid(take);
        if (m_page.size() == kPageChars)
            flushPage();
    }
}

void RopeWriter::appendLatin1(const QByteArray &latin1) { append(QStringView(QString::fromLatin1(latin1))); }

void RopeWriter::append(const Rope &text)
{
    text.forEachChunk(0, [this](QStringView chunk) {
        append(chunk);
        return true;
    });
}

// A page goes to the file once the part kept in memory has come; one that
// cannot be stored, and all after it, stay in memory.
void RopeWriter::flushPage()
{
    if (m_page.isEmpty())
        return;
    const bool toFile = !m_failed && m_keepInMemory >= 0 && m_appended + m_page.size() > m_keepInMemory;
    bool stored = false;
    if (toFile) {
        const EncodedPage encoded = encodePage(m_page);
        const qint64 offset = m_memory->store(encoded.bytes.constData(), encoded.bytes.size());
        if (offset >= 0) {
            if (!m_extent)
                m_extent = std::make_shared<SpilledPages>(m_memory);
            m_extent->add(offset, encoded.bytes.size(), m_page.size(), encoded.exceptions, encoded.narrow);
            stored = true;
        } else {
            m_failed = true;
        }
    }
    if (!stored) {
        endExtent();
        m_done += Rope(QStringView(m_page));
    }
    m_appended += m_page.size();
    m_page.resize(0);
}

void RopeWriter::endExtent()
{
    if (m_extent)
        m_done += Rope::spilled(std::move(m_extent));
    m_extent = nullptr;
}

Rope RopeWriter::finish()
{
    flushPage();
    endExtent();
    return std::move(m_done);
}

} // namespace rich_text
