#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <memory>
#include <optional>

namespace rich_text {

class FileStretch;
class GeneratedText;

// An immutable string stored as a balanced tree of shared chunks. Copies,
// left(), mid() and concatenation share structure and cost O(log n) plus the
// size of any small chunk they merge, so a long text can be cut and extended
// cheaply over and over.
//
// A chunk whose characters all fit in Latin-1 is stored one byte per
// character; RTF source is pure ASCII and most chat text is too, so this
// halves what a long transcript costs. A chunk with a few characters beyond
// Latin-1 (a euro sign, an emoji) keeps one byte per character too, and
// those few apart.
//
// A leaf may also stand for characters that are made only when someone reads
// them (GeneratedText): the RTF of a document, the escaping of a message. A
// reader that knows what the leaf stands for takes it whole (forEachPiece),
// and samePrefix() recognises it by identity, so such text usually never
// exists as characters at all. Generated leaves are never merged with their
// neighbours.
//
// A leaf may also lie in the transcript's file (FileStretch): its characters
// come back a page at a time when read. Such leaves are never merged either.
class Rope {
public:
    struct Node;
    using NodePtr = std::shared_ptr<const Node>;

    Rope() = default;
    Rope(const QString &text);  // NOLINT: implicit on purpose
    Rope(QStringView text);     // NOLINT
    Rope(const char16_t *text); // NOLINT
    Rope(const char *utf8);     // NOLINT
    static Rope fromLatin1(const QByteArray &latin1);
    // One leaf standing for `text`'s characters, made when first read.
    static Rope generated(std::shared_ptr<const GeneratedText> text);

    qint64 length() const;
    qint64 size() const { return length(); }
    bool isEmpty() const { return length() == 0; }

    QChar at(qint64 pos) const;                // pos must be in [0, length)
    Rope left(qint64 n) const;                 // n <= 0: empty; n >= length: whole
    Rope mid(qint64 pos, qint64 n = -1) const; // n < 0: up to the end
    Rope right(qint64 n) const;
    QString toString() const;

    friend Rope operator+(const Rope &a, const Rope &b);
    Rope &operator+=(const Rope &other) { return *this = *this + other; }

    friend bool operator==(const Rope &a, const Rope &b);
    friend bool operator!=(const Rope &a, const Rope &b) { return !(a == b); }
    friend bool operator==(const Rope &a, QStringView b);
    friend bool operator!=(const Rope &a, QStringView b) { return !(a == b); }

    // Whether the first `n` characters of `other` equal this rope's first `n`.
    // Subtrees that both ropes share are recognised without reading them, so
    // checking that a rope is another one cut and extended costs O(log² n)
    // plus the few chunks that the cut rewrote. `charsCompared` (optional)
    // receives how many characters had to be read.
    bool samePrefix(const Rope &other, qint64 n, qint64 *charsCompared = nullptr) const;

    // Calls f(QStringView) for each chunk from position `from` on, in order,
    // the first one trimmed to start at `from`; stops early when f returns false.
    template <typename F> void forEachChunk(qint64 from, F &&f) const;
    // The same, except that a generated leaf lying whole past `from` is first
    // offered to whole(const GeneratedText &): when that returns true the leaf
    // counts as read, otherwise its characters go to f as usual.
    template <typename F, typename W> void forEachPiece(qint64 from, F &&f, W &&whole) const;

    int depth() const;     // tree height, for tests
    bool isLatin1() const; // every chunk stored one byte per character

private:
    friend class FileStretch;
    // One leaf standing for a stretch in the transcript's file.
    static Rope inFile(std::shared_ptr<const FileStretch> stretch);
    explicit Rope(NodePtr root)
        : m_root(std::move(root))
    {
    }
    // false when the sink asked to stop
    static bool visitChunks(const Node *node, qint64 from, void *ctx, bool (*sink)(void *, QStringView),
                            bool (*whole)(void *, const GeneratedText &) = nullptr, void *wholeCtx = nullptr);

    NodePtr m_root;
};

// Characters that a generated leaf stands for: their length is known at once,
// the characters themselves are made by make() on first read and kept.
class GeneratedText {
public:
    explicit GeneratedText(qint64 length)
        : m_length(length)
    {
    }
    virtual ~GeneratedText() = default;
    GeneratedText(const GeneratedText &) = delete;
    GeneratedText &operator=(const GeneratedText &) = delete;

    qint64 length() const { return m_length; }
    const Rope &characters() const;
    bool isMade() const { return m_made.has_value(); }

protected:
    // Exactly length() characters, none of them generated.
    virtual Rope make() const = 0;

private:
    qint64 m_length;
    mutable std::optional<Rope> m_made;
};

template <typename F> void Rope::forEachChunk(qint64 from, F &&f) const
{
    auto trampoline
        = [](void *ctx, QStringView chunk) -> bool { return (*static_cast<std::remove_reference_t<F> *>(ctx))(chunk); };
    visitChunks(m_root.get(), from < 0 ? 0 : from, &f, trampoline);
}

template <typename F, typename W> void Rope::forEachPiece(qint64 from, F &&f, W &&whole) const
{
    auto trampoline
        = [](void *ctx, QStringView chunk) -> bool { return (*static_cast<std::remove_reference_t<F> *>(ctx))(chunk); };
    auto wholeTrampoline = [](void *ctx, const GeneratedText &text) -> bool {
        return (*static_cast<std::remove_reference_t<W> *>(ctx))(text);
    };
    visitChunks(m_root.get(), from < 0 ? 0 : from, &f, trampoline, wholeTrampoline, &whole);
}

} // namespace rich_text
