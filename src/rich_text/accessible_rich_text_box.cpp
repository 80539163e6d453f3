#include "rich_text/accessible_rich_text_box.h"

#include "rich_text/line_breaks.h"

#include <QAccessible>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <limits>

namespace rich_text {

namespace {

// Words and sentences are looked for this far on either side of the offset,
// so that one huge token costs no more than this window.
constexpr qint64 kBoundaryWindow = 2048;

int toInt(qint64 v) { return int(std::clamp<qint64>(v, 0, std::numeric_limits<int>::max())); }

// The paragraph whose text (or the break after it) holds copy offset `offset`:
// the last one that starts at or before it. Paragraph p starts at copy offset
// paragraphStart(p) - p, since each earlier break counts one, not two.
size_t paragraphOfCopyOffset(const Document &doc, qint64 offset)
{
    size_t lo = 0;
    size_t hi = doc.paragraphCount() - 1;
    while (lo < hi) {
        const size_t mid = lo + (hi - lo + 1) / 2;
        if (doc.paragraphStart(mid) - qint64(mid) <= offset)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

QAccessibleInterface *accessibleRichTextBoxFactory(const QString &className, QObject *object)
{
    if (className != QLatin1String(RichTextBox::staticMetaObject.className()))
        return nullptr;
    auto *box = qobject_cast<RichTextBox *>(object);
    return box ? new AccessibleRichTextBox(box) : nullptr;
}

} // namespace

qint64 copyOffsetOf(const Document &doc, qint64 position)
{
    position = std::clamp<qint64>(position, 0, doc.plainLength());
    // A position inside a break (between its CR and LF) counts as after it.
    return position - qint64(doc.paragraphAt(position));
}

qint64 positionOfCopyOffset(const Document &doc, qint64 offset)
{
    offset = std::clamp<qint64>(offset, 0, copyLength(doc));
    return offset + qint64(paragraphOfCopyOffset(doc, offset));
}

qint64 copyLength(const Document &doc) { return doc.plainLength() - qint64(doc.paragraphCount() - 1); }

QString copyText(const Document &doc, qint64 from, qint64 to)
{
    return withLfBreaks(doc.text().mid(from, std::max<qint64>(0, to - from)));
}

void installAccessibleRichTextBox() { QAccessible::installFactory(accessibleRichTextBoxFactory); }

// ---------------------------------------------------------------- announcements

namespace {

// The text of an announcement, as a label inside it.
class AnnouncementLabel : public QAccessibleInterface {
public:
    AnnouncementLabel(const AccessibleAnnouncement *announcement, const QString &text)
        : m_announcement(announcement)
        , m_text(text)
    {
    }
    bool isValid() const override { return m_announcement->isValid(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_announcement->window(); }
    QAccessibleInterface *parent() const override { return const_cast<AccessibleAnnouncement *>(m_announcement); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override { return t == QAccessible::Name ? m_text : QString(); }
    void setText(QAccessible::Text, const QString &) override { }
    QRect rect() const override { return QRect(); }
    QAccessible::Role role() const override { return QAccessible::StaticText; }
    QAccessible::State state() const override { return m_announcement->state(); }

private:
    const AccessibleAnnouncement *m_announcement;
    QString m_text;
};

QString cut(QStringView text, qsizetype most)
{
    return text.size() > most ? text.left(most).toString() + u'…' : text.toString();
}

} // namespace

QString announcementOf(const QStringList &messages)
{
    QStringList told;
    for (const QString &message : messages)
        told.append(cut(message, AccessibleAnnouncement::kLongest));
    return cut(told.join(u'\n'), AccessibleAnnouncement::kMostSpoken);
}

AccessibleAnnouncement::AccessibleAnnouncement(RichTextBox *box, const QString &text)
    : m_box(box)
    , m_text(text)
    , m_label(QAccessible::registerAccessibleInterface(new AnnouncementLabel(this, text)))
{
}

AccessibleAnnouncement::~AccessibleAnnouncement() { QAccessible::deleteAccessibleInterface(m_label); }

bool AccessibleAnnouncement::isValid() const { return !m_box.isNull(); }

QWindow *AccessibleAnnouncement::window() const
{
    QAccessibleInterface *view = parent();
    return view ? view->window() : nullptr;
}

QAccessibleInterface *AccessibleAnnouncement::parent() const
{
    return m_box ? QAccessible::queryAccessibleInterface(m_box.data()) : nullptr;
}

QAccessibleInterface *AccessibleAnnouncement::child(int index) const
{
    return index == 0 ? QAccessible::accessibleInterface(m_label) : nullptr;
}

int AccessibleAnnouncement::indexOfChild(const QAccessibleInterface *child) const
{
    return child && child == QAccessible::accessibleInterface(m_label) ? 0 : -1;
}

// It takes no room on screen: a point on the text is the text's.
QRect AccessibleAnnouncement::rect() const { return QRect(); }

QAccessible::State AccessibleAnnouncement::state() const
{
    QAccessible::State state;
    state.readOnly = true;
    return state;
}

void announceArrival(RichTextBox &box, const QStringList &messages)
{
    AccessibleAnnouncement &announcement = box.newAnnouncement(announcementOf(messages));
    QAccessibleEvent shown(&announcement, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}

AccessibleRichTextBox::AccessibleRichTextBox(RichTextBox *box)
    : QAccessibleWidget(box, QAccessible::EditableText)
{
}

RichTextBox *AccessibleRichTextBox::box() const { return static_cast<RichTextBox *>(widget()); }

void *AccessibleRichTextBox::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

int AccessibleRichTextBox::childCount() const { return int(box()->announcements().size()); }

QAccessibleInterface *AccessibleRichTextBox::child(int index) const
{
    const auto &shown = box()->announcements();
    return index >= 0 && size_t(index) < shown.size() ? QAccessible::accessibleInterface(shown[size_t(index)])
                                                      : nullptr;
}

int AccessibleRichTextBox::indexOfChild(const QAccessibleInterface *child) const
{
    const auto &shown = box()->announcements();
    const auto found = std::find(shown.begin(), shown.end(),
                                 child ? QAccessible::uniqueId(const_cast<QAccessibleInterface *>(child)) : 0);
    return found == shown.end() ? -1 : int(found - shown.begin());
}

QAccessible::State AccessibleRichTextBox::state() const
{
    QAccessible::State state = QAccessibleWidget::state();
    state.readOnly = true;
    state.multiLine = true;
    state.selectableText = true;
    state.focusable = true;
    return state;
}

// ---------------------------------------------------------------- selection

void AccessibleRichTextBox::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    const Document &doc = box()->document();
    const qint64 start = box()->model().selStart();
    const qint64 length = box()->model().selLength();
    if (selectionIndex != 0 || length <= 0)
        return;
    *startOffset = toInt(copyOffsetOf(doc, start));
    *endOffset = toInt(copyOffsetOf(doc, start + length));
}

int AccessibleRichTextBox::selectionCount() const { return box()->model().selLength() > 0 ? 1 : 0; }

void AccessibleRichTextBox::addSelection(int startOffset, int endOffset) { setSelection(0, startOffset, endOffset); }

void AccessibleRichTextBox::removeSelection(int selectionIndex)
{
    if (selectionIndex != 0)
        return;
    const qint64 caret = box()->caretPosition();
    box()->select(caret, caret);
}

void AccessibleRichTextBox::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex != 0)
        return;
    const Document &doc = box()->document();
    box()->select(positionOfCopyOffset(doc, startOffset), positionOfCopyOffset(doc, endOffset));
}

int AccessibleRichTextBox::cursorPosition() const
{
    return toInt(copyOffsetOf(box()->document(), box()->caretPosition()));
}

void AccessibleRichTextBox::setCursorPosition(int position)
{
    const qint64 at = positionOfCopyOffset(box()->document(), position);
    box()->select(at, at);
    box()->showRange(at, at);
}

// ---------------------------------------------------------------- text

int AccessibleRichTextBox::characterCount() const { return toInt(copyLength(box()->document())); }

QString AccessibleRichTextBox::text(int startOffset, int endOffset) const
{
    const Document &doc = box()->document();
    const qint64 from = positionOfCopyOffset(doc, std::max(0, startOffset));
    const qint64 to = positionOfCopyOffset(doc, std::max(startOffset, endOffset));
    return copyText(doc, from, to);
}

// The piece of text of the given kind that holds `offset`. Lines and
// paragraphs take the break that ends them, so that together they cover the
// text; at the very end a character, word or sentence is empty.
AccessibleRichTextBox::Span AccessibleRichTextBox::segmentAt(qint64 offset,
                                                             QAccessible::TextBoundaryType boundaryType) const
{
    RichTextBox *view = box();
    const Document &doc = view->document();
    const qint64 count = copyLength(doc);
    offset = std::clamp<qint64>(offset, 0, count);
    if (boundaryType == QAccessible::NoBoundary)
        return Span{0, count};

    const size_t paragraph = paragraphOfCopyOffset(doc, offset);
    const qint64 start = doc.paragraphStart(paragraph); // in the plain text
    const qint64 copyStart = start - qint64(paragraph);
    const qint64 length = doc.paragraphLength(paragraph);
    const qint64 copyEnd = copyStart + length + (paragraph + 1 < doc.paragraphCount() ? 1 : 0);
    const qint64 within = offset - copyStart; // its length: the break, or the end

    if (boundaryType == QAccessible::ParagraphBoundary)
        return Span{copyStart, copyEnd};
    if (boundaryType == QAccessible::LineBoundary) {
        const RichTextBox::LineSpan line = view->lineAt(start + within);
        const qint64 end = line.end - start >= length ? copyEnd : copyStart + (line.end - start);
        return Span{copyStart + (line.start - start), end};
    }
    if (offset == count)
        return Span{count, count};
    if (within >= length)
        return Span{offset, offset + 1}; // the break between paragraphs
    if (boundaryType == QAccessible::CharBoundary) {
        const Rope &text = doc.text();
        const bool pair = within + 1 < length && text.at(start + within).isHighSurrogate()
            && text.at(start + within + 1).isLowSurrogate();
        return Span{offset, offset + (pair ? 2 : 1)};
    }

    const qint64 from = std::max<qint64>(0, within - kBoundaryWindow);
    const qint64 to = std::min(length, within + kBoundaryWindow);
    const QString window = doc.text().mid(start + from, to - from).toString();
    QTextBoundaryFinder finder(
        boundaryType == QAccessible::WordBoundary ? QTextBoundaryFinder::Word : QTextBoundaryFinder::Sentence, window);
    const int at = int(within - from);
    finder.setPosition(at);
    qint64 first = finder.isAtBoundary() ? at : finder.toPreviousBoundary();
    finder.setPosition(at);
    qint64 last = finder.toNextBoundary();
    if (first < 0)
        first = 0;
    if (last < 0)
        last = window.size();
    return Span{copyStart + from + first, copyStart + from + last};
}

QString AccessibleRichTextBox::textOf(const Span &span, int *startOffset, int *endOffset) const
{
    *startOffset = toInt(span.start);
    *endOffset = toInt(span.end);
    return text(*startOffset, *endOffset);
}

QString AccessibleRichTextBox::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                                            int *endOffset) const
{
    return textOf(segmentAt(offset, boundaryType), startOffset, endOffset);
}

QString AccessibleRichTextBox::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                                int *startOffset, int *endOffset) const
{
    const Span at = segmentAt(offset, boundaryType);
    if (at.start <= 0)
        return textOf(Span{0, 0}, startOffset, endOffset);
    return textOf(segmentAt(at.start - 1, boundaryType), startOffset, endOffset);
}

QString AccessibleRichTextBox::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                                               int *endOffset) const
{
    const Span at = segmentAt(offset, boundaryType);
    const qint64 count = copyLength(box()->document());
    if (at.end >= count)
        return textOf(Span{count, count}, startOffset, endOffset);
    return textOf(segmentAt(at.end, boundaryType), startOffset, endOffset);
}

// ---------------------------------------------------------------- geometry

QRect AccessibleRichTextBox::characterRect(int offset) const
{
    RichTextBox *view = box();
    const QRect local = view->characterRect(positionOfCopyOffset(view->document(), offset));
    if (local.isEmpty())
        return QRect();
    return QRect(view->viewport()->mapToGlobal(local.topLeft()), local.size());
}

int AccessibleRichTextBox::offsetAtPoint(const QPoint &point) const
{
    RichTextBox *view = box();
    const std::optional<qint64> position = view->positionAt(view->viewport()->mapFromGlobal(point));
    return position ? toInt(copyOffsetOf(view->document(), *position)) : -1;
}

void AccessibleRichTextBox::scrollToSubstring(int startIndex, int endIndex)
{
    const Document &doc = box()->document();
    box()->showRange(positionOfCopyOffset(doc, startIndex), positionOfCopyOffset(doc, endIndex));
}

// The run of equal format that holds the offset, within its paragraph; the
// names and forms are those Qt's text views give (IAccessible2 style), with
// the colour as AT-SPI names it.
QString AccessibleRichTextBox::attributes(int offset, int *startOffset, int *endOffset) const
{
    RichTextBox *view = box();
    const Document &doc = view->document();
    const qint64 count = copyLength(doc);
    qint64 at = offset == -2 ? cursorPosition() : offset;
    if (at == -1 || at == count)
        at = count - 1;
    if (at < 0 || at >= count) {
        *startOffset = *endOffset = -1;
        return QString();
    }
    const size_t paragraph = paragraphOfCopyOffset(doc, at);
    const qint64 copyStart = doc.paragraphStart(paragraph) - qint64(paragraph);
    const qint64 within = at - copyStart;
    CharFormat format = doc.markFormat(paragraph);
    Span span{at, at + 1};
    if (within < doc.paragraphLength(paragraph)) {
        doc.forEachRun(paragraph, [&](qint64 runStart, qint64 runLength, const CharFormat &run) {
            if (within >= runStart && within < runStart + runLength) {
                format = run;
                span = Span{copyStart + runStart, copyStart + runStart + runLength};
            }
        });
    }
    *startOffset = toInt(span.start);
    *endOffset = toInt(span.end);

    const QColor color = format.color ? QColor::fromRgb(QRgb(*format.color)) : view->palette().color(QPalette::Text);
    const qreal size = format.sizeHalfPoints != Document::defaultFormat().sizeHalfPoints ? format.sizeHalfPoints / 2.0
                                                                                         : view->font().pointSizeF();
    QString family = view->font().family();
    family.replace(u';', u' ').replace(u':', u' ');
    return QStringLiteral("fg-color:%1,%2,%3;font-family:%4;font-size:%5pt;font-weight:%6;font-style:%7;")
        .arg(color.red())
        .arg(color.green())
        .arg(color.blue())
        .arg(family)
        .arg(size)
        .arg(format.bold ? u"bold" : u"normal")
        .arg(format.italic ? u"italic" : u"normal");
}

// ---------------------------------------------------------------- events

void announceChanges(RichTextBox &box, std::optional<size_t> changedFrom, const RichTextBox::Announced &before,
                     const RichTextBox::Announced &now, bool focused, bool arrived)
{
    const Document &doc = box.model().document();
    const bool appended = now.length > before.length && (!changedFrom || *changedFrom + 1 >= before.paragraphs);
    if (appended) {
        const qint64 from = copyOffsetOf(doc, before.length);
        const qint64 to = copyLength(doc);
        // A flood is told by its end: the last characters where they stand,
        // as an update of the text rather than the whole insertion.
        const qint64 told = std::max(from, to - AccessibleRichTextBox::kMostAnnounced);
        const QString text = copyText(doc, positionOfCopyOffset(doc, told), doc.plainLength());
        if (told == from && arrived) {
            // Told as the break before the entries, then the entries: a
            // screen reader speaks an insertion that is the very text
            // selected, and the announcement speaks it already. Where the
            // focus is does not matter: while a program the screen reader
            // cannot follow is active, it stays in this view.
            QAccessibleTextInsertEvent breakBefore(&box, toInt(told), text.left(1));
            QAccessible::updateAccessibility(&breakBefore);
            QAccessibleTextInsertEvent entries(&box, toInt(told) + 1, text.mid(1));
            QAccessible::updateAccessibility(&entries);
        } else if (told == from) {
            QAccessibleTextInsertEvent event(&box, toInt(told), text);
            QAccessible::updateAccessibility(&event);
        } else {
            QAccessibleTextUpdateEvent event(&box, toInt(told), QString(), text);
            QAccessible::updateAccessibility(&event);
        }
    }
    if (!focused || arrived)
        return;
    const int caret = toInt(copyOffsetOf(doc, now.caret));
    if (now.selStart != before.selStart || now.selLength != before.selLength) {
        QAccessibleTextSelectionEvent event(&box, toInt(copyOffsetOf(doc, now.selStart)),
                                            toInt(copyOffsetOf(doc, now.selStart + now.selLength)));
        event.setCursorPosition(caret);
        QAccessible::updateAccessibility(&event);
    }
    if (now.caret != before.caret) {
        QAccessibleTextCursorEvent event(&box, caret);
        QAccessible::updateAccessibility(&event);
    }
}

} // namespace rich_text
