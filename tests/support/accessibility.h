#pragma once
// Accessibility switched on for a test, as a screen reader switches it on:
// Qt builds accessibility events only while it is active. The events are
// collected here instead of going to a platform bridge, the way Qt's own
// accessibility tests observe them.

#include <QAccessible>
#include <QPointer>
#include <QString>

#include <vector>

namespace support {

class AccessibilityEvents {
public:
    struct Event {
        QAccessible::Event type = QAccessible::InvalidEvent;
        QPointer<QObject> object;
        int position = -1;                            // where text changed, or the caret
        QString text;                                 // inserted, or the name of what was shown
        QAccessible::Role role = QAccessible::NoRole; // of what was shown
        int selectionStart = -1;
        int selectionEnd = -1;
        QAccessible::Id id = 0; // of what was shown
    };

    AccessibilityEvents();
    ~AccessibilityEvents();
    AccessibilityEvents(const AccessibilityEvents &) = delete;
    AccessibilityEvents &operator=(const AccessibilityEvents &) = delete;

    std::vector<Event> of(QAccessible::Event type, const QObject *object) const;
    void clear() { m_events.clear(); }

private:
    static void collect(QAccessibleEvent *event);

    std::vector<Event> m_events;
    QAccessible::UpdateHandler m_previous = nullptr;
    // Qt's update handler is a plain function: it reaches the one collector
    // through this pointer while the collector lives.
    static AccessibilityEvents *s_current;
};

} // namespace support
