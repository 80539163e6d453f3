#include "support/own_network.h"
#include "support/slow_peer.h"
#include "support/window.h"

#include "connections/lingering_connections.h"
#include "connections/open_file_limit.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

using namespace support;
using connections::SocketControl;

namespace {

bool linkControlsLinked(const Form1 &form)
{
    return !lineEdit(form, "TxtIp")->isEnabled() && !button(form, "CmdConectar")->isEnabled()
        && button(form, "CmdDesconectar")->isEnabled();
}

bool linkControlsUnlinked(const Form1 &form)
{
    return lineEdit(form, "TxtIp")->isEnabled() && button(form, "CmdConectar")->isEnabled()
        && !button(form, "CmdDesconectar")->isEnabled();
}

int takenSlots(const Form1 &form)
{
    int taken = 0;
    for (int n = 1; n <= Form1::NumeroSlots; ++n)
        taken += form.slotOcupado(n) ? 1 : 0;
    return taken;
}

QByteArray letters(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char('a' + (i * 7 + i / 26) % 26);
    return bytes;
}

} // namespace

// The outgoing link and the incoming ones, with whole windows on loopback
// addresses of the test's own network namespace.
class TestLinks : public WindowTestCase {
    Q_OBJECT

private slots:
    void connectFromOneSideIsAnsweredByTheConnectBack();
    void copyThatConnectedOutNeverConnectsBack();
    void copyConnectingToItselfDoesNotConnectBack();
    void reconnectGoesToTheNewAddress();
    void failedConnectLeavesTheControlsLinked();
    void emptyAddressStillRunsTheConnect();
    void thousandConnectionsThenTheNextIsRefused();
    void desconectarStillDeliversWhatWasSent();
    void closingTheWindowStillDeliversWhatWasSent();
    void peerThatNeverReadsIsResetAfterTheBound();
};

void TestLinks::connectFromOneSideIsAnsweredByTheConnectBack()
{
    Form1 a(m_lingering, address("127.0.0.2"));
    Form1 b(m_lingering, address("127.0.0.3"));
    a.show();
    b.show();
    b.findChild<QWidget *>(QStringLiteral("TxtTexto"))->setFocus();

    connectTo(a, QStringLiteral("127.0.0.3"));
    QCOMPARE(a.windowTitle(), caption(QStringLiteral("127.0.0.2"), "Conectando..."));
    QVERIFY(a.conexionIniciada());
    QVERIFY(linkControlsLinked(a));
    QCOMPARE(a.focusWidget(), lineEdit(a, "TxtMensaje"));

    // B takes A into slot 1 and connects back, without moving its focus.
    QTRY_VERIFY(b.slotOcupado(1));
    QCOMPARE(lineEdit(b, "TxtIp")->text(), QStringLiteral("127.0.0.2"));
    QVERIFY(b.conexionIniciada());
    QVERIFY(linkControlsLinked(b));
    QCOMPARE(focusedControl(b), QStringLiteral("TxtTexto"));
    QCOMPARE(envia(b).RemotePort(), Form1::PuertoChat);
    QTRY_COMPARE(envia(b).State(), int(connections::Connected));

    // A takes the connect-back into its own slot 1 and does not answer it.
    QTRY_VERIFY(a.slotOcupado(1));
    QCOMPARE(takenSlots(a), 1);
    QCOMPARE(lineEdit(a, "TxtIp")->text(), QStringLiteral("127.0.0.3"));
    QTRY_COMPARE_WITH_TIMEOUT(a.windowTitle(), caption(QStringLiteral("127.0.0.2"), "Conectado"), 1000);
    QTRY_COMPARE_WITH_TIMEOUT(b.windowTitle(), caption(QStringLiteral("127.0.0.3"), "Conectado"), 1000);

    // A third copy is taken into B's slot 2; B's link still leads to A, and
    // nothing connects to C.
    Form1 c(m_lingering, address("127.0.0.4"));
    connectTo(c, QStringLiteral("127.0.0.3"));
    QTRY_VERIFY(b.slotOcupado(2));
    processPendingEvents();
    QCOMPARE(lineEdit(b, "TxtIp")->text(), QStringLiteral("127.0.0.2"));
    QCOMPARE(envia(b).RemoteHost(), QStringLiteral("127.0.0.2"));
    QVERIFY(socketsTowards(address("127.0.0.4"), Form1::PuertoChat).empty());
    QVERIFY(!c.slotOcupado(1));

    // Slots are never freed: after A leaves, the next peer takes slot 3.
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QTRY_COMPARE(recibe(b)(1).State(), int(connections::PeerClosed));
    QVERIFY(b.slotOcupado(1));
    QTest::mouseClick(button(a, "CmdConectar"), Qt::LeftButton);
    QTRY_VERIFY(b.slotOcupado(3));
    QCOMPARE(takenSlots(b), 3);
}

void TestLinks::copyThatConnectedOutNeverConnectsBack()
{
    QTcpServer first;
    QVERIFY(first.listen(address("127.0.0.3"), Form1::PuertoChat));
    Form1 a(m_lingering, address("127.0.0.2"));
    connectTo(a, QStringLiteral("127.0.0.3"));
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QVERIFY(linkControlsUnlinked(a));
    QVERIFY(a.conexionIniciada());
    QCOMPARE(envia(a).State(), int(connections::Closed));

    QTcpSocket peer;
    peer.bind(address("127.0.0.4"), 0);
    peer.connectToHost(address("127.0.0.2"), Form1::PuertoChat);
    QTRY_VERIFY(a.slotOcupado(1));
    processPendingEvents();
    QCOMPARE(lineEdit(a, "TxtIp")->text(), QStringLiteral("127.0.0.3"));
    QVERIFY(linkControlsUnlinked(a));
    QCOMPARE(envia(a).State(), int(connections::Closed));
}

void TestLinks::copyConnectingToItselfDoesNotConnectBack()
{
    Form1 a(m_lingering, address("127.0.0.2"));
    connectTo(a, QStringLiteral("127.0.0.2"));
    QTRY_VERIFY(a.slotOcupado(1));
    QTRY_COMPARE(envia(a).State(), int(connections::Connected));
    processPendingEvents();
    QCOMPARE(socketsTowards(address("127.0.0.2"), Form1::PuertoChat).size(), size_t(1));
    QCOMPARE(takenSlots(a), 1);
    QCOMPARE(lineEdit(a, "TxtIp")->text(), QStringLiteral("127.0.0.2"));
}

void TestLinks::reconnectGoesToTheNewAddress()
{
    QTcpServer first, second;
    QVERIFY(first.listen(address("127.0.0.3"), Form1::PuertoChat));
    QVERIFY(second.listen(address("127.0.0.4"), Form1::PuertoChat));
    Form1 a(m_lingering, address("127.0.0.2"));

    connectTo(a, QStringLiteral("127.0.0.3"));
    QTRY_VERIFY(first.hasPendingConnections());
    QTcpSocket *toFirst = first.nextPendingConnection();
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QTRY_COMPARE(toFirst->state(), QAbstractSocket::UnconnectedState);

    connectTo(a, QStringLiteral("127.0.0.4"));
    QTRY_VERIFY(second.hasPendingConnections());
    QCOMPARE(second.nextPendingConnection()->peerAddress(), address("127.0.0.2"));
    QVERIFY(!first.hasPendingConnections());
    QVERIFY(linkControlsLinked(a));
}

void TestLinks::failedConnectLeavesTheControlsLinked()
{
    Form1 a(m_lingering, address("127.0.0.2"));
    connectTo(a, QStringLiteral("127.0.0.3")); // nothing listens there
    QTRY_COMPARE(envia(a).State(), int(connections::Failed));
    QTRY_COMPARE_WITH_TIMEOUT(a.windowTitle(), caption(QStringLiteral("127.0.0.2"), "Desconectado"), 1000);
    QVERIFY(linkControlsLinked(a));
    QVERIFY(!a.findChild<QMessageBox *>(QStringLiteral("CuadroFallo")));

    // The user recovers with Desconectar, then Conectar.
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QVERIFY(linkControlsUnlinked(a));
    QCOMPARE(envia(a).State(), int(connections::Closed));
}

void TestLinks::emptyAddressStillRunsTheConnect()
{
    Form1 a(m_lingering, address("127.0.0.2"));
    lineEdit(a, "TxtIp")->clear();
    QTest::mouseClick(button(a, "CmdConectar"), Qt::LeftButton);
    QCOMPARE(envia(a).RemoteHost(), QString());
    QVERIFY(a.conexionIniciada());
    QVERIFY(linkControlsLinked(a));
    QTRY_VERIFY(envia(a).State() != int(connections::Connecting));
    QVERIFY(envia(a).State() != int(connections::Connected));

    lineEdit(a, "TxtIp")->setText(QStringLiteral(" 127.0.0.3 "));
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QTest::mouseClick(button(a, "CmdConectar"), Qt::LeftButton);
    QCOMPARE(envia(a).RemoteHost(), QStringLiteral(" 127.0.0.3 "));
}

void TestLinks::thousandConnectionsThenTheNextIsRefused()
{
    Form1 b(m_lingering, address("127.0.0.2"));
    lineEdit(b, "TxtIp")->setText(QStringLiteral("127.0.0.3"));
    QTest::mouseClick(button(b, "CmdConectar"), Qt::LeftButton); // no connect-back to the crowd

    std::vector<std::unique_ptr<QTcpSocket>> peers;
    auto connectOne = [&] {
        auto peer = std::make_unique<QTcpSocket>();
        peer->bind(address("127.0.0.4"), 0);
        peer->connectToHost(address("127.0.0.2"), Form1::PuertoChat);
        peers.push_back(std::move(peer));
    };
    for (int i = 0; i < Form1::NumeroSlots; ++i)
        connectOne();
    QTRY_COMPARE_WITH_TIMEOUT(takenSlots(b), Form1::NumeroSlots, 30000);
    QVERIFY(recibe(b).exists(Form1::NumeroSlots));

    for (int i = 0; i < 3; ++i)
        connectOne();
    for (int i = Form1::NumeroSlots; i < Form1::NumeroSlots + 3; ++i)
        QTRY_COMPARE(peers[i]->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(recibe(b)(0).State(), int(connections::Listening));
    QVERIFY(!recibe(b).exists(Form1::NumeroSlots + 1));

    // Told once, without a modal box.
    auto *box = b.findChild<QMessageBox *>(QStringLiteral("CuadroFallo"));
    QVERIFY(box);
    QCOMPARE(box->text().count(QStringLiteral("límite")), 1);
    QVERIFY(box->windowModality() == Qt::NonModal);

    // The window keeps working: the accepted peers still deliver.
    peers.front()->write("sigue vivo");
    QTRY_VERIFY(b.posTexto() > 0);
    QTRY_COMPARE_WITH_TIMEOUT(b.windowTitle().endsWith(QStringLiteral(" - Desconectado")), true, 1000);
}

// Desconectar frees the link at once, but a long message sent just before
// reaches a slow peer whole, followed by the orderly end of the stream.
void TestLinks::desconectarStillDeliversWhatWasSent()
{
    SlowPeer peer("127.0.0.3");
    QVERIFY(peer.listening());
    peer.readSlowly();
    Form1 a(m_lingering, address("127.0.0.2"));
    connectTo(a, QStringLiteral("127.0.0.3"));
    QTRY_COMPARE(envia(a).State(), int(connections::Connected));

    const QByteArray message = letters(4 * 1024 * 1024);
    lineEdit(a, "TxtMensaje")->setText(QString::fromLatin1(message));
    QTest::keyClick(lineEdit(a, "TxtMensaje"), Qt::Key_Return);
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QCOMPARE(envia(a).State(), int(connections::Closed));
    QVERIFY(linkControlsUnlinked(a));
    QVERIFY(peer.received.size() < message.size());
    // What the peer says meanwhile does not turn the end into a reset.
    QVERIFY(peer.send(QByteArray(64 * 1024, 'x')));

    // The link can be used again at once, while the old connection drains.
    QTest::mouseClick(button(a, "CmdConectar"), Qt::LeftButton);
    QTRY_COMPARE(envia(a).State(), int(connections::Connected));

    QTRY_COMPARE_WITH_TIMEOUT(peer.end, SlowPeer::Fin, 20000);
    QCOMPARE(peer.received.size(), message.size());
    QVERIFY(peer.received == message);
    // The old connection is then let go without a reset.
    QTRY_COMPARE(m_lingering.count(), 0);
    QVERIFY(!peer.wasReset());
}

// What the program does after its window has closed: what was sent still
// goes out, then the program may end.
void TestLinks::closingTheWindowStillDeliversWhatWasSent()
{
    SlowPeer peer("127.0.0.3");
    QVERIFY(peer.listening());
    peer.readSlowly();
    auto a = std::make_unique<Form1>(m_lingering, address("127.0.0.2"));
    connectTo(*a, QStringLiteral("127.0.0.3"));
    QTRY_COMPARE(envia(*a).State(), int(connections::Connected));

    const QByteArray message = letters(4 * 1024 * 1024);
    envia(*a).SendData(QString::fromLatin1(message));
    QVERIFY(connections::finishConnections(*a, m_lingering));
    QCOMPARE(m_lingering.count(), 0);
    a.reset();
    QTRY_COMPARE(peer.end, SlowPeer::Fin);
    QVERIFY(peer.received == message);
}

// A peer that takes nothing in is not waited for for ever; it learns of
// the loss from a reset, not from an orderly end after a cut message. The
// message is more than the kernel's buffers hold (its send buffer grows to
// 4 MiB on Linux), so that some of it is left with the program: where the
// kernel does not count what is unacknowledged (Windows), what it holds is
// left to it with an ordinary close.
void TestLinks::peerThatNeverReadsIsResetAfterTheBound()
{
    auto &lingering = m_lingering;
    const auto bound = std::chrono::milliseconds(1000);
    lingering.setGiveUpAfter(bound);
    SlowPeer peer("127.0.0.3");
    QVERIFY(peer.listening());
    QElapsedTimer clock;
    {
        SocketControl link(m_lingering);
        link.setBindAddress(address("127.0.0.2"));
        link.setRemoteHost(QStringLiteral("127.0.0.3"));
        link.setRemotePort(Form1::PuertoChat);
        link.Connect();
        QTRY_COMPARE(link.State(), int(connections::Connected));
        link.SendData(QString::fromLatin1(letters(16 * 1024 * 1024)));
        clock.start();
    } // destroyed with its control
    QTRY_VERIFY_WITH_TIMEOUT(peer.wasReset(), 10000);
    lingering.setGiveUpAfter(connections::LingeringConnections::DefaultGiveUp);
    QVERIFY2(clock.elapsed() >= bound.count(), qPrintable(QString::number(clock.elapsed())));
}

QTEST_MAIN(TestLinks)
#include "test_links.moc"
