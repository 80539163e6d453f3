#pragma once

#include "rich_text/rich_text_box.h"

#include <QAccessibleWidget>
#include <QPointer>

namespace rich_text {

// The rich-text box as screen readers and magnifiers see it: a read-only,
// multi-line text, as Qt presents a read-only QTextEdit.
//
// Offsets are those of the text as copy gives it: the break between two
// paragraphs (CR LF in the control's plain text) is one character, "\n".
// Every call costs what it asks for: offsets are found by a binary search
// over the paragraphs, boundaries within the one paragraph (or piece) that
// holds the offset, and only text() over a range copies that range.
class AccessibleRichTextBox : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    // Events carry at most this many characters of inserted text.
    static constexpr int kMostAnnounced = 64 * 1024;

    explicit AccessibleRichTextBox(RichTextBox *box);

    using QAccessibleWidget::text; // the name and description, beside the text interface's text()
    void *interface_cast(QAccessible::InterfaceType type) override;
    // The announcements shown lately are the view's children.
    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessible::State state() const override;

    // QAccessibleTextInterface
    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                             int *endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                            int *endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                         int *endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int *startOffset, int *endOffset) const override;

private:
    struct Span {
        qint64 start;
        qint64 end;
    };
    RichTextBox *box() const;
    Span segmentAt(qint64 offset, QAccessible::TextBoundaryType boundaryType) const;
    QString textOf(const Span &span, int *startOffset, int *endOffset) const;
};

// Offsets as copy counts them, and back to positions in the plain text.
qint64 copyOffsetOf(const Document &doc, qint64 position);
qint64 positionOfCopyOffset(const Document &doc, qint64 offset);
qint64 copyLength(const Document &doc);
// The text of plain-text positions [from, to) as copy gives it.
QString copyText(const Document &doc, qint64 from, qint64 to);

// Tells assistive technology what one update of the view changed: the text
// appended (its last kMostAnnounced characters at most), and, while the view
// has the focus, the selection and the caret. `changedFrom` is the first
// paragraph the update found changed; text counts as appended when nothing
// before the old last paragraph changed. A screen reader presents a
// selection wherever it changes and follows it there, so a view the user is
// not in keeps its selection to itself, as an unfocused view's caret.
// `arrived`: the update brings messages, which their announcement tells; the
// selection and the caret that move with them are not told apart (a screen
// reader would speak the entry again, and drops all but the last of several
// such events close together).
void announceChanges(RichTextBox &box, std::optional<size_t> changedFrom, const RichTextBox::Announced &before,
                     const RichTextBox::Announced &now, bool focused, bool arrived);
// What one update's messages are told as: each cut to kLongest characters,
// the whole to kMostSpoken, with an ellipsis where cut.
QString announcementOf(const QStringList &messages);
// Shows a new announcement of `messages`, after the update's other events.
void announceArrival(RichTextBox &box, const QStringList &messages);

// What arrived, told to assistive technology as a notification shown beside
// the text: screen readers speak a notification that appears wherever the
// focus is, where they leave unsaid text that grows in a view the user is not
// typing into. A new one for every update that brings messages: a screen
// reader takes one object shown twice for one event told twice, and drops
// the first. Its text is its one child, a label, which is what a screen
// reader shows on the braille line and keeps among its notifications.
class AccessibleAnnouncement : public QAccessibleInterface {
public:
    // A message longer than this is told by its start, with an ellipsis: a
    // screen reader leaves unsaid what is much longer.
    static constexpr int kLongest = 500;
    static constexpr int kMostSpoken = 1000;

    AccessibleAnnouncement(RichTextBox *box, const QString &text);
    ~AccessibleAnnouncement() override;
    QString announced() const { return m_text; }

    bool isValid() const override;
    QObject *object() const override { return nullptr; }
    QWindow *window() const override;
    QAccessibleInterface *parent() const override;
    QAccessibleInterface *child(int index) const override;
    int childCount() const override { return 1; }
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text) const override { return QString(); }
    void setText(QAccessible::Text, const QString &) override { }
    QRect rect() const override;
    QAccessible::Role role() const override { return QAccessible::Notification; }
    QAccessible::State state() const override;

private:
    QPointer<RichTextBox> m_box;
    QString m_text;
    QAccessible::Id m_label;
};

// Registers the interface with Qt's accessibility; more calls change nothing.
void installAccessibleRichTextBox();

} // namespace rich_text
