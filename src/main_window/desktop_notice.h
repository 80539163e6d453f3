#pragma once

#include <QObject>
#include <QString>

class QSystemTrayIcon;

// Tells the user of something on the desktop without taking the focus: a
// notification of the desktop's own, which screen readers speak. On a desktop
// with D-Bus (Linux and the like), through its notification service,
// org.freedesktop.Notifications; elsewhere (Windows), as a balloon of the
// program's icon in the notification area. A call never waits: the service
// is asked and not waited for, and a desktop without one shows nothing.
class DesktopNotice : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotice(QObject *parent = nullptr);
    ~DesktopNotice() override;

    // A new notification.
    void show(const QString &title, const QString &body);
    // The one shown last, with a new title and text: in its place where the
    // desktop numbers its notifications (D-Bus) and has told its number, or
    // as a balloon shown again.
    void update(const QString &title, const QString &body);

    // A balloon's text as it is shown whole: at most `most` characters, cut
    // after a word where one ends in the second half, and "…" where cut.
    static QString shortened(const QString &text, qsizetype most);

private:
    void notify(const QString &title, const QString &body, uint replacing);

    QSystemTrayIcon *m_trayIcon = nullptr; // made on first use where there is no D-Bus
    uint m_lastId = 0;                     // the desktop's number for the one shown last, once it told it
};
