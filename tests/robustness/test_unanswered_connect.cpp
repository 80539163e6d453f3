#include "support/own_network.h"
#include "support/window.h"

#include "connections/lingering_connections.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"

#include <QElapsedTimer>
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
        filler.bind(address("127.0.0.4"), 0, QAbstractSocket::ReuseAddressHint);
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
    void initTestCase() { QVERIFY2(inOwnNetwork(), kOwnNetworkAdvice); }
    void windowWaitsThenGivesUpOnClick();

private:
    // Outlives every window and socket a test makes: they hand it their connections.
    connections::LingeringConnections m_lingering;
};

void TestUnansweredConnect::windowWaitsThenGivesUpOnClick()
{
    Unanswering hole("127.0.0.3");
    QVERIFY2(hole.ready, qPrintable(hole.why));
    Form1 a(m_lingering, address("127.0.0.2"));
    QVERIFY2(listening(a), "the window does not listen");
    a.show();
    QSignalSpy ticks(&captionTimer(a), &QTimer::timeout);
    QElapsedTimer clock;
    clock.start();
    const QHostAddress holeAddress = address("127.0.0.3");

    connectTo(a, QStringLiteral("127.0.0.3"));
    QCOMPARE(envia(a).State(), int(connections::Connecting));
    QCOMPARE(a.windowTitle(), caption(QStringLiteral("127.0.0.2"), "Conectando..."));

    // Past the first two SYN retries (a second or more apart; the kernel
    // counts them) it is still waiting, and the window works meanwhile: the
    // caption ticks, missing no more than two, and a message typed now is
    // answered at once.
    auto synRetries = [&] {
        const auto attempts = socketsTowards(holeAddress, Form1::PuertoChat);
        for (const KernelSocket &attempt : attempts) {
            if (attempt.state == SynSent)
                return attempt.retransmits;
        }
        return -1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(synRetries() >= 2, 10000);
    QVERIFY2(envia(a).State() == connections::Connecting,
             "the unanswering listener answered: the full listen queue did not hold the SYN");
    QVERIFY2(ticks.count() * 500 >= clock.elapsed() - 1000,
             qPrintable(QStringLiteral("%1 caption ticks in %2 ms").arg(ticks.count()).arg(clock.elapsed())));
    typeAndEnter(a, QStringLiteral("hola"));
    QCOMPARE(lineEdit(a, "TxtMensaje")->text(), QStringLiteral("NO ESTAS CONECTADO"));
    QVERIFY(captionComesBack(a, QStringLiteral("127.0.0.2"), "Desconectado"));
    QCOMPARE(envia(a).State(), int(connections::Connecting));

    // Desconectar ends the wait at once.
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QCOMPARE(envia(a).State(), int(connections::Closed));
    QVERIFY(button(a, "CmdConectar")->isEnabled());

    // Nothing of the abandoned attempt comes through later, even once the
    // listener starts accepting: it only ever had the filler, and the kernel
    // holds no other connection, made or being made, towards it.
    hole.listener.resumeAccepting();
    QTRY_VERIFY(hole.listener.hasPendingConnections());
    QTcpSocket *filler = hole.listener.nextPendingConnection();
    QCOMPARE(filler->peerAddress(), address("127.0.0.4"));
    QTRY_COMPARE(socketsTowards(holeAddress, Form1::PuertoChat).size(), size_t(1));
    QCOMPARE(socketsTowards(holeAddress, Form1::PuertoChat).front().localAddress, address("127.0.0.4"));
    processPendingEvents();
    QVERIFY(!hole.listener.hasPendingConnections());
    QCOMPARE(envia(a).State(), int(connections::Closed));

    // A connect elsewhere works as usual.
    Form1 b(m_lingering, address("127.0.0.5"));
    QVERIFY2(listening(b), "the window does not listen");
    connectTo(a, QStringLiteral("127.0.0.5"));
    QTRY_COMPARE(envia(a).State(), int(connections::Connected));
    lineEdit(a, "TxtMensaje")->clear();
    typeAndEnter(a, QStringLiteral("ahora sí"));
    QTRY_COMPARE(entries(b), QStringList{QStringLiteral("ahora sí")});
    QTRY_COMPARE_WITH_TIMEOUT(a.windowTitle(), caption(QStringLiteral("127.0.0.2"), "Conectado"), 2000);
}

QTEST_MAIN(TestUnansweredConnect)
#include "test_unanswered_connect.moc"
