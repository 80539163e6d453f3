#include "main_window/desktop_notice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QTest>

// The desktop's notification service as a test stands in for it on a
// session bus of the test's own (dbus-run-session): it notes each call.
class NotificationService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QList<QVariantList> calls;

public slots:
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int expireTimeout)
    {
        calls << QVariantList{appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout};
        return uint(calls.size());
    }
};

class TestDesktopNotice : public QObject {
    Q_OBJECT
private slots:
    void aNoticeGoesToTheDesktopsNotificationService();
    void aBalloonsTextIsShortenedAfterAWord();
};

void TestDesktopNotice::aBalloonsTextIsShortenedAfterAWord()
{
    QCOMPARE(DesktopNotice::shortened(u"corto"_qs, 10), u"corto"_qs);
    QCOMPARE(DesktopNotice::shortened(u"diez letra"_qs, 10), u"diez letra"_qs);
    QCOMPARE(DesktopNotice::shortened(u"hola señor de Cádiz"_qs, 16), u"hola señor de…"_qs);
    // One long word is cut inside it rather than lose most of the room.
    QCOMPARE(DesktopNotice::shortened(u"ab palabralarguísima"_qs, 10), u"ab palabr…"_qs);
    QCOMPARE(DesktopNotice::shortened(QString(300, u'x'), 100).size(), 100);
}

void TestDesktopNotice::aNoticeGoesToTheDesktopsNotificationService()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        QSKIP("no session bus (run under dbus-run-session)");
    NotificationService service;
    QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                               QDBusConnection::ExportAllSlots));
    QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));

    DesktopNotice notice;
    notice.show(u"Mensaje de 10.0.0.7"_qs, u"hola <b>y</b> adiós"_qs);
    QTRY_COMPARE(service.calls.size(), 1);
    const QVariantList call = service.calls.first();
    QCOMPARE(call[0].toString(), u"Varlo-Zintabel"_qs);
    QCOMPARE(call[3].toString(), u"Mensaje de 10.0.0.7"_qs);
    // The body is markup to some services: a peer's text is shown as text.
    QCOMPARE(call[4].toString(), u"hola &lt;b&gt;y&lt;/b&gt; adiós"_qs);
    QCOMPARE(call[6].toMap().value(u"desktop-entry"_qs).toString(), u"varlo-zintabel"_qs);
    QCOMPARE(call[1].toUInt(), 0u);

    // Once the service has told its number, an update takes its place; a
    // new notice is a new one.
    QTest::qWait(100);
    notice.update(u"2 mensajes de 10.0.0.7"_qs, u"otro"_qs);
    QTRY_COMPARE(service.calls.size(), 2);
    QCOMPARE(service.calls[1][1].toUInt(), 1u);
    QCOMPARE(service.calls[1][3].toString(), u"2 mensajes de 10.0.0.7"_qs);
    notice.show(u"Mensaje de 10.0.0.8"_qs, u"nuevo"_qs);
    QTRY_COMPARE(service.calls.size(), 3);
    QCOMPARE(service.calls[2][1].toUInt(), 0u);
}

QTEST_GUILESS_MAIN(TestDesktopNotice)
#include "test_desktop_notice.moc"
