#include "rich_text/block_layout.h"

#include <QPainter>
#include <QPalette>
#include <QTextBoundaryFinder>

#include <algorithm>

namespace rich_text {

namespace {

constexpr qint64 kSegment = 1024;
// A dropped line is moved this far below the segment's kept lines, where no
// clip rectangle reaches. QTextLayout::draw() takes the lines as sorted from
// the top: it starts at the last line above the clip and stops at the first
// one below it, so a line moved above the others would hide every line of
// its segment. Line positions are 26.6 fixed point (about 3.3e7 px at most).
constexpr qreal kBelowKeptLines = 1e6;

QList<QTextLayout::FormatRange> clipped(const QList<QTextLayout::FormatRange> &formats, qint64 from, qint64 length)
{
    QList<QTextLayout::FormatRange> out;
    for (const QTextLayout::FormatRange &f : formats) {
        const qint64 a = std::max<qint64>(f.start, from);
        const qint64 b = std::min<qint64>(f.start + f.length, from + length);
        if (a < b)
            out.append(QTextLayout::FormatRange{int(a - from), int(b - a), f.format});
    }
    return out;
}

// Where a segment of about `length` characters from `start` ends: never
// inside a grapheme cluster (a base and its marks, a surrogate pair), which
// would be shaped apart; a cluster longer than the segment is taken whole.
qint64 segmentEnd(QTextBoundaryFinder &graphemes, qint64 textLength, qint64 start, qint64 length)
{
    const qint64 end = start + length;
    if (end >= textLength)
        return textLength;
    graphemes.setPosition(end);
    if (graphemes.isAtBoundary())
        return end;
    const qint64 before = graphemes.toPreviousBoundary();
    if (before > start)
        return before;
    graphemes.setPosition(end);
    const qint64 after = graphemes.toNextBoundary();
    return after < 0 ? textLength : after;
}

} // namespace

BlockLayout::BlockLayout(const QString &text, const QList<QTextLayout::FormatRange> &formats, const QFont &font,
                         const QTextOption &option, qreal width)
    : m_length(text.size())
{
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    qreal y = 0;
    qint64 start = 0;
    for (;;) {
        std::unique_ptr<QTextLayout> layout;
        std::vector<QTextLine> made;
        qint64 end = start;
        // A segment that lays out as one line may go on past its end: it
        // grows until it makes a second line or takes the rest of the text.
        for (qint64 length = kSegment;; length *= 2) {
            end = segmentEnd(graphemes, text.size(), start, length);
            layout = std::make_unique<QTextLayout>(text.mid(start, end - start), font);
            layout->setTextOption(option);
            layout->setFormats(clipped(formats, start, end - start));
            layout->setCacheEnabled(true);
            layout->beginLayout();
            made.clear();
            for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
                line.setLineWidth(width);
                made.push_back(line);
            }
            if (end >= text.size() || made.size() > 1)
                break;
            layout->endLayout();
        }
        const bool lastSegment = end >= text.size();
        // All lines but the last are final; the last one starts the next segment.
        const size_t kept = lastSegment ? made.size() : made.size() - 1;
        const int segment = int(m_segments.size());
        for (size_t i = 0; i < made.size(); ++i) {
            QTextLine &line = made[i];
            if (i >= kept) {
                line.setPosition(QPointF(0, y + kBelowKeptLines));
                continue;
            }
            line.setPosition(QPointF(0, y));
            m_lines.push_back(Line{segment, int(i), y, line.height(), start + line.textStart(), line.textLength()});
            y += line.height();
        }
        layout->endLayout();
        m_segments.push_back(std::move(layout));
        m_segmentStart.push_back(start);
        if (lastSegment)
            break;
        start += made[kept].textStart();
    }
}

qreal BlockLayout::height() const { return m_lines.empty() ? 0 : m_lines.back().top + m_lines.back().height; }

int BlockLayout::lineAt(qreal y) const
{
    const auto it = std::upper_bound(m_lines.begin(), m_lines.end(), y,
                                     [](qreal value, const Line &line) { return value < line.top; });
    return it == m_lines.begin() ? 0 : int(it - m_lines.begin() - 1);
}

qint64 BlockLayout::offsetAt(int i, qreal x) const
{
    const Line &l = m_lines[size_t(i)];
    const QTextLine line = m_segments[size_t(l.segment)]->lineAt(l.index);
    const qint64 offset = m_segmentStart[size_t(l.segment)] + line.xToCursor(x);
    return std::clamp(offset, l.start, l.start + l.length);
}

int BlockLayout::lineOf(qint64 offset) const
{
    const auto it = std::upper_bound(m_lines.begin(), m_lines.end(), offset,
                                     [](qint64 value, const Line &line) { return value < line.start; });
    return it == m_lines.begin() ? 0 : int(it - m_lines.begin() - 1);
}

qreal BlockLayout::cursorX(qint64 offset) const
{
    const Line &l = m_lines[size_t(lineOf(offset))];
    return m_segments[size_t(l.segment)]->lineAt(l.index).cursorToX(int(offset - m_segmentStart[size_t(l.segment)]));
}

void BlockLayout::draw(QPainter *painter, const QPointF &origin, int first, int last, qint64 selFrom, qint64 selTo,
                       const QPalette &palette) const
{
    const QPointF shift = origin;
    int i = first;
    while (i <= last) {
        const int segment = m_lines[size_t(i)].segment;
        int j = i;
        while (j + 1 <= last && m_lines[size_t(j + 1)].segment == segment)
            ++j;
        const qint64 segStart = m_segmentStart[size_t(segment)];
        const QTextLayout &layout = *m_segments[size_t(segment)];
        QList<QTextLayout::FormatRange> selections;
        const qint64 a = std::max(selFrom, segStart) - segStart;
        const qint64 b = std::min(selTo, segStart + layout.text().size()) - segStart;
        if (a < b) {
            QTextCharFormat selected;
            selected.setBackground(palette.brush(QPalette::Highlight));
            selected.setForeground(palette.brush(QPalette::HighlightedText));
            selections.append(QTextLayout::FormatRange{int(a), int(b - a), selected});
        }
        const qreal top = m_lines[size_t(i)].top;
        const qreal bottom = m_lines[size_t(j)].top + m_lines[size_t(j)].height;
        const QRectF clip(shift.x(), shift.y() + top, 1e9, bottom - top);
        layout.draw(painter, shift, selections, clip);
        i = j + 1;
    }
}

void BlockLayout::drawCaret(QPainter *painter, const QPointF &origin, qint64 offset) const
{
    const Line &l = m_lines[size_t(lineOf(offset))];
    m_segments[size_t(l.segment)]->drawCursor(painter, origin, int(offset - m_segmentStart[size_t(l.segment)]));
}

qreal BlockLayout::lineEndX(int i) const
{
    const Line &l = m_lines[size_t(i)];
    const QTextLine line = m_segments[size_t(l.segment)]->lineAt(l.index);
    return line.x() + line.naturalTextWidth();
}

} // namespace rich_text

namespace rich_text {

QString BlockLayout::text() const
{
    QString out;
    for (const Line &l : m_lines)
        out += m_segments[size_t(l.segment)]->text().mid(int(l.start - m_segmentStart[size_t(l.segment)]),
                                                         int(l.length));
    return out;
}

QTextCharFormat BlockLayout::formatAt(qint64 offset) const
{
    const Line &l = m_lines[size_t(lineOf(offset))];
    const qint64 at = offset - m_segmentStart[size_t(l.segment)];
    for (const QTextLayout::FormatRange &f : m_segments[size_t(l.segment)]->formats()) {
        if (at >= f.start && at < f.start + f.length)
            return f.format;
    }
    return QTextCharFormat();
}

QList<QGlyphRun> BlockLayout::glyphRuns() const
{
    QList<QGlyphRun> runs;
    for (const Line &l : m_lines)
        runs += m_segments[size_t(l.segment)]->lineAt(l.index).glyphRuns();
    return runs;
}

} // namespace rich_text
