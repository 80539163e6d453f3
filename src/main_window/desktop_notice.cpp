#include "main_window/desktop_notice.h"

#include <QApplication>
#include <QSystemTrayIcon>

#if VZ_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>
#endif

namespace {

// How long the desktop shows it, in milliseconds, where the desktop lets the
// program choose.
constexpr int kShownMs = 10000;

} // namespace

DesktopNotice::DesktopNotice(QObject *parent)
    : QObject(parent)
{
}

DesktopNotice::~DesktopNotice() = default;

#if VZ_HAVE_DBUS

void DesktopNotice::show(const QString &title, const QString &body)
{
    // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout)
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("varlo-zintabel"));
    hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
    notify << QStringLiteral("Varlo-Zintabel") << uint(0) << QStringLiteral("varlo-zintabel") << title
           << body.toHtmlEscaped() << QStringList() << hints << kShownMs;
    // Asked, not waited for: the answer (the notification's number) is not needed.
    QDBusConnection::sessionBus().send(notify);
}

#else

void DesktopNotice::show(const QString &title, const QString &body)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    if (!m_trayIcon) {
        m_trayIcon = new QSystemTrayIcon(QApplication::windowIcon(), this);
        m_trayIcon->setToolTip(QStringLiteral("Varlo-Zintabel"));
        m_trayIcon->show();
    }
    m_trayIcon->showMessage(title, body, QSystemTrayIcon::Information, kShownMs);
}

#endif
