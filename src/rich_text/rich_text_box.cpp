#include "rich_text/rich_text_box.h"

#include "rich_text/accessible_rich_text_box.h"
#include "rich_text/clipboard_text.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QTextBoundaryFinder>
#include <QWheelEvent>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <utility>

namespace rich_text {

namespace {

// Qt's text views put a tab stop every 80 pixels.
constexpr qreal kTabStop = 80;
// Lines scrolled per tick while a selection is dragged beyond the view.
constexpr int kDragScrollMs = 50;

qint32 clampToInt32(qint64 v) { return qint32(std::clamp<qint64>(v, 0, std::numeric_limits<qint32>::max())); }

// Line breaks inside a paragraph become Qt's line separator. QTextLayout also
// takes U+2029 as a break and its frame markers U+FDD0/U+FDD1 as special, so
// they get a one-character look-alike or the replacement character: each
// character keeps its one position.
QString displayText(QString text)
{
    for (QChar &c : text) {
        switch (c.unicode()) {
        case u'\r':
        case u'\n':
        case QChar::ParagraphSeparator:
            c = QChar::LineSeparator;
            break;
        case 0xFDD0:
        case 0xFDD1:
            c = QChar::ReplacementCharacter;
            break;
        default:
            break;
        }
    }
    return text;
}

QTextCharFormat charFormat(const CharFormat &format)
{
    QTextCharFormat f;
    if (format.color)
        f.setForeground(QColor::fromRgb(QRgb(*format.color)));
    if (format.bold)
        f.setFontWeight(QFont::Bold);
    if (format.italic)
        f.setFontItalic(true);
    if (format.underline)
        f.setFontUnderline(true);
    if (format.sizeHalfPoints != Document::defaultFormat().sizeHalfPoints)
        f.setFontPointSize(format.sizeHalfPoints / 2.0);
    return f;
}

} // namespace

RichTextBox::RichTextBox(QWidget *parent)
    : QAbstractScrollArea(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_model.setDefaultFontName(font().family());
    m_model.setChangeHandler([this](const TextModel::Change &change) { onModelChanged(change); });
    boundLayouts();
    connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this, &RichTextBox::onScrollBarAction);
    installAccessibleRichTextBox();
}

RichTextBox::~RichTextBox() { m_model.setChangeHandler(nullptr); }

Rope RichTextBox::textRtf()
{
    m_model.load();
    return m_model.textRtf();
}

qint32 RichTextBox::selStart() const { return clampToInt32(m_model.selStart()); }
qint32 RichTextBox::selLength() const { return clampToInt32(m_model.selLength()); }

void RichTextBox::setSelColor(quint32 bgr) { m_model.setSelColor(swapRedBlue(bgr)); }

quint32 RichTextBox::colorAt(qint64 pos)
{
    m_model.load();
    return swapRedBlue(m_model.colorAt(pos).value_or(0));
}

void RichTextBox::setBackgroundColor(const QColor &color)
{
    QPalette p = palette();
    p.setColor(QPalette::Base, color);
    setPalette(p);
}

Rope RichTextBox::selectedRope() const { return m_model.text().mid(m_model.selStart(), m_model.selLength()); }

QString RichTextBox::selectedText() const { return ClipboardText::plainText(selectedRope()); }

// The clipboard and the primary selection get the text when a client asks
// for it: a copy of a whole transcript costs no more than a short one.
void RichTextBox::copy() const
{
    if (m_model.selLength() > 0)
        QGuiApplication::clipboard()->setMimeData(new ClipboardText(selectedRope()));
}

void RichTextBox::selectAll()
{
    m_anchor = 0;
    selectBetween(0, m_model.length());
    publishSelection();
}

void RichTextBox::publishSelection() const
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (m_model.selLength() > 0 && clipboard->supportsSelection())
        clipboard->setMimeData(new ClipboardText(selectedRope()), QClipboard::Selection);
}

// ---------------------------------------------------------------- updates

// The line map and the layouts follow the document at once; what the screen
// and assistive technology are shown waits for the update.
void RichTextBox::onModelChanged(const TextModel::Change &change)
{
    if (change.paragraphsFrom)
        onParagraphsChanged(*change.paragraphsFrom);
    if (!m_pendingUpdate) {
        m_pendingUpdate = PendingUpdate{};
        QMetaObject::invokeMethod(this, &RichTextBox::updateView, Qt::QueuedConnection);
    }
    if (change.paragraphsFrom)
        m_pendingUpdate->changedFrom
            = std::min(m_pendingUpdate->changedFrom.value_or(*change.paragraphsFrom), *change.paragraphsFrom);
}

void RichTextBox::updateView()
{
    if (!m_pendingUpdate)
        return;
    // Plain text set since is read here; the model tells this view of it.
    m_model.load();
    const std::optional<size_t> changedFrom = std::exchange(m_pendingUpdate, std::nullopt)->changedFrom;
    if (changedFrom) {
        const size_t count = m_map.paragraphCount();
        if (count > m_paragraphsShown)
            m_top = lastPageTop();
        m_paragraphsShown = count;
    }
    syncScrollBar();
    viewport()->update();
    announceUpdate(changedFrom);
}

void RichTextBox::onParagraphsChanged(size_t from)
{
    m_map.paragraphsChanged(from);
    m_layouts.dropFrom(from);
    // The document's count, so that the map counts lines once for many changes.
    if (m_top.block.paragraph >= m_model.document().paragraphCount())
        m_top = Position{{0, 0}, 0};
    else if (m_top.block.piece >= m_map.pieceCount(m_top.block.paragraph))
        m_top = Position{{m_top.block.paragraph, 0}, 0};
}

void RichTextBox::forgetLayouts() { m_layouts.clear(); }

void RichTextBox::resetLines()
{
    m_map.forgetLineCounts();
    m_top.line = 0;
}

// ---------------------------------------------------------------- blocks

std::unique_ptr<BlockLayout> RichTextBox::makeLayout(const Block &b)
{
    const Document &doc = m_model.document();
    const qint64 paragraphStart = doc.paragraphStart(b.paragraph);
    const qint64 from = m_map.pieceStart(b.paragraph, b.piece);
    const qint64 to = m_map.pieceEnd(b.paragraph, b.piece);
    QList<QTextLayout::FormatRange> formats;
    doc.forEachRun(b.paragraph, [&](qint64 offset, qint64 length, const CharFormat &format) {
        const qint64 a = std::max(offset, from);
        const qint64 z = std::min(offset + length, to);
        if (a < z)
            formats.append(QTextLayout::FormatRange{int(a - from), int(z - a), charFormat(format)});
    });
    const QString text = displayText(doc.text().mid(paragraphStart + from, to - from).toString());
    auto layout = std::make_unique<BlockLayout>(text, formats, font(), optionFor(b.paragraph), wrapWidth());
    m_charactersLaidOut += text.size();
    m_map.setLines(b, layout->lineCount());
    return layout;
}

// Two pages of blocks, each at least a line, and two more each: what a paint
// and a scroll computation need, and no more however long the content.
void RichTextBox::boundLayouts()
{
    const qint64 pageLines = qint64(pageHeight()) / std::max(1, fontMetrics().lineSpacing());
    m_layouts.setCapacity(size_t(2 * (pageLines + 2)));
}

// The width text wraps at leaves room for the scroll bar whether it shows or
// not, so that it appearing never changes where lines break.
qreal RichTextBox::wrapWidth() const
{
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, verticalScrollBar());
    return std::max(1, contentsRect().width() - scrollBar - 2 * kTextMargin);
}

qreal RichTextBox::pageHeight() const { return std::max(1, viewport()->height() - 2 * kTextMargin); }

// A paragraph runs right to left when its first strong character does, as
// in Qt's text views; alignment follows the direction.
QTextOption RichTextBox::optionFor(size_t paragraph) const
{
    const Document &doc = m_model.document();
    const qint64 probe = std::min<qint64>(doc.paragraphLength(paragraph), 4096);
    const bool rtl = doc.text().mid(doc.paragraphStart(paragraph), probe).toString().isRightToLeft();
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTabStopDistance(kTabStop);
    option.setTextDirection(rtl ? Qt::RightToLeft : Qt::LeftToRight);
    option.setAlignment(Qt::AlignLeft);
    return option;
}

// ---------------------------------------------------------------- scrolling

// Where the top must be for the last line to show at the bottom.
RichTextBox::Position RichTextBox::lastPageTop()
{
    qreal room = pageHeight();
    Block b = m_map.lastBlock();
    for (bool placedOne = false;;) {
        const BlockLayout &layout = layoutOf(b);
        for (int line = layout.lineCount() - 1; line >= 0; --line) {
            const qreal height = layout.line(line).height;
            if (placedOne && height > room) {
                Position top{b, line + 1};
                if (top.line >= layout.lineCount() && m_map.nextBlock(top.block))
                    top.line = 0;
                return top;
            }
            room -= height;
            placedOne = true;
        }
        if (!m_map.previousBlock(b))
            return Position{{0, 0}, 0};
    }
}

void RichTextBox::syncScrollBar()
{
    if (!m_model.isLoaded())
        return;
    const qint64 maxLine = m_map.lineNumberOf(lastPageTop());
    if (m_map.lineNumberOf(m_top) > maxLine)
        m_top = m_map.positionOfLine(maxLine);
    const int lineHeight = std::max(1, fontMetrics().lineSpacing());
    QScrollBar *bar = verticalScrollBar();
    m_settingScrollBar = true;
    bar->setRange(0, clampToInt32(maxLine));
    bar->setSingleStep(1);
    bar->setPageStep(std::max(1, int(pageHeight()) / lineHeight));
    bar->setValue(clampToInt32(m_map.lineNumberOf(m_top)));
    m_settingScrollBar = false;
}

void RichTextBox::scrollToEnd()
{
    m_top = lastPageTop();
    syncScrollBar();
    viewport()->update();
}

RichTextBox::Position RichTextBox::movedBy(Position from, qint64 lines, Bound bound)
{
    const qint64 last
        = bound == Bound::LastPage ? m_map.lineNumberOf(lastPageTop()) : std::numeric_limits<qint64>::max();
    for (; lines > 0 && m_map.lineNumberOf(from) < last; --lines) {
        if (from.line + 1 < layoutOf(from.block).lineCount())
            ++from.line;
        else if (m_map.nextBlock(from.block))
            from.line = 0;
        else
            break;
    }
    for (; lines < 0; ++lines) {
        if (from.line > 0)
            --from.line;
        else if (m_map.previousBlock(from.block))
            from.line = layoutOf(from.block).lineCount() - 1;
    }
    return from;
}

// A page is the lines that fit on screen, less one that stays in view.
qint64 RichTextBox::linesPerPage()
{
    qreal room = pageHeight();
    qint64 lines = 0;
    for (Position at = m_top;; ++lines) {
        const BlockLayout &layout = layoutOf(at.block);
        room -= layout.line(int(std::min<qint64>(at.line, layout.lineCount() - 1))).height;
        if (room < 0)
            break;
        const Position next = movedBy(at, 1);
        if (next.block == at.block && next.line == at.line)
            break;
        at = next;
    }
    return std::max<qint64>(1, lines - 1);
}

void RichTextBox::scrollByLines(qint64 lines)
{
    m_top = movedBy(m_top, lines);
    syncScrollBar();
    viewport()->update();
}

void RichTextBox::onScrollBarAction(int action)
{
    qint64 lines = 0;
    switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
        lines = 1;
        break;
    case QAbstractSlider::SliderSingleStepSub:
        lines = -1;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        lines = linesPerPage();
        break;
    case QAbstractSlider::SliderPageStepSub:
        lines = -linesPerPage();
        break;
    default:
        return;
    }
    // The step is taken here; the slider is then told it already stands there.
    scrollByLines(lines);
    m_settingScrollBar = true;
    verticalScrollBar()->setSliderPosition(verticalScrollBar()->value());
    m_settingScrollBar = false;
}

void RichTextBox::scrollContentsBy(int, int)
{
    if (m_settingScrollBar)
        return;
    m_top = m_map.positionOfLine(verticalScrollBar()->value());
    viewport()->update();
}

void RichTextBox::wheelEvent(QWheelEvent *event)
{
    const int steps = event->angleDelta().y() / QWheelEvent::DefaultDeltasPerStep;
    if (steps == 0) {
        QAbstractScrollArea::wheelEvent(event);
        return;
    }
    scrollByLines(-qint64(steps) * QApplication::wheelScrollLines());
    event->accept();
}

// ---------------------------------------------------------------- painting

std::vector<RichTextBox::ShownBlock> RichTextBox::shownBlocks()
{
    const int bottom = viewport()->height();
    std::vector<ShownBlock> shown;
    qreal y = kTextMargin;
    Position at = m_top;
    for (;;) {
        LayoutCache::Layout held = m_layouts.get(at.block);
        const BlockLayout &layout = *held;
        const int first = int(std::min<qint64>(at.line, layout.lineCount() - 1));
        const QPointF origin(kTextMargin, y - layout.line(first).top);
        const int last = layout.lineAt(bottom - origin.y());
        const qint64 start = m_map.blockStart(at.block);
        shown.push_back(ShownBlock{at.block, std::move(held), origin, first, last, start});
        y = origin.y() + layout.height();
        if (y >= bottom || !m_map.nextBlock(at.block))
            return shown;
        at.line = 0;
    }
}

void RichTextBox::paintEvent(QPaintEvent *)
{
    // A paint shows the content as it is: an update still queued is made now.
    updateView();
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const bool focused = hasFocus();
    const qint64 selFrom = m_model.selStart();
    const qint64 selTo = selFrom + m_model.selLength();
    const qint64 linesBefore = m_map.lineNumberOf(m_top);

    const std::vector<ShownBlock> blocks = shownBlocks();
    for (const ShownBlock &s : blocks) {
        const BlockLayout &layout = *s.layout;
        const qint64 blockEnd = s.start + layout.length();
        if (focused)
            layout.draw(&painter, s.origin, s.first, s.last, selFrom - s.start, selTo - s.start, palette());
        else
            layout.draw(&painter, s.origin, s.first, s.last, 0, 0, palette());
        const bool endsParagraph = s.block.piece + 1 == m_map.pieceCount(s.block.paragraph);
        if (focused && endsParagraph && s.last == layout.lineCount() - 1 && selFrom <= blockEnd && blockEnd < selTo) {
            // The paragraph's break is selected too: a space's width after its last line.
            const BlockLayout::Line &line = layout.line(s.last);
            const qreal x = s.origin.x() + layout.lineEndX(s.last);
            painter.fillRect(QRectF(x, s.origin.y() + line.top, fontMetrics().horizontalAdvance(u' '), line.height),
                             palette().brush(QPalette::Highlight));
        }
        if (focused && selFrom == selTo && selFrom >= s.start && selFrom <= blockEnd
            && (selFrom < blockEnd || endsParagraph))
            layout.drawCaret(&painter, s.origin, selFrom - s.start);
    }
    // Laying out may have turned estimated line counts into real ones.
    if (m_map.lineNumberOf(m_top) != linesBefore || verticalScrollBar()->value() != clampToInt32(linesBefore))
        QMetaObject::invokeMethod(this, &RichTextBox::syncScrollBar, Qt::QueuedConnection);
}

void RichTextBox::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    const bool atEnd = verticalScrollBar()->value() == verticalScrollBar()->maximum();
    forgetLayouts();
    boundLayouts();
    resetLines();
    if (atEnd)
        scrollToEnd();
    else
        syncScrollBar();
}

void RichTextBox::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange) {
        m_model.setDefaultFontName(font().family());
        forgetLayouts();
        boundLayouts();
        resetLines();
        syncScrollBar();
    }
    QAbstractScrollArea::changeEvent(event);
}

void RichTextBox::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void RichTextBox::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

// ---------------------------------------------------------------- selection

RichTextBox::Hit RichTextBox::hitTest(const QPoint &point)
{
    qreal y = kTextMargin;
    Position at = m_top;
    for (;;) {
        const BlockLayout &layout = layoutOf(at.block);
        const int first = int(std::min<qint64>(at.line, layout.lineCount() - 1));
        const qreal originY = y - layout.line(first).top;
        const qreal blockBottom = originY + layout.height();
        const qint64 blockStart = m_map.blockStart(at.block);
        Block next = at.block;
        if (point.y() < blockBottom || !m_map.nextBlock(next)) {
            if (point.y() >= blockBottom)
                return Hit{blockStart + layout.length(), true};
            const int line = std::max(first, layout.lineAt(point.y() - originY));
            return Hit{blockStart + layout.offsetAt(line, point.x() - kTextMargin), false};
        }
        y = blockBottom;
        at = Position{next, 0};
    }
}

void RichTextBox::selectBetween(qint64 anchor, qint64 caret)
{
    m_caret = caret;
    const qint64 from = std::min(anchor, caret);
    m_model.setSelection(from, std::max(anchor, caret) - from);
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
    const qint64 offset = std::min(pos - blockStart, layoutOf(block).length());
    return Caret{Position{block, layoutOf(block).lineOf(offset)}, blockStart};
}

// The position on the line above or below that stands nearest to `pos`.
qint64 RichTextBox::onAdjacentLine(qint64 pos, int direction)
{
    const Caret caret = caretAt(pos);
    const qreal x = layoutOf(caret.at.block).cursorX(pos - caret.blockStart);
    const Position target = movedBy(caret.at, direction, Bound::LastLine);
    if (target.block == caret.at.block && target.line == caret.at.line)
        return direction > 0 ? m_model.length() : 0;
    const qint64 targetStart = m_map.blockStart(target.block);
    return targetStart + layoutOf(target.block).offsetAt(int(target.line), x);
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
        const BlockLayout::Line &line = layoutOf(at.at.block).line(int(at.at.line));
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

// Scrolls just enough for the line holding `pos` to be on screen.
void RichTextBox::showPosition(qint64 pos)
{
    const Position line = caretAt(pos).at;
    const qint64 number = m_map.lineNumberOf(line);
    const qint64 top = m_map.lineNumberOf(m_top);
    const qint64 page = linesPerPage() + 1;
    if (number < top)
        m_top = line;
    else if (number >= top + page)
        m_top = movedBy(line, -(page - 1));
    else
        return;
    syncScrollBar();
    viewport()->update();
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
    const qint64 from = std::min(m_anchor, m_caret);
    if (m_anchor < 0 || m_caret < 0 || from != m_model.selStart()
        || std::abs(m_caret - m_anchor) != m_model.selLength()) {
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

void RichTextBox::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *copyAction = menu.addAction(QStringLiteral("&Copiar"), this, &RichTextBox::copy);
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(m_model.selLength() > 0);
    QAction *all = menu.addAction(QStringLiteral("Seleccionar &todo"), this, &RichTextBox::selectAll);
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(m_model.length() > 0);
    menu.exec(event->globalPos());
}

} // namespace rich_text
