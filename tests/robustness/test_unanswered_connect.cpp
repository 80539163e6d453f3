#include "support/window.h"

#include "connections/socket_array.h"
#include "connections/socket_control.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace support;

// An address that never answers, made on loopback without touching the
// firewall: a listener with a listen queue of zero that never accepts. One
// connection fills the queue; from then on the kernel drops every new SYN
// (the queue is full), so a connect to it is neither accepted nor refused and
// the caller keeps retrying for minutes.
class Unanswering {
public:
    explicit Unanswering(const char *at)
    {
        listener.setListenBacklogSize(0);
        if (!listener.listen(address(at), Form1::PuertoChat)) {
            why = listener.errorString();
            return;
        }
        listener.pauseAccepting();
        filler.bind(address("127.0.0.195"), 0, QAbstractSocket::ReuseAddressHint);
        filler.connectToHost(address(at), Form1::PuertoChat);
        ready = filler.waitForConnected(5000);
        if (!ready)
            why = filler.errorString();
    }

    QTcpServer listener;
    QTcpSocket filler;
    bool ready = false;
    QString why;
};

class TestUnansweredConnect : public QObject {
    Q_OBJECT

private slots:
    void windowWaitsThenGivesUpOnClick();
};

void TestUnansweredConnect::windowWaitsThenGivesUpOnClick()
{
    Unanswering hole("127.0.0.193");
    QVERIFY2(hole.ready, qPrintable(hole.why));
    Form1 a(address("127.0.0.192"));
    QVERIFY2(listening(a), "127.0.0.192:49577 is taken by another program");
    a.show();
    QSignalSpy ticks(&captionTimer(a), &QTimer::timeout);

    connectTo(a, QStringLiteral("127.0.0.193"));
    QCOMPARE(envia(a).State(), int(connections::Connecting));
    QCOMPARE(a.windowTitle(), caption(QStringLiteral("127.0.0.192"), "Conectando..."));

    // Past the first two SYN retries (after 1 s and 3 s) it is still waiting,
    // and the window works meanwhile: the caption ticks, a message typed now
    // is answered at once.
    QTest::qWait(3500);
    QVERIFY2(envia(a).State() == connections::Connecting,
             "the unanswering listener answered: the full listen queue did not hold the SYN");
    QVERIFY2(ticks.count() >= 5, qPrintable(QStringLiteral("%1 caption ticks in 3.5 s").arg(ticks.count())));
    typeAndEnter(a, QStringLiteral("hola"));
    QCOMPARE(lineEdit(a, "TxtMensaje")->text(), QStringLiteral("NO ESTAS CONECTADO"));
    QVERIFY(captionComesBack(a, QStringLiteral("127.0.0.192"), "Desconectado"));
    QCOMPARE(envia(a).State(), int(connections::Connecting));

    // Desconectar ends the wait at once.
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QCOMPARE(envia(a).State(), int(connections::Closed));
    QVERIFY(button(a, "CmdConectar")->isEnabled());

    // Nothing of the abandoned attempt comes through later, even once the
    // listener starts accepting: it only ever had the filler.
    hole.listener.resumeAccepting();
    QTRY_VERIFY(hole.listener.hasPendingConnections());
    QTcpSocket *filler = hole.listener.nextPendingConnection();
    QCOMPARE(filler->peerAddress(), address("127.0.0.195"));
    QTest::qWait(1500);
    QVERIFY(!hole.listener.hasPendingConnections());
    QCOMPARE(envia(a).State(), int(connections::Closed));

    // A connect elsewhere works as usual.
    Form1 b(address("127.0.0.194"));
    QVERIFY2(listening(b), "127.0.0.194:49577 is taken by another program");
    connectTo(a, QStringLiteral("127.0.0.194"));
    QTRY_COMPARE(envia(a).State(), int(connections::Connected));
    lineEdit(a, "TxtMensaje")->clear();
    typeAndEnter(a, QStringLiteral("ahora sí"));
    QTRY_COMPARE(entries(b), QStringList{QStringLiteral("ahora sí")});
    QTRY_COMPARE_WITH_TIMEOUT(a.windowTitle(), caption(QStringLiteral("127.0.0.192"), "Conectado"), 2000);
}

QTEST_MAIN(TestUnansweredConnect)
#include "test_unanswered_connect.moc"
