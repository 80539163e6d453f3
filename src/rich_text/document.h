#pragma once

#include "rich_text/file_array.h"
#include "rich_text/rope.h"

#include <QHash>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace rich_text {

// Colours are 0xRRGGBB; an empty optional is the automatic (default) colour.
using Color = std::optional<quint32>;

// Classic controls give colours as 0xBBGGRR; the same swap goes both ways.
constexpr quint32 swapRedBlue(quint32 c) { return (c & 0x0000FF) << 16 | (c & 0x00FF00) | (c & 0xFF0000) >> 16; }

struct CharFormat {
    int font = 0; // index into Document::fonts()
    int sizeHalfPoints = 20;
    Color color;
    bool bold = false;
    bool italic = false;
    bool underline = false;

    friend bool operator==(const CharFormat &, const CharFormat &) = default;
};

struct FontEntry {
    QString name;
    QString family = QStringLiteral("fnil"); // RTF family keyword without the backslash
    int charset = 0;

    friend bool operator==(const FontEntry &, const FontEntry &) = default;
};

// The structured content of a rich-text control, kept compact so that a
// transcript of millions of paragraphs costs little more than its text: one
// plain text for all paragraphs, where each paragraph starts, and runs of
// equal format over the plain text.
//
// Invariants:
// - text() is the plain text: the paragraphs joined by CR LF. Line breaks
//   inside a paragraph are single CR or LF characters.
// - m_paragraphStart[0] == 0, and each later entry is the end of the previous
//   paragraph plus 2; so there is always at least one paragraph.
// - m_runs covers [0, plainLength()) exactly: the first run starts at 0,
//   starts increase, and neighbours have different formats. The two positions
//   of the break after a paragraph carry that paragraph's mark format; the
//   final paragraph's mark has no position and is always the default format.
// - m_formats holds each distinct format once (m_formatIndex finds it).
// - After normalize(): fonts() is not empty and colors()[0] is the automatic
//   colour.
// - The font and colour tables change only through the members below: they
//   grow at their end, and normalize() alone inserts at the front. So
//   m_colorSlots maps each colour of m_colors[1, m_indexedColors) to its first
//   index, and the entries past m_indexedColors are indexed on the next lookup.
// - Appended text waits in m_open until commit(); only the builder methods
//   below may run while it is not empty.
// - With a memory (keepIn()), m_text before m_spilledTo lies in its file, a
//   leaf per stretch, and at most about recentText() characters after it
//   are in memory: an append that goes beyond writes the oldest of them to
//   the file while it takes them. The paragraph starts keep their old pages
//   there as well. The runs stay in memory: they change where the program
//   colours, and a peer's text comes in one colour.
class Document {
public:
    Document();
    Document(Document &&) noexcept = default;
    Document &operator=(Document &&) noexcept = default;

    static CharFormat defaultFormat() { return CharFormat{}; }
    static Document empty(const QString &fontName);
    // Plain text in the default format, split into paragraphs at CR LF; the
    // document shares the rope's characters.
    static Document fromPlain(const Rope &plain, const QString &fontName);

    // Paragraphs
    size_t paragraphCount() const { return m_paragraphStart.size(); }
    qint64 paragraphStart(size_t index) const { return m_paragraphStart[index]; }
    qint64 paragraphLength(size_t index) const;
    QString paragraphText(size_t index) const;
    CharFormat markFormat(size_t index) const;
    // Format of the character at `offset` of a paragraph; past its text, the mark's.
    CharFormat formatAt(size_t paragraph, qint64 offset) const;
    // Calls f(offset, length, format) for each run of a paragraph's text, in order.
    template <typename F> void forEachRun(size_t paragraph, F &&f) const;
    // The paragraph holding plain-text position `pos` (a break belongs to the
    // paragraph before it).
    size_t paragraphAt(qint64 pos) const;

    // Plain text
    const Rope &text() const { return m_text; }
    qint64 plainLength() const { return m_length; }
    QString plainText() const { return m_text.toString(); }
    CharFormat formatAtPosition(qint64 pos) const;

    // Sets the colour of plain-text positions [from, to), clamped; a range
    // that touches a paragraph break covers both of its positions. Returns the
    // range of paragraphs whose text or mark changed, if any.
    std::optional<std::pair<size_t, size_t>> setColor(qint64 from, qint64 to, const Color &color);
    // The paragraphs setColor(from, to, ...) would change, if any.
    std::optional<std::pair<size_t, size_t>> colorRange(qint64 from, qint64 to) const;

    // Building, for readers: text goes to the last paragraph.
    void appendText(QStringView chars, const CharFormat &format);
    // Text in one format, its CR LF at `breaks` ending paragraphs; the
    // document shares the rope's characters.
    void appendShown(const Rope &text, const std::vector<qint64> &breaks, const CharFormat &format);
    void endParagraph(const CharFormat &mark); // a new, empty paragraph follows
    void removeEmptyLastParagraph();           // undoes endParagraph() when nothing followed
    void commit();                             // appended text joins text()

    // The font table; CharFormat::font indexes it.
    const std::vector<FontEntry> &fonts() const { return m_fonts; }
    int addFont(const FontEntry &font); // returns its index
    void renameFont(size_t index, const QString &name);

    // The colour table; entry 0 is the automatic colour once normalized.
    const std::vector<Color> &colors() const { return m_colors; }
    int colorIndex(const Color &color) const; // -1 when not in the table
    int ensureColor(const Color &color);      // adds it when missing
    void appendColor(const Color &color);     // adds it even when present, as a colour table may
    void normalize(const QString &fontName);

    friend bool operator==(const Document &a, const Document &b);

    // Memory: from now on, text neither recent nor in use goes to `memory`'s
    // file (what is due goes now).
    void keepIn(std::shared_ptr<TextMemory> memory);
    const std::shared_ptr<TextMemory> &memory() const { return m_memory; }
    // Writes out what is due; false when some of it stays in memory, the
    // file taking nothing more for now.
    bool spillOldText();
    qint64 spilledLength() const { return m_spilledTo; } // for tests

private:
    struct Run {
        qint64 start;
        quint32 format; // index into m_formats
    };

    quint32 intern(const CharFormat &format);
    size_t runAt(qint64 pos) const;
    void splitRunAt(qint64 pos);
    void mergeRunsAround(size_t first, size_t last);
    qint64 runEnd(size_t run) const;
    qint64 recentText() const;
    bool spillOneStretch();

    std::vector<FontEntry> m_fonts;
    std::vector<Color> m_colors;
    Rope m_text;
    QString m_open;
    qint64 m_length = 0; // of m_text and m_open together
    FileArray<qint64> m_paragraphStart;
    std::vector<Run> m_runs;
    std::vector<CharFormat> m_formats;
    QHash<QByteArray, quint32> m_formatIndex;

    // Lookup of colors by value, caught up lazily with entries pushed since.
    mutable QHash<quint32, int> m_colorSlots;
    mutable size_t m_indexedColors = 0;

    std::shared_ptr<TextMemory> m_memory;
    qint64 m_spilledTo = 0;
};

template <typename F> void Document::forEachRun(size_t paragraph, F &&f) const
{
    const qint64 start = m_paragraphStart[paragraph];
    const qint64 end = start + paragraphLength(paragraph);
    if (start == end)
        return;
    for (size_t r = runAt(start); r < m_runs.size() && m_runs[r].start < end; ++r) {
        const qint64 a = std::max(m_runs[r].start, start);
        const qint64 b = std::min(runEnd(r), end);
        f(a - start, b - a, m_formats[m_runs[r].format]);
    }
}

} // namespace rich_text
