// Keys and the mouse. With the focus here the arrows, Home and End (with
// Ctrl: of the whole text) and the page keys move a caret, as in Qt's
// read-only views that take keyboard selection, and the view follows it;
// with Shift they select from it. The mouse selects too (dragging beyond the
// view scrolls it), a double click a word. The content cannot be changed.
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
    m_selectingHere = true;
    m_model.setSelection(from, std::max(anchor, caret) - from);
    m_selectingHere = false;
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

// The position `lines` lines below (above, when negative) that stands
// nearest to `pos`; past the last or the first line, the end or the start.
qint64 RichTextBox::onLineAway(qint64 pos, qint64 lines)
{
    const Caret caret = caretAt(pos);
    const qreal x = caret.layout->cursorX(pos - caret.blockStart);
    const Position target = movedBy(caret.at, lines, Bound::LastLine);
    if (target.block == caret.at.block && target.line == caret.at.line)
        return lines > 0 ? m_model.length() : 0;
    const qint64 targetStart = m_map.blockStart(target.block);
    return targetStart + layoutOf(target.block)->offsetAt(int(target.line), x);
}

namespace {

struct KeyMove {
    QKeySequence::StandardKey move;
    QKeySequence::StandardKey select;
    RichTextBox::CaretMove::Kind kind;
};

constexpr KeyMove kKeyMoves[] = {
    {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, RichTextBox::CaretMove::NextChar},
    {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, RichTextBox::CaretMove::PreviousChar},
    {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, RichTextBox::CaretMove::NextLine},
    {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, RichTextBox::CaretMove::PreviousLine},
    {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, RichTextBox::CaretMove::StartOfLine},
    {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, RichTextBox::CaretMove::EndOfLine},
    {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, RichTextBox::CaretMove::StartOfText},
    {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, RichTextBox::CaretMove::EndOfText},
    {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, RichTextBox::CaretMove::NextPage},
    {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, RichTextBox::CaretMove::PreviousPage},
    {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, RichTextBox::CaretMove::NextWord},
    {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, RichTextBox::CaretMove::PreviousWord},
};

} // namespace

std::optional<RichTextBox::CaretMove> RichTextBox::caretMoveFor(QKeyEvent *event)
{
    for (const KeyMove &k : kKeyMoves) {
        if (event == k.move)
            return CaretMove{k.kind, false};
        if (event == k.select)
            return CaretMove{k.kind, true};
    }
    return std::nullopt;
}

// Where the caret goes from `caret`.
qint64 RichTextBox::caretTarget(qint64 caret, CaretMove::Kind kind)
{
    switch (kind) {
    case CaretMove::NextChar:
        return nextPosition(caret);
    case CaretMove::PreviousChar:
        return previousPosition(caret);
    case CaretMove::NextLine:
        return onLineAway(caret, 1);
    case CaretMove::PreviousLine:
        return onLineAway(caret, -1);
    case CaretMove::NextPage:
        return onLineAway(caret, linesPerPage());
    case CaretMove::PreviousPage:
        return onLineAway(caret, -linesPerPage());
    case CaretMove::NextWord:
        return wordAway(caret, true);
    case CaretMove::PreviousWord:
        return wordAway(caret, false);
    case CaretMove::StartOfText:
        return 0;
    case CaretMove::EndOfText:
        return m_model.length();
    case CaretMove::StartOfLine:
    case CaretMove::EndOfLine:
        break;
    }
    const Caret at = caretAt(caret);
    const BlockLayout::Line &line = at.layout->line(int(at.at.line));
    if (kind == CaretMove::StartOfLine)
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

// Only the characters around a position are read for its words: a
// paragraph may be longer than memory holds, its text mostly in the
// transcript's file.
RichTextBox::WordWindow RichTextBox::wordWindowAround(qint64 position) const
{
    constexpr qint64 kWordWindow = 2048;
    const Document &doc = m_model.document();
    const size_t paragraph = doc.paragraphAt(position);
    WordWindow w;
    w.paragraphStart = doc.paragraphStart(paragraph);
    w.paragraphLength = doc.paragraphLength(paragraph);
    const qint64 within = std::clamp<qint64>(position - w.paragraphStart, 0, w.paragraphLength);
    w.from = std::max<qint64>(0, within - kWordWindow);
    w.text = doc.text()
                 .mid(w.paragraphStart + w.from, std::min(w.paragraphLength, within + kWordWindow) - w.from)
                 .toString();
    w.offset = within - w.from;
    return w;
}

void RichTextBox::selectWordAt(qint64 position)
{
    const WordWindow w = wordWindowAround(position);
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, w.text);
    words.setPosition(int(w.offset));
    const qint64 start = words.isAtBoundary() && w.offset < w.text.size() ? w.offset : words.toPreviousBoundary();
    words.setPosition(int(w.offset));
    const qint64 end = words.toNextBoundary();
    if (start < 0 || end < 0)
        return;
    m_anchor = w.paragraphStart + w.from + start;
    selectBetween(m_anchor, w.paragraphStart + w.from + end);
}

// The start of the next word (forward) or of this or the previous one, as
// Ctrl+Right and Ctrl+Left move in Qt's text views; from a paragraph's end
// or start, over the break to the next or previous paragraph.
qint64 RichTextBox::wordAway(qint64 position, bool forward) const
{
    const WordWindow w = wordWindowAround(position);
    const qint64 within = w.from + w.offset;
    if (forward && within >= w.paragraphLength)
        return nextPosition(w.paragraphStart + w.paragraphLength);
    if (!forward && within == 0)
        return previousPosition(w.paragraphStart);
    QTextBoundaryFinder words(QTextBoundaryFinder::Word, w.text);
    words.setPosition(int(w.offset));
    for (;;) {
        const qint64 at = forward ? words.toNextBoundary() : words.toPreviousBoundary();
        if (at < 0 || at >= w.text.size() || at == 0)
            return w.paragraphStart + w.from + (forward ? w.text.size() : 0);
        if (words.boundaryReasons() & QTextBoundaryFinder::StartOfItem)
            return w.paragraphStart + w.from + at;
    }
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

// A caret the user placed stays where it is when the program selects what
// arrives; a selection the program made otherwise starts from its beginning,
// its caret at its end.
void RichTextBox::startFromCaret()
{
    if (selectionMadeHere())
        return;
    if (m_caret >= 0) {
        m_anchor = m_caret;
    } else {
        m_anchor = m_model.selStart();
        m_caret = m_model.selStart() + m_model.selLength();
    }
}

void RichTextBox::keyPressEvent(QKeyEvent *event)
{
    // What the program did before this key is taken in first.
    updateView();
    if (event == QKeySequence::Copy) {
        copy();
    } else if (event == QKeySequence::SelectAll) {
        selectAll();
    } else if (const std::optional<CaretMove> move = caretMoveFor(event)) {
        startFromCaret();
        const qint64 to = caretTarget(m_caret, move->kind);
        if (!move->selecting)
            m_anchor = to;
        selectBetween(m_anchor, to);
        // A page key turns the page, as in Qt's text views.
        if (move->kind == CaretMove::NextPage || move->kind == CaretMove::PreviousPage)
            scrollByLines(move->kind == CaretMove::NextPage ? linesPerPage() : -linesPerPage());
        showPosition(to);
        if (move->selecting)
            publishSelection();
    } else {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

} // namespace rich_text
