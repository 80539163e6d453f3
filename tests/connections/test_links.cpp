#include "../support/chat_test_support.h"

#include <QMessageBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

using namespace support;
using connections::SocketControl;

namespace {

QHostAddress address(const char *text) { return QHostAddress(QLatin1String(text)); }

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

} // namespace

// The outgoing link and the incoming ones, with whole windows on loopback
// addresses of their own.
class TestLinks : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { raiseOpenFileLimit(4096); }
    void connectFromOneSideIsAnsweredByTheConnectBack();
    void copyThatConnectedOutNeverConnectsBack();
    void copyConnectingToItselfDoesNotConnectBack();
    void reconnectGoesToTheNewAddress();
    void failedConnectLeavesTheControlsLinked();
    void emptyAddressStillRunsTheConnect();
    void thousandConnectionsThenTheNextIsRefused();
};

void TestLinks::connectFromOneSideIsAnsweredByTheConnectBack()
{
    Form1 a(address("127.0.0.2"));
    Form1 b(address("127.0.0.3"));
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

    // A third copy is taken into B's slot 2; B's link still leads to A.
    Form1 c(address("127.0.0.4"));
    connectTo(c, QStringLiteral("127.0.0.3"));
    QTRY_VERIFY(b.slotOcupado(2));
    QCOMPARE(lineEdit(b, "TxtIp")->text(), QStringLiteral("127.0.0.2"));
    QCOMPARE(envia(b).RemoteHost(), QStringLiteral("127.0.0.2"));
    QTest::qWait(200);
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
    QVERIFY(first.listen(address("127.0.0.32"), Form1::PuertoChat));
    Form1 a(address("127.0.0.31"));
    connectTo(a, QStringLiteral("127.0.0.32"));
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QVERIFY(linkControlsUnlinked(a));
    QVERIFY(a.conexionIniciada());
    QCOMPARE(envia(a).State(), int(connections::Closed));

    QTcpSocket peer;
    peer.bind(address("127.0.0.33"), 0);
    peer.connectToHost(address("127.0.0.31"), Form1::PuertoChat);
    QTRY_VERIFY(a.slotOcupado(1));
    QTest::qWait(100);
    QCOMPARE(lineEdit(a, "TxtIp")->text(), QStringLiteral("127.0.0.32"));
    QVERIFY(linkControlsUnlinked(a));
    QCOMPARE(envia(a).State(), int(connections::Closed));
}

void TestLinks::copyConnectingToItselfDoesNotConnectBack()
{
    Form1 a(address("127.0.0.34"));
    connectTo(a, QStringLiteral("127.0.0.34"));
    QTRY_VERIFY(a.slotOcupado(1));
    QTRY_COMPARE(envia(a).State(), int(connections::Connected));
    QTest::qWait(100);
    QCOMPARE(takenSlots(a), 1);
    QCOMPARE(lineEdit(a, "TxtIp")->text(), QStringLiteral("127.0.0.34"));
}

void TestLinks::reconnectGoesToTheNewAddress()
{
    QTcpServer first, second;
    QVERIFY(first.listen(address("127.0.0.36"), Form1::PuertoChat));
    QVERIFY(second.listen(address("127.0.0.37"), Form1::PuertoChat));
    Form1 a(address("127.0.0.35"));

    connectTo(a, QStringLiteral("127.0.0.36"));
    QTRY_VERIFY(first.hasPendingConnections());
    QTcpSocket *toFirst = first.nextPendingConnection();
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QTRY_COMPARE(toFirst->state(), QAbstractSocket::UnconnectedState);

    connectTo(a, QStringLiteral("127.0.0.37"));
    QTRY_VERIFY(second.hasPendingConnections());
    QCOMPARE(second.nextPendingConnection()->peerAddress(), address("127.0.0.35"));
    QVERIFY(!first.hasPendingConnections());
    QVERIFY(linkControlsLinked(a));
}

void TestLinks::failedConnectLeavesTheControlsLinked()
{
    Form1 a(address("127.0.0.38"));
    connectTo(a, QStringLiteral("127.0.0.39")); // nothing listens there
    QTRY_COMPARE(envia(a).State(), int(connections::Failed));
    QTRY_COMPARE_WITH_TIMEOUT(a.windowTitle(), caption(QStringLiteral("127.0.0.38"), "Desconectado"), 1000);
    QVERIFY(linkControlsLinked(a));
    QVERIFY(!a.findChild<QMessageBox *>(QStringLiteral("CuadroFallo")));

    // The user recovers with Desconectar, then Conectar.
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QVERIFY(linkControlsUnlinked(a));
    QCOMPARE(envia(a).State(), int(connections::Closed));
}

void TestLinks::emptyAddressStillRunsTheConnect()
{
    Form1 a(address("127.0.0.40"));
    lineEdit(a, "TxtIp")->clear();
    QTest::mouseClick(button(a, "CmdConectar"), Qt::LeftButton);
    QCOMPARE(envia(a).RemoteHost(), QString());
    QVERIFY(a.conexionIniciada());
    QVERIFY(linkControlsLinked(a));
    QTRY_VERIFY(envia(a).State() != int(connections::Connecting));
    QVERIFY(envia(a).State() != int(connections::Connected));

    lineEdit(a, "TxtIp")->setText(QStringLiteral(" 127.0.0.99 "));
    QTest::mouseClick(button(a, "CmdDesconectar"), Qt::LeftButton);
    QTest::mouseClick(button(a, "CmdConectar"), Qt::LeftButton);
    QCOMPARE(envia(a).RemoteHost(), QStringLiteral(" 127.0.0.99 "));
}

void TestLinks::thousandConnectionsThenTheNextIsRefused()
{
    Form1 b(address("127.0.0.41"));
    lineEdit(b, "TxtIp")->setText(QStringLiteral("127.0.0.42"));
    QTest::mouseClick(button(b, "CmdConectar"), Qt::LeftButton); // no connect-back to the crowd

    std::vector<std::unique_ptr<QTcpSocket>> peers;
    auto connectOne = [&] {
        auto peer = std::make_unique<QTcpSocket>();
        peer->bind(address("127.0.0.43"), 0);
        peer->connectToHost(address("127.0.0.41"), Form1::PuertoChat);
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

QTEST_MAIN(TestLinks)
#include "test_links.moc"
