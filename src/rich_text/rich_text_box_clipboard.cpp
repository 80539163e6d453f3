// The clipboard and the X11 primary selection: what is selected goes to them
// as text built only when a program pastes it (ClipboardText), so a copy of a
// whole transcript costs no more than a short one.
#include "rich_text/rich_text_box.h"

#include "rich_text/clipboard_text.h"

#include <QClipboard>
#include <QGuiApplication>

namespace rich_text {

Rope RichTextBox::selectedRope() const { return m_model.text().mid(m_model.selStart(), m_model.selLength()); }

QString RichTextBox::selectedText() const { return ClipboardText::plainText(selectedRope()); }

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

} // namespace rich_text
