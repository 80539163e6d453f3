#include "support/accessibility.h"

#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

namespace support {

AccessibilityEvents *AccessibilityEvents::s_current = nullptr;

namespace {

void setActive(bool active)
{
    if (QPlatformAccessibility *platform = QGuiApplicationPrivate::platformIntegration()->accessibility())
        platform->setActive(active);
}

} // namespace

AccessibilityEvents::AccessibilityEvents()
{
    Q_ASSERT(!s_current);
    s_current = this;
    m_previous = QAccessible::installUpdateHandler(collect);
    setActive(true);
}

AccessibilityEvents::~AccessibilityEvents()
{
    setActive(false);
    QAccessible::installUpdateHandler(m_previous);
    s_current = nullptr;
}

void AccessibilityEvents::collect(QAccessibleEvent *event)
{
    if (!s_current)
        return;
    Event e;
    e.type = event->type();
    e.object = event->object();
    switch (event->type()) {
    case QAccessible::TextInserted: {
        auto *insert = static_cast<QAccessibleTextInsertEvent *>(event);
        e.position = insert->changePosition();
        e.text = insert->textInserted();
        break;
    }
    case QAccessible::TextUpdated: {
        auto *update = static_cast<QAccessibleTextUpdateEvent *>(event);
        e.position = update->changePosition();
        e.text = update->textInserted();
        break;
    }
    case QAccessible::TextSelectionChanged: {
        auto *selection = static_cast<QAccessibleTextSelectionEvent *>(event);
        e.selectionStart = selection->selectionStart();
        e.selectionEnd = selection->selectionEnd();
        e.position = selection->cursorPosition();
        break;
    }
    case QAccessible::TextCaretMoved:
        e.position = static_cast<QAccessibleTextCursorEvent *>(event)->cursorPosition();
        break;
    case QAccessible::ObjectShow:
        // What was shown may have no object of its own (a notification):
        // it counts as its parent's. Its text is its name, or a screen
        // reader's reading of it: the labels inside it.
        if (QAccessibleInterface *shown = event->accessibleInterface()) {
            e.role = shown->role();
            e.text = shown->text(QAccessible::Name);
            for (int i = 0; e.text.isEmpty() && i < shown->childCount(); ++i) {
                if (shown->child(i)->role() == QAccessible::StaticText)
                    e.text = shown->child(i)->text(QAccessible::Name);
            }
            e.id = QAccessible::uniqueId(shown);
            if (!e.object && shown->parent())
                e.object = shown->parent()->object();
        }
        break;
    default:
        break;
    }
    s_current->m_events.push_back(e);
}

std::vector<AccessibilityEvents::Event> AccessibilityEvents::of(QAccessible::Event type, const QObject *object) const
{
    std::vector<Event> out;
    for (const Event &e : m_events) {
        if (e.type == type && e.object == object)
            out.push_back(e);
    }
    return out;
}

} // namespace support
