#pragma once

#include "rich_text/rich_text_box.h"

#include <QAccessibleWidget>

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
// appended (its last kMostAnnounced characters at most), the selection and
// the caret. `changedFrom` is the first paragraph the update found changed;
// text counts as appended when nothing before the old last paragraph changed.
void announceChanges(RichTextBox &box, std::optional<size_t> changedFrom, const RichTextBox::Announced &before,
                     const RichTextBox::Announced &now);

// Registers the interface with Qt's accessibility; more calls change nothing.
void installAccessibleRichTextBox();

} // namespace rich_text
