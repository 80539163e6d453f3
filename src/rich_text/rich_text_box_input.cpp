// Keys and the mouse: the user scrolls, selects with Shift and the arrows,
// with the mouse (dragging beyond the view scrolls it), or a word with a
// double click. The content itself cannot be changed from here.
#include "rich_text/rich_text_box.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <cstdlib>

namespace rich_text {

namespace {

// Lines scrolled per tick while a selection is dragged beyond the view.
constexpr int kDragScrollMs = 50;

} // namespace

void RichTextBox::selectBetween(qint64 anchor, qint64 caret)
{
    m_caret = caret;
    const qint64 from = std::min(anchor, caret);
    m_model.setSelection(from, std::max(anchor, caret) - from);
}

bool RichTextBox::selectionMadeHere() const
{
    const qint64 start = m_model.selStart();
    return m_anchor >= 0 && m_caret >= 0 && std::min(m_anchor, m_caret) == start
        && std::abs(m_caret - m_anchor) == m_model.selLength();
}

// A break (CR LF) and a surrogate pair are stepped over whole.
qint64 RichTextBox::nextPosition(qint64 pos) const
{
    const Rope text = m_model.text();
    if (pos + 1 >= text.length())
        return std::min(pos + 1, text.length());
    const QChar c = text.at(pos), d = text.at(pos + 1);
    return (c == u'\r' && d == u'\n') || (c.isHighSurrogate() && d.isLowSurrogate()) ? pos + 2 : pos + 1;
}

qint64 RichTextBox::previousPosition(qint64 pos) const
{
    const Rope text = m_model.text();
    if (pos < 2)
        return 0;
    const QChar c = text.at(pos - 2), d = text.at(pos - 1);
    return (c == u'\r' && d == u'\n') || (c.isHighSurrogate() && d.isLowSurrogate()) ? pos - 2 : pos - 1;
}

RichTextBox::Caret RichTextBox::caretAt(qint64 pos)
{
    const Block block = m_map.blockAt(pos);
    const qint64 blockStart = m_map.blockStart(block);
    LayoutCache::Layout layout = layoutOf(block);
    const qint64 offset = std::min(pos - blockStart, layout->length());
    const Position at{block, layout->lineOf(offset)};
    return Caret{at, blockStart, std::move(layout)};
}

// The position on the line above or below that stands nearest to `pos`.
qint64 RichTextBox::onAdjacentLine(qint64 pos, int direction)
{
    const Caret caret = caretAt(pos);
    const qreal x = caret.layout->cursorX(pos - caret.blockStart);
    const Position target = movedBy(caret.at, direction, Bound::LastLine);
    if (target.block == caret.at.block && target.line == caret.at.line)
        return direction > 0 ? m_model.length() : 0;
    const qint64 targetStart = m_map.blockStart(target.block);
    return targetStart + layoutOf(target.block)->offsetAt(int(target.line), x);
}

std::optional<qint64> RichTextBox::keyboardTarget(QKeyEvent *event)
{
    const qint64 caret = m_caret;
    if (event == QKeySequence::SelectNextChar)
        return nextPosition(caret);
    if (event == QKeySequence::SelectPreviousChar)
        return previousPosition(caret);
    if (event == QKeySequence::SelectNextLine)
        return onAdjacentLine(caret, 1);
    if (event == QKeySequence::SelectPreviousLine)
        return onAdjacentLine(caret, -1);
    if (event == QKeySequence::SelectStartOfLine || event == QKeySequence::SelectEndOfLine) {
        const Caret at = caretAt(caret);
        const BlockLayout::Line &line = at.layout->line(int(at.at.line));
        if (event == QKeySequence::SelectStartOfLine)
            return at.blockStart + line.start;
        // Before the line separator that may end the line.
        qint64 end = at.blockStart + line.start + line.length;
        if (end > at.blockStart + line.start && end < m_model.length()) {
            const QChar last = m_model.text().at(end - 1);
            if (last == u'\r' || last == u'\n')
                --end;
        }
        return end;
    }
    if (event == QKeySequence::SelectStartOfDocument)
        return qint64(0);
    if (event == QKeySequence::SelectEndOfDocument)
        return m_model.length();
    return std::nullopt;
}

void RichTextBox::selectWordAt(qint64 position)
{
    const Document &doc = m_model.document();
    const size_t paragraph = doc.paragraphAt(position);
    const QString text = doc.paragraphText(paragraph);
    const qint64 offset = std::min(position - doc.paragraphStart(paragraph), qint64(text.size()));
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, text);
    words.setPosition(int(offset));
    const qint64 start = words.isAtBoundary() && offset < text.size() ? offset : words.toPreviousBoundary();
    words.setPosition(int(offset));
    const qint64 end = words.toNextBoundary();
    if (start < 0 || end < 0)
        return;
    m_anchor = doc.paragraphStart(paragraph) + start;
    selectBetween(m_anchor, doc.paragraphStart(paragraph) + end);
}

void RichTextBox::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const qint64 position = hitTest(event->position().toPoint()).position;
    if (event->modifiers() & Qt::ShiftModifier) {
        if (m_anchor < 0)
            m_anchor = m_model.selStart();
        selectBetween(m_anchor, position);
    } else {
        m_anchor = position;
        selectBetween(position, position);
    }
}

void RichTextBox::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton) || m_anchor < 0)
        return;
    m_lastDrag = event->position().toPoint();
    const int y = m_lastDrag.y();
    m_dragDirection = y < 0 ? -1 : y > viewport()->height() ? 1 : 0;
    if (m_dragDirection != 0 && !m_dragScroll.isActive())
        m_dragScroll.start(kDragScrollMs, this);
    else if (m_dragDirection == 0)
        m_dragScroll.stop();
    selectBetween(m_anchor, hitTest(m_lastDrag).position);
}

void RichTextBox::mouseReleaseEvent(QMouseEvent *event)
{
    m_dragScroll.stop();
    if (event->button() == Qt::LeftButton)
        publishSelection();
}

void RichTextBox::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    selectWordAt(hitTest(event->position().toPoint()).position);
    publishSelection();
}

void RichTextBox::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_dragScroll.timerId()) {
        QAbstractScrollArea::timerEvent(event);
        return;
    }
    scrollByLines(m_dragDirection);
    selectBetween(m_anchor, hitTest(m_lastDrag).position);
}

void RichTextBox::keyPressEvent(QKeyEvent *event)
{
    // A selection the program made starts from its beginning.
    if (!selectionMadeHere()) {
        m_anchor = m_model.selStart();
        m_caret = m_model.selStart() + m_model.selLength();
    }
    if (event == QKeySequence::Copy) {
        copy();
    } else if (event == QKeySequence::SelectAll) {
        selectAll();
    } else if (const std::optional<qint64> to = keyboardTarget(event)) {
        selectBetween(m_anchor, *to);
        showPosition(*to);
        publishSelection();
    } else if (event == QKeySequence::MoveToStartOfDocument) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    } else if (event == QKeySequence::MoveToEndOfDocument) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
    } else {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

} // namespace rich_text
