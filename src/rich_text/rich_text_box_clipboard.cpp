// The clipboard and the X11 primary selection: what is selected goes to them
// as text built only when a program pastes it (ClipboardText), so a copy of a
// whole transcript costs no more than a short one.
#include "rich_text/rich_text_box.h"

#include "rich_text/clipboard_text.h"

#include <QClipboard>
#include <QGuiApplication>

namespace rich_text {

namespace {

// The selection as an offer for `mode`. When the other one already offers
// the same selection (select-all, then Ctrl+C), the two share its text, so
// that programs pasting from both make and hold it once.
ClipboardText *offerOf(const TextModel &model, QClipboard::Mode other)
{
    const Rope content = model.text();
    const auto *offered = qobject_cast<const ClipboardText *>(QGuiApplication::clipboard()->mimeData(other));
    if (offered && offered->offers(content, model.selStart(), model.selLength()))
        return ClipboardText::sharing(*offered);
    return new ClipboardText(content, model.selStart(), model.selLength());
}

} // namespace

Rope RichTextBox::selectedRope() const { return m_model.text().mid(m_model.selStart(), m_model.selLength()); }

QString RichTextBox::selectedText() const { return ClipboardText::plainText(selectedRope()); }

void RichTextBox::copy() const
{
    if (m_model.selLength() > 0)
        QGuiApplication::clipboard()->setMimeData(offerOf(m_model, QClipboard::Selection));
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
        clipboard->setMimeData(offerOf(m_model, QClipboard::Clipboard), QClipboard::Selection);
}

} // namespace rich_text
