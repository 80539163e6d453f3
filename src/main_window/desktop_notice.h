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

    void show(const QString &title, const QString &body);

private:
    QSystemTrayIcon *m_trayIcon = nullptr; // made on first use where there is no D-Bus
};
