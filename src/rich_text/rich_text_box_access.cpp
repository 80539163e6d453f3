// What assistive technology asks of the view: lines as wrapped, where a
// character is drawn, what lies under a point, showing a range, the caret.
// Everything here reads the lines on screen (m_view) and the layouts as the
// paint does.
#include "rich_text/rich_text_box.h"

#include "rich_text/accessible_rich_text_box.h"

#include <QAccessible>

#include <algorithm>
#include <utility>

namespace rich_text {

const Document &RichTextBox::document()
{
    updateView();
    return m_model.document();
}

RichTextBox::LineSpan RichTextBox::lineAt(qint64 position)
{
    const Document &doc = document();
    position = std::clamp<qint64>(position, 0, doc.plainLength());
    const Block block = m_map.blockAt(position);
    const qint64 blockStart = m_map.blockStart(block);
    const LayoutCache::Layout layout = blockLayout(block);
    LineSpan span{blockStart, blockStart};
    if (layout->lineCount() > 0) {
        const qint64 offset = std::min(position - blockStart, layout->length());
        const BlockLayout::Line &line = layout->line(layout->lineOf(offset));
        span = LineSpan{blockStart + line.start, blockStart + line.start + line.length};
    }
    return span;
}

QRect RichTextBox::characterRect(qint64 position)
{
    const Document &doc = document();
    if (position < 0 || position >= doc.plainLength())
        return QRect();
    m_view.setHeight(viewport()->height());
    const std::optional<int> shown = m_view.viewLineOf(position);
    if (!shown)
        return QRect();
    const ViewLine &view = m_view.viewLine(*shown);
    const BlockLayout &layout = *view.layout;
    const BlockLayout::Line &line = view.line();
    const qint64 offset = std::min(position - view.blockStart, layout.length());
    const qreal x = layout.cursorX(offset);
    // A paragraph's break, or a line's closing break or space, is as wide as a space.
    const qint64 lineEnd = line.start + line.length;
    const bool inLine = offset < lineEnd && (offset + 1 < lineEnd || view.isLastOfBlock());
    const qreal next = inLine ? layout.cursorX(offset + 1) : x + fontMetrics().horizontalAdvance(u' ');
    const qreal left = std::min(x, next);
    const qreal width = std::max<qreal>(1, std::abs(next - x));
    return QRectF(kTextMargin + left, view.top(), width, line.height).toAlignedRect();
}

std::optional<qint64> RichTextBox::positionAt(const QPoint &point)
{
    if (!viewport()->rect().contains(point))
        return std::nullopt;
    const Hit hit = hitTest(point);
    if (hit.beyondEnd)
        return std::nullopt;
    return hit.position;
}

void RichTextBox::showRange(qint64 from, qint64 to)
{
    const qint64 length = document().plainLength();
    showPosition(std::clamp<qint64>(to, 0, length));
    showPosition(std::clamp<qint64>(from, 0, length));
}

qint64 RichTextBox::caretPosition() const
{
    // Until the user places it, the caret stands at the end of the selection.
    return m_caret >= 0 ? m_caret : m_model.selStart() + m_model.selLength();
}

void RichTextBox::select(qint64 anchor, qint64 caret)
{
    const qint64 length = m_model.length();
    m_anchor = std::clamp<qint64>(anchor, 0, length);
    selectBetween(m_anchor, std::clamp<qint64>(caret, 0, length));
}

// What was last announced is kept on every update, so that an assistive
// technology arriving later is told only what changed from then on; the
// events themselves are built only while one listens.
void RichTextBox::announceUpdate(std::optional<size_t> changedFrom)
{
    const Announced before = m_announced;
    m_announced = Announced{m_model.length(), m_model.document().paragraphCount(), m_model.selStart(),
                            m_model.selLength(), caretPosition()};
    const QStringList arrivals = std::exchange(m_arrivals, QStringList());
    m_arrivedLength = 0;
    if (!QAccessible::isActive())
        return;
    // What arrives is told once, wherever the focus is in the window, by an
    // announcement. While another program is active, the desktop tells the
    // user instead.
    announceChanges(*this, changedFrom, before, m_announced, hasFocus(), !arrivals.isEmpty());
    if (!arrivals.isEmpty() && isActiveWindow())
        announceArrival(*this, arrivals);
}

void RichTextBox::announce(const QString &text)
{
    if (!QAccessible::isActive())
        return; // nothing listens
    // Beyond what one announcement says, a message is not kept: the
    // announcement ends with an ellipsis there.
    if (m_arrivedLength <= AccessibleAnnouncement::kMostSpoken) {
        m_arrivals.append(text.left(AccessibleAnnouncement::kLongest + 1));
        m_arrivedLength += m_arrivals.back().size() + 1;
    }
    queueUpdate();
}

AccessibleAnnouncement &RichTextBox::newAnnouncement(const QString &text)
{
    if (m_announcements.size() >= kAnnouncementsKept) {
        QAccessible::deleteAccessibleInterface(m_announcements.front());
        m_announcements.erase(m_announcements.begin());
    }
    auto *made = new AccessibleAnnouncement(this, text);
    m_announcements.push_back(QAccessible::registerAccessibleInterface(made));
    return *made;
}

} // namespace rich_text
