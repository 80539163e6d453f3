// The context menu, in Spanish like the rest of the window.
#include "rich_text/rich_text_box.h"

#include <QContextMenuEvent>
#include <QMenu>

namespace rich_text {

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
