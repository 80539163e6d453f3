#include "main_window/desktop_notice.h"

#include <QApplication>
#include <QSystemTrayIcon>

#if VZ_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
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

QString DesktopNotice::shortened(const QString &text, qsizetype most)
{
    if (text.size() <= most)
        return text;
    QString cut = text.left(most - 1);
    const qsizetype space = cut.lastIndexOf(u' ');
    if (space > most / 2)
        cut.truncate(space);
    return cut + u'…';
}

#if VZ_HAVE_DBUS

void DesktopNotice::show(const QString &title, const QString &body)
{
    m_lastId = 0;
    notify(title, body, 0);
}

void DesktopNotice::update(const QString &title, const QString &body) { notify(title, body, m_lastId); }

void DesktopNotice::notify(const QString &title, const QString &body, uint replacing)
{
    // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout)
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("varlo-zintabel"));
    hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
    notify << QStringLiteral("Varlo-Zintabel") << replacing << QStringLiteral("varlo-zintabel") << title
           << body.toHtmlEscaped() << QStringList() << hints << kShownMs;
    // Asked, not waited for: the answer, the notification's number, comes
    // later, and lets the next update take its place.
    auto *answer = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notify), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *call) {
        const QDBusPendingReply<uint> reply = *call;
        if (reply.isValid())
            m_lastId = reply.value();
        call->deleteLater();
    });
}

#else

namespace {

// What the notification area's balloon holds (NOTIFYICONDATA) is a title of
// 63 characters and a text of 255, cut by the system mid-word. What it
// shows is less: Windows wraps a balloon's text on a few lines, Wine draws
// it on one line that the screen's edge clips (a 300-character message
// lost both ends). The text is kept to what one line of a small screen
// shows whole.
constexpr qsizetype kBalloonTitle = 63;
constexpr qsizetype kBalloonText = 100;

} // namespace

void DesktopNotice::show(const QString &title, const QString &body) { notify(title, body, 0); }

// A balloon shown again takes the place of the one shown.
void DesktopNotice::update(const QString &title, const QString &body) { notify(title, body, 0); }

void DesktopNotice::notify(const QString &title, const QString &body, uint)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    if (!m_trayIcon) {
        m_trayIcon = new QSystemTrayIcon(QApplication::windowIcon(), this);
        m_trayIcon->setToolTip(QStringLiteral("Varlo-Zintabel"));
        m_trayIcon->show();
    }
    m_trayIcon->showMessage(shortened(title, kBalloonTitle), shortened(body, kBalloonText),
                            QSystemTrayIcon::Information, kShownMs);
}

#endif
