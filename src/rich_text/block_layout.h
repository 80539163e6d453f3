#pragma once

#include <QFont>
#include <QGlyphRun>
#include <QList>
#include <QTextLayout>
#include <QTextOption>

#include <memory>
#include <vector>

class QPainter;
class QPalette;

namespace rich_text {

// The lines of one block of text (a paragraph, or a piece of a very long
// one) laid out at a given width, ready to paint and to hit-test.
//
// QTextLayout takes time in the length of the text after each line when the
// text has no break opportunities, so one long token would take minutes. The
// text is laid out in segments of about a thousand characters instead: each
// segment's last line is dropped and laid out again as the start of the next
// segment, which gives the lines that one layout of the whole would give. A
// segment ends at a grapheme boundary, and one that lays out as a single
// line (a run of zero-width or combining characters) grows until it does not.
//
// Invariants:
// - m_lines are the block's lines from the top, covering [0, m_length) in
//   order; a line's segment starts at m_segmentStart[segment] in the text.
// - In each segment's layout the kept lines stand at their `top`, and the
//   dropped last line, if any, below all of them (QTextLayout::draw() takes
//   a layout's lines as sorted from the top).
class BlockLayout {
public:
    struct Line {
        int segment; // index into m_segments
        int index;   // line number within that segment's layout
        qreal top;
        qreal height;
        qint64 start; // in the block's text
        qint64 length;
    };

    BlockLayout(const QString &text, const QList<QTextLayout::FormatRange> &formats, const QFont &font,
                const QTextOption &option, qreal width);

    int lineCount() const { return int(m_lines.size()); }
    const Line &line(int i) const { return m_lines[size_t(i)]; }
    qreal height() const;
    qint64 length() const { return m_length; }

    int lineAt(qreal y) const;                // clamped to the lines there are
    int lineOf(qint64 offset) const;          // the line holding a cursor position
    qreal cursorX(qint64 offset) const;       // where the cursor stands on its line
    qint64 offsetAt(int line, qreal x) const; // nearest cursor position on that line
    // Paints lines first..last of the block whose top is at `origin`;
    // characters [selFrom, selTo) are shown selected.
    void draw(QPainter *painter, const QPointF &origin, int first, int last, qint64 selFrom, qint64 selTo,
              const QPalette &palette) const;
    void drawCaret(QPainter *painter, const QPointF &origin, qint64 offset) const;
    qreal lineEndX(int line) const; // where the line's text ends, for the break's selection

    // As laid out, for tests.
    QString text() const;
    QTextCharFormat formatAt(qint64 offset) const;
    // The glyphs the kept lines are drawn with, run by run (a run a font).
    QList<QGlyphRun> glyphRuns() const;

private:
    std::vector<std::unique_ptr<QTextLayout>> m_segments;
    std::vector<qint64> m_segmentStart;
    std::vector<Line> m_lines;
    qint64 m_length = 0;
};

} // namespace rich_text
