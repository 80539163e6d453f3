#include "rich_text/rich_text_box.h"

#include "rich_text/accessible_rich_text_box.h"

#include <QApplication>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QWheelEvent>

#include <algorithm>
#include <limits>
#include <utility>

namespace rich_text {

namespace {

// Qt's text views put a tab stop every 80 pixels.
constexpr qreal kTabStop = 80;
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

RichTextBox::~RichTextBox()
{
    m_model.setChangeHandler(nullptr);
    for (const QAccessible::Id id : m_announcements)
        QAccessible::deleteAccessibleInterface(id);
}

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

// ---------------------------------------------------------------- updates

// The line map and the layouts follow the document at once; what the screen
// and assistive technology are shown waits for the update.
void RichTextBox::onModelChanged(const TextModel::Change &change)
{
    if (change.paragraphsFrom)
        onParagraphsChanged(*change.paragraphsFrom);
    queueUpdate();
    if (change.paragraphsFrom)
        m_pendingUpdate->changedFrom
            = std::min(m_pendingUpdate->changedFrom.value_or(*change.paragraphsFrom), *change.paragraphsFrom);
    else if (!m_selectingHere)
        m_pendingUpdate->selectedByProgram = true;
}

void RichTextBox::queueUpdate()
{
    if (m_pendingUpdate)
        return;
    m_pendingUpdate = PendingUpdate{};
    QMetaObject::invokeMethod(this, &RichTextBox::updateView, Qt::QueuedConnection);
}

void RichTextBox::updateView()
{
    if (!m_pendingUpdate)
        return;
    // Plain text set since is read here; the model tells this view of it.
    m_model.load();
    const PendingUpdate pending = *std::exchange(m_pendingUpdate, std::nullopt);
    const std::optional<size_t> changedFrom = pending.changedFrom;
    // The program placing the selection places the caret at its end; what
    // it selects of what arrives leaves alone the caret of a user reading
    // here.
    if ((pending.selectedByProgram && (!changedFrom || !hasFocus())) || m_caret > m_model.length())
        m_caret = -1;
    if (changedFrom) {
        const size_t count = m_map.paragraphCount();
        if (count > m_paragraphsShown)
            setTop(lastPageTop());
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
    m_view.invalidate();
    // The document's count, so that the map counts lines once for many changes.
    const Position top = m_view.top();
    if (top.block.paragraph >= m_model.document().paragraphCount())
        setTop(Position{{0, 0}, 0});
    else if (top.block.piece >= m_map.pieceCount(top.block.paragraph))
        setTop(Position{{top.block.paragraph, 0}, 0});
}

// The width or the font changed: every block is laid out again when next shown.
void RichTextBox::relayOut()
{
    m_layouts.clear();
    boundLayouts();
    m_map.forgetLineCounts();
    m_view.invalidate();
    setTop(Position{m_view.top().block, 0});
}

// ---------------------------------------------------------------- layout

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

LayoutCache::Layout RichTextBox::blockLayout(const Block &block)
{
    if (LayoutCache::Layout held = m_layouts.find(block))
        return held;
    return LayoutCache::Layout(makeLayout(block));
}

// Two pages of blocks, each at least a line, and two more each: what a paint
// and a scroll computation need, and no more however long the content.
void RichTextBox::boundLayouts()
{
    const qint64 pageLines = qint64(pageHeight()) / std::max(1, fontMetrics().lineSpacing());
    m_layouts.setCapacity(size_t(2 * (pageLines + 2)));
}

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

void RichTextBox::setTop(Position top) { m_view.setTop(top); }

// Where the top must be for the last line to show at the bottom: the last
// line, and those above it that still fit.
RichTextBox::Position RichTextBox::lastPageTop()
{
    const Block last = m_map.lastBlock();
    LineWalk walk(m_map, m_layouts, Position{last, std::numeric_limits<qint64>::max()}, 0);
    qreal room = pageHeight() - walk.current().line().height;
    Position top = walk.current().at;
    while (walk.up() && walk.current().line().height <= room) {
        room -= walk.current().line().height;
        top = walk.current().at;
    }
    return top;
}

void RichTextBox::syncScrollBar()
{
    if (!m_model.isLoaded())
        return;
    const qint64 maxLine = m_map.lineNumberOf(lastPageTop());
    if (m_map.lineNumberOf(m_view.top()) > maxLine)
        setTop(m_map.positionOfLine(maxLine));
    const int lineHeight = std::max(1, fontMetrics().lineSpacing());
    QScrollBar *bar = verticalScrollBar();
    m_settingScrollBar = true;
    bar->setRange(0, clampToInt32(maxLine));
    bar->setSingleStep(1);
    bar->setPageStep(std::max(1, int(pageHeight()) / lineHeight));
    bar->setValue(clampToInt32(m_map.lineNumberOf(m_view.top())));
    m_settingScrollBar = false;
}

void RichTextBox::scrollToEnd()
{
    setTop(lastPageTop());
    syncScrollBar();
    viewport()->update();
}

RichTextBox::Position RichTextBox::movedBy(Position from, qint64 lines, Bound bound)
{
    const qint64 last
        = bound == Bound::LastPage ? m_map.lineNumberOf(lastPageTop()) : std::numeric_limits<qint64>::max();
    LineWalk walk(m_map, m_layouts, from, 0);
    for (; lines > 0 && m_map.lineNumberOf(walk.current().at) < last && walk.down(); --lines) { }
    for (; lines < 0 && walk.up(); ++lines) { }
    return walk.current().at;
}

// A page is the lines that stand whole on screen, less one that stays in view.
qint64 RichTextBox::linesPerPage()
{
    m_view.setHeight(viewport()->height());
    return std::max<qint64>(1, m_view.wholeLines() - 1);
}

void RichTextBox::scrollByLines(qint64 lines)
{
    setTop(movedBy(m_view.top(), lines));
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
    setTop(m_map.positionOfLine(verticalScrollBar()->value()));
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

void RichTextBox::showPosition(qint64 pos)
{
    const Position line = caretAt(pos).at;
    const qint64 number = m_map.lineNumberOf(line);
    const qint64 top = m_map.lineNumberOf(m_view.top());
    const qint64 page = linesPerPage() + 1;
    if (number < top)
        setTop(line);
    else if (number >= top + page)
        setTop(movedBy(line, -(page - 1)));
    else
        return;
    syncScrollBar();
    viewport()->update();
}

RichTextBox::Hit RichTextBox::hitTest(const QPoint &point)
{
    m_view.setHeight(viewport()->height());
    const ViewCache::Hit hit = m_view.lineAtY(point.y());
    const ViewLine &line = hit.line;
    if (hit.beyondEnd)
        return Hit{line.blockStart + line.layout->length(), true};
    return Hit{line.blockStart + line.layout->offsetAt(int(line.at.line), point.x() - kTextMargin), false};
}

// ---------------------------------------------------------------- painting

void RichTextBox::paintEvent(QPaintEvent *)
{
    // A paint shows the content as it is: an update still queued is made now.
    updateView();
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const bool focused = hasFocus();
    const qint64 selFrom = m_model.selStart();
    const qint64 selTo = selFrom + m_model.selLength();
    const qint64 caret = caretPosition();
    const qint64 linesBefore = m_map.lineNumberOf(m_view.top());

    m_view.setHeight(viewport()->height());
    const std::vector<ViewLine> &lines = m_view.lines();
    // Each block's lines on screen are drawn in one call, first to last.
    for (size_t i = 0; i < lines.size();) {
        const ViewLine &first = lines[i];
        size_t j = i;
        while (j + 1 < lines.size() && lines[j + 1].at.block == first.at.block)
            ++j;
        const ViewLine &last = lines[j];
        i = j + 1;
        const BlockLayout &layout = *first.layout;
        const QPointF origin(kTextMargin, first.blockTop);
        const qint64 blockEnd = first.blockStart + layout.length();
        const int firstLine = int(first.at.line);
        const int lastLine = int(last.at.line);
        if (focused)
            layout.draw(&painter, origin, firstLine, lastLine, selFrom - first.blockStart, selTo - first.blockStart,
                        palette());
        else
            layout.draw(&painter, origin, firstLine, lastLine, 0, 0, palette());
        const Block &block = first.at.block;
        const bool endsParagraph = block.piece + 1 == m_map.pieceCount(block.paragraph);
        if (focused && endsParagraph && last.isLastOfBlock() && selFrom <= blockEnd && blockEnd < selTo) {
            // The paragraph's break is selected too: a space's width after its last line.
            const BlockLayout::Line &line = last.line();
            const qreal x = origin.x() + layout.lineEndX(lastLine);
            painter.fillRect(QRectF(x, origin.y() + line.top, fontMetrics().horizontalAdvance(u' '), line.height),
                             palette().brush(QPalette::Highlight));
        }
        if (focused && caret >= first.blockStart && caret <= blockEnd && (caret < blockEnd || endsParagraph))
            layout.drawCaret(&painter, origin, caret - first.blockStart);
    }
    // Laying out may have turned estimated line counts into real ones.
    if (m_map.lineNumberOf(m_view.top()) != linesBefore || verticalScrollBar()->value() != clampToInt32(linesBefore))
        QMetaObject::invokeMethod(this, &RichTextBox::syncScrollBar, Qt::QueuedConnection);
}

void RichTextBox::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    const bool atEnd = verticalScrollBar()->value() == verticalScrollBar()->maximum();
    relayOut();
    if (atEnd)
        scrollToEnd();
    else
        syncScrollBar();
}

void RichTextBox::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange) {
        m_model.setDefaultFontName(font().family());
        relayOut();
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

} // namespace rich_text
