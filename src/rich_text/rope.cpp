#include "rich_text/rope.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace rich_text {

struct Rope::Node {
    NodePtr left;          // both null for a leaf
    NodePtr right;
    QString text;          // leaf: shared storage; the leaf covers [offset, offset + length)
    qint64 offset = 0;
    qint64 length = 0;
    int height = 0;        // leaf: 0

    bool isLeaf() const { return !left; }
    QStringView view() const { return QStringView(text).mid(offset, length); }
};

namespace {

using Node = Rope::Node;
using NodePtr = Rope::NodePtr;

// Leaves are at most this long; joining two short neighbours merges them so a
// rope grown by many small appends does not turn into a tree of tiny leaves.
constexpr qint64 kMaxLeaf = 1024;

quint64 nextOrigin()
{
    static quint64 counter = 0;
    return ++counter;
}

int heightOf(const NodePtr& n) { return n ? n->height : -1; }
qint64 lengthOf(const NodePtr& n) { return n ? n->length : 0; }

NodePtr makeLeaf(QString text, qint64 offset, qint64 length)
{
    auto n = std::make_shared<Node>();
    n->text = std::move(text);
    n->offset = offset;
    n->length = length;
    return n;
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

NodePtr rotateLeft(const NodePtr& n)
{
    const NodePtr& r = n->right;
    return makeInner(makeInner(n->left, r->left), r->right);
}

NodePtr rotateRight(const NodePtr& n)
{
    const NodePtr& l = n->left;
    return makeInner(l->left, makeInner(l->right, n->right));
}

NodePtr mergedLeaf(const Node& a, const Node& b)
{
    QString s;
    s.reserve(a.length + b.length);
    s.append(a.view());
    s.append(b.view());
    const qint64 len = s.size();
    return makeLeaf(std::move(s), 0, len);
}

// Replaces the rightmost leaf of `n` by its merge with the short leaf `b`;
// heights do not change, so no rebalancing is needed.
NodePtr appendToRightmostLeaf(const NodePtr& n, const Node& b)
{
    if (n->isLeaf())
        return mergedLeaf(*n, b);
    return makeInner(n->left, appendToRightmostLeaf(n->right, b));
}

NodePtr prependToLeftmostLeaf(const Node& a, const NodePtr& n)
{
    if (n->isLeaf())
        return mergedLeaf(a, *n);
    return makeInner(prependToLeftmostLeaf(a, n->left), n->right);
}

const Node* rightmostLeaf(const Node* n)
{
    while (!n->isLeaf())
        n = n->right.get();
    return n;
}

const Node* leftmostLeaf(const Node* n)
{
    while (!n->isLeaf())
        n = n->left.get();
    return n;
}

// AVL join of two balanced trees where `a` is taller (by 2 or more).
NodePtr joinRight(const NodePtr& a, const NodePtr& b)
{
    const NodePtr& l = a->left;
    const NodePtr& c = a->right;
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

NodePtr joinLeft(const NodePtr& a, const NodePtr& b)
{
    const NodePtr& c = b->left;
    const NodePtr& r = b->right;
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

NodePtr join(const NodePtr& a, const NodePtr& b)
{
    if (!a || a->length == 0)
        return b;
    if (!b || b->length == 0)
        return a;
    if (b->isLeaf() && rightmostLeaf(a.get())->length + b->length <= kMaxLeaf)
        return appendToRightmostLeaf(a, *b);
    if (a->isLeaf() && leftmostLeaf(b.get())->length + a->length <= kMaxLeaf)
        return prependToLeftmostLeaf(*a, b);
    const int diff = a->height - b->height;
    if (diff > 1)
        return joinRight(a, b);
    if (diff < -1)
        return joinLeft(a, b);
    return makeInner(a, b);
}

NodePtr prefix(const NodePtr& n, qint64 count)
{
    if (!n || count <= 0)
        return nullptr;
    if (count >= n->length)
        return n;
    if (n->isLeaf())
        return makeLeaf(n->text, n->offset, count);
    const qint64 leftLen = n->left->length;
    if (count <= leftLen)
        return prefix(n->left, count);
    return join(n->left, prefix(n->right, count - leftLen));
}

NodePtr suffixFrom(const NodePtr& n, qint64 pos)
{
    if (!n || pos >= n->length)
        return nullptr;
    if (pos <= 0)
        return n;
    if (n->isLeaf())
        return makeLeaf(n->text, n->offset + pos, n->length - pos);
    const qint64 leftLen = n->left->length;
    if (pos >= leftLen)
        return suffixFrom(n->right, pos - leftLen);
    return join(suffixFrom(n->left, pos), n->right);
}

// Builds a balanced tree over slices of one shared string.
NodePtr buildBalanced(const QString& text, qint64 from, qint64 count)
{
    if (count <= kMaxLeaf)
        return makeLeaf(text, from, count);
    const qint64 leaves = (count + kMaxLeaf - 1) / kMaxLeaf;
    const qint64 half = (leaves / 2) * kMaxLeaf;
    return makeInner(buildBalanced(text, from, half),
                     buildBalanced(text, from + half, count - half));
}

NodePtr fromString(const QString& text)
{
    if (text.isEmpty())
        return nullptr;
    return buildBalanced(text, 0, text.size());
}

}  // namespace

Rope::Rope(const QString& text) : m_root(fromString(text)) {}
Rope::Rope(QStringView text) : m_root(fromString(text.toString())) {}
Rope::Rope(const char16_t* text) : Rope(QStringView(text)) {}
Rope::Rope(const char* utf8) : m_root(fromString(QString::fromUtf8(utf8))) {}

qint64 Rope::length() const { return lengthOf(m_root); }

int Rope::depth() const { return heightOf(m_root) + 1; }

QChar Rope::at(qint64 pos) const
{
    const Node* n = m_root.get();
    while (!n->isLeaf()) {
        const qint64 leftLen = n->left->length;
        if (pos < leftLen) {
            n = n->left.get();
        } else {
            pos -= leftLen;
            n = n->right.get();
        }
    }
    return n->text.at(n->offset + pos);
}

Rope Rope::left(qint64 n) const
{
    Rope r(prefix(m_root, n));
    if (m_origin) {
        r.m_origin = m_origin;
        r.m_shared = std::min(m_shared, std::max<qint64>(n, 0));
    }
    return r;
}

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

Rope operator+(const Rope& a, const Rope& b)
{
    if (a.isEmpty() && !a.m_origin)
        return b;
    Rope r(join(a.m_root, b.m_root));
    r.m_origin = a.m_origin;
    r.m_shared = a.m_shared;
    return r;
}

bool operator==(const Rope& a, const Rope& b)
{
    if (a.length() != b.length())
        return false;
    if (a.m_root == b.m_root)
        return true;
    // Walk both chunk sequences in step.
    std::vector<QStringView> chunks;
    a.forEachChunk(0, [&chunks](QStringView c) {
        chunks.push_back(c);
        return true;
    });
    size_t index = 0;
    qint64 offset = 0;
    bool equal = true;
    b.forEachChunk(0, [&](QStringView c) {
        while (!c.isEmpty()) {
            const QStringView here = chunks[index].mid(offset);
            const qint64 n = std::min<qint64>(here.size(), c.size());
            if (here.left(n) != c.left(n)) {
                equal = false;
                return false;
            }
            c = c.mid(n);
            offset += n;
            if (offset == chunks[index].size()) {
                ++index;
                offset = 0;
            }
        }
        return true;
    });
    return equal;
}

bool operator==(const Rope& a, QStringView b)
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

Rope Rope::stamped() const
{
    Rope r = *this;
    r.m_origin = nextOrigin();
    r.m_shared = length();
    return r;
}

void Rope::visitChunks(const Node* node, qint64 from, void* ctx,
                       bool (*sink)(void*, QStringView))
{
    // Iterative in-order walk: the path from the root is at most the tree height.
    std::vector<const Node*> stack;
    while (node) {
        if (from >= node->length)
            return;
        if (node->isLeaf()) {
            if (!sink(ctx, node->view().mid(from)))
                return;
            from = 0;
            if (stack.empty())
                return;
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
}

}  // namespace rich_text
