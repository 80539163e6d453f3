#include "rich_text/rope.h"

#include "rich_text/file_text.h"
#include "rich_text/text_storage.h"

#include <algorithm>
#include <vector>

namespace rich_text {

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
    bool isMergeable() const { return isLeaf() && storage->inMemory(); }
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

NodePtr leafFor(QStringView text) { return leafOver(storageFor(text), text.size()); }

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
        const qint64 length = s.size();
        return leafOver(narrowStorage(std::move(s)), length);
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
    for (qsizetype at = 0; at < text.size(); at += Storage::kMaxStorage)
        out = join(out, fromStorage(leafFor(text.mid(at, Storage::kMaxStorage))));
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
    return latin1.isEmpty() ? Rope() : Rope(fromStorage(leafOver(narrowStorage(latin1), latin1.size())));
}

Rope Rope::inFile(std::shared_ptr<const FileStretch> stretch)
{
    if (!stretch || stretch->length() == 0)
        return Rope();
    auto storage = std::make_shared<Storage>();
    const qint64 length = stretch->length();
    storage->file = std::move(stretch);
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
            else if (n->storage->file)
                narrow = n->storage->file->isLatin1();
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
    auto visitLeaf = [&](const Node *leaf, qint64 skip) {
        if (const auto &generated = leaf->storage->generated) {
            if (whole && skip == 0 && leaf->offset == 0 && leaf->length == generated->length()
                && whole(wholeCtx, *generated))
                return true;
            const Rope made = generated->characters().mid(leaf->offset + skip, leaf->length - skip);
            return visitChunks(made.m_root.get(), 0, ctx, sink);
        }
        if (const auto &file = leaf->storage->file)
            return file->visit(leaf->offset + skip, leaf->length - skip, ctx, sink);
        return leaf->storage->visit(leaf->offset + skip, leaf->length - skip, ctx, sink);
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

} // namespace rich_text
