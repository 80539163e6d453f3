#include "support/own_network.h"

#include "connections/chat_port.h"
#include "connections/lingering_connections.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"

#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

using namespace connections;

namespace {

const QHostAddress kServer(QStringLiteral("127.0.0.1"));
const QHostAddress kClient(QStringLiteral("127.0.0.2"));
constexpr int kPort = connections::PuertoChat;

// A listening control array whose requests are accepted into element 1, 2, ...
struct Listener {
    SocketArray array;
    int next = 1;

    explicit Listener(LingeringConnections &lingering)
        : array(lingering, kServer)
    {
        array(0).setLocalPort(kPort);
        array(0).Listen();
        QObject::connect(&array, &SocketArray::ConnectionRequest, [this](int, qint32 id) {
            array.Load(next);
            array(next++).Accept(id);
        });
    }

    // From now on every element's reads are kept in `reads`, in order.
    QStringList reads;
    void keepReads()
    {
        QObject::connect(&array, &SocketArray::DataArrival, [this](int index, qint32) {
            QString part;
            array(index).GetData(part);
            reads << part;
        });
    }
};

QTcpSocket *connectedClient(QObject *parent)
{
    auto *client = new QTcpSocket(parent);
    client->bind(kClient, 0);
    client->connectToHost(kServer, kPort);
    return client;
}

} // namespace

// The socket layer on its own, over real loopback sockets.
class TestSocketControl : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(support::inOwnNetwork(), support::kOwnNetworkAdvice); }
    void outgoingLinkReportsItsStates();
    void acceptedConnectionCarriesDataAndItsPeerAddress();
    void requestLeftUnacceptedIsRefused();
    void requestsBelongToTheArrayThatRaisedThem();
    void peerThatLeavesIsReleasedButEverythingItSentIsRead();
    void splitCharacterIsWaitedForThenShown();
    void charactersTheNetworkHoldsBackArriveWhole();
    void localAddressIsTheDefaultRoutesSource();
    void endlessPeerLeavesTheEventLoopRunning();
    void unreadDataIsBoundedPerSocket();
    void refusedOperationsThrowSpanishErrors();

private:
    // Outlives every window and socket a test makes: they hand it their connections.
    connections::LingeringConnections m_lingering;
};

void TestSocketControl::outgoingLinkReportsItsStates()
{
    Listener listener(m_lingering);
    QCOMPARE(listener.array(0).State(), int(Listening));

    SocketControl link(m_lingering);
    link.setBindAddress(kClient);
    QCOMPARE(link.State(), int(Closed));
    QCOMPARE(link.LocalIP(), QStringLiteral("127.0.0.2"));
    link.setRemoteHost(kServer.toString());
    link.setRemotePort(kPort);
    link.Connect();
    QCOMPARE(link.State(), int(Connecting));
    QTRY_COMPARE(link.State(), int(Connected));
    QTRY_VERIFY(listener.array.exists(1));

    link.Close();
    QCOMPARE(link.State(), int(Closed));
    QTRY_COMPARE(listener.array(1).State(), int(PeerClosed));

    // Nothing listens at this address: the connect fails later, not at once.
    link.setRemoteHost(QStringLiteral("127.0.0.3"));
    link.Connect();
    QTRY_COMPARE(link.State(), int(Failed));
}

void TestSocketControl::acceptedConnectionCarriesDataAndItsPeerAddress()
{
    Listener listener(m_lingering);
    QString requester;
    connect(&listener.array, &SocketArray::ConnectionRequest, this,
            [&](int index, qint32) { requester = listener.array(index).RemoteHostIP(); });
    QSignalSpy arrivals(&listener.array, &SocketArray::DataArrival);

    SocketControl link(m_lingering);
    link.setBindAddress(kClient);
    link.setRemoteHost(kServer.toString());
    link.setRemotePort(kPort);
    link.Connect();
    QTRY_COMPARE(link.State(), int(Connected));
    link.SendData(QStringLiteral("¿Qué tal, señor? 😀"));

    QTRY_VERIFY(!arrivals.isEmpty());
    QCOMPARE(requester, QStringLiteral("127.0.0.2"));
    QCOMPARE(arrivals.first().at(0).toInt(), 1);
    QString text;
    listener.array(1).GetData(text);
    QCOMPARE(text, QStringLiteral("¿Qué tal, señor? 😀"));
    QCOMPARE(listener.array(1).RemoteHostIP(), QStringLiteral("127.0.0.2"));
}

void TestSocketControl::requestLeftUnacceptedIsRefused()
{
    SocketControl listener(m_lingering);
    listener.setBindAddress(kServer);
    listener.setLocalPort(kPort);
    listener.Listen();
    QSignalSpy requests(&listener, &SocketControl::ConnectionRequest);

    QTcpSocket *client = connectedClient(this);
    QSignalSpy closed(client, &QTcpSocket::disconnected);
    QTRY_COMPARE(requests.size(), 1);
    QTRY_COMPARE(closed.size(), 1);
    QCOMPARE(listener.State(), int(Listening));
}

// Two windows in one process keep their requests apart: an element of
// another array cannot take one, the raising array's own element can.
void TestSocketControl::requestsBelongToTheArrayThatRaisedThem()
{
    SocketArray array(m_lingering, kServer);
    array(0).setLocalPort(kPort);
    array(0).Listen();
    array.Load(1);
    SocketArray other(m_lingering, kServer);
    other.Load(1);
    bool refusedElsewhere = false;
    connect(&array, &SocketArray::ConnectionRequest, this, [&](int, qint32 id) {
        try {
            other(1).Accept(id);
        } catch (const SocketError &) {
            refusedElsewhere = true;
        }
        array(1).Accept(id);
    });
    connectedClient(this);
    QTRY_COMPARE(array(1).State(), int(Connected));
    QVERIFY(refusedElsewhere);
    QCOMPARE(other(1).State(), int(Closed));
}

void TestSocketControl::peerThatLeavesIsReleasedButEverythingItSentIsRead()
{
    Listener listener(m_lingering);
    QString received;
    connect(&listener.array, &SocketArray::DataArrival, this, [&](int index, qint32) {
        QString part;
        listener.array(index).GetData(part);
        received += part;
    });

    QTcpSocket *client = connectedClient(this);
    QVERIFY(client->waitForConnected(5000));
    client->write("adi\xC3\xB3s");
    client->write("\xE2\x82"); // half of a euro sign, never finished
    client->disconnectFromHost();

    QTRY_COMPARE(listener.array.exists(1) ? listener.array(1).State() : -1, int(PeerClosed));
    QTRY_COMPARE(received, QStringLiteral("adiósâ‚"));
    QVERIFY(listener.array(1).findChildren<QTcpSocket *>().isEmpty());
}

void TestSocketControl::splitCharacterIsWaitedForThenShown()
{
    Listener listener(m_lingering);
    listener.keepReads();
    QStringList &reads = listener.reads;
    QTcpSocket *client = connectedClient(this);
    QVERIFY(client->waitForConnected(5000));

    // A legacy peer's read that ends in an accented letter is one text.
    client->write("caf\xE9");
    QTRY_COMPARE(reads, QStringList{QStringLiteral("café")});

    // Once the connection has shown UTF-8, a cut character waits for its
    // other bytes, even for a second.
    client->write("ni\xC3\xB1o, \xC3");
    QTRY_COMPARE(reads.size(), 2);
    QCOMPARE(reads.last(), QStringLiteral("niño, "));
    QTimer::singleShot(1000, client, [client] {
        client->write("\xB1"
                      "a");
    });
    QTRY_COMPARE(reads.size(), 3);
    QCOMPARE(reads.last(), QStringLiteral("ña"));

    // A read of nothing but the start of a character raises no event of its
    // own: the bytes have come in and wait in the socket.
    const QTcpSocket *accepted = listener.array(1).findChild<QTcpSocket *>();
    QVERIFY(accepted);
    client->write("\xE2\x82");
    QTRY_COMPARE(accepted->bytesAvailable(), 2);
    QCOMPARE(reads.size(), 3);
    client->write("\xAC");
    QTRY_COMPARE(reads.size(), 4);
    QCOMPARE(reads.last(), QStringLiteral("€"));

    // Bytes that never come are not waited for for good.
    client->write("est\xE1");
    QTRY_COMPARE(reads.size(), 5);
    QCOMPARE(reads.last(), QStringLiteral("est"));
    QTRY_COMPARE_WITH_TIMEOUT(reads.size(), 6, 10000);
    QCOMPARE(reads.last(), QStringLiteral("á"));

    // A fresh connection's first read may end inside a character because
    // the network cut the message there: the rest is waited for briefly.
    reads.clear();
    QTcpSocket *fresh = connectedClient(this);
    QVERIFY(fresh->waitForConnected(5000));
    QTRY_VERIFY(listener.array.exists(2));
    const QTcpSocket *freshAccepted = listener.array(2).findChild<QTcpSocket *>();
    fresh->write("Se\xC3");
    QVERIFY(fresh->flush());
    QDeadlineTimer arrived(5000);
    while (freshAccepted->bytesAvailable() < 3 && reads.isEmpty() && !arrived.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    fresh->write("\xB1or");
    QTRY_COMPARE(reads, QStringList{QStringLiteral("Señor")});
}

// The rest of a character can come as late as a segment sent again on
// Windows (about 300 ms), and a peer may cut every write inside one: a fresh
// connection's first read waits for the rest, and once UTF-8 has shown, the
// rest of each cut character is held for. A legacy peer's trailing accent
// waits that long too, until the peer has shown a byte that cannot be UTF-8.
void TestSocketControl::charactersTheNetworkHoldsBackArriveWhole()
{
    Listener listener(m_lingering);
    listener.keepReads();
    QStringList &reads = listener.reads;
    // A new peer, taken into element `index`: its socket and the accepted one.
    struct Peer {
        QTcpSocket *own = nullptr;
        const QTcpSocket *accepted = nullptr;
    };
    auto freshPeer = [&](int index) {
        Peer peer{connectedClient(this)};
        peer.own->waitForConnected(5000);
        if (QTest::qWaitFor([&] { return listener.array.exists(index); }, 5000))
            peer.accepted = listener.array(index).findChild<QTcpSocket *>();
        return peer;
    };
    // What the program has not read yet sits in its socket once it has come.
    auto sitsInTheSocket = [](const QTcpSocket *accepted, qint64 bytes) {
        QDeadlineTimer deadline(5000);
        while (accepted->bytesAvailable() < bytes && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        return accepted->bytesAvailable() == bytes;
    };

    const Peer late = freshPeer(1);
    QVERIFY(late.accepted);
    late.own->write("Se\xC3");
    QVERIFY(sitsInTheSocket(late.accepted, 3));
    QTest::qWait(300);
    late.own->write("\xB1or");
    QTRY_COMPARE(reads, QStringList{QStringLiteral("Señor")});

    reads.clear();
    const Peer cutting = freshPeer(2);
    for (int i = 0; i < 10; ++i) {
        cutting.own->write(i == 0 ? "caf\xC3" : "\xA9 caf\xC3");
        QTest::qWait(60);
    }
    cutting.own->write("\xA9");
    const QString tenTimes = QStringLiteral("café café café café café café café café café café");
    QTRY_COMPARE(reads.join(QString()), tenTimes);

    reads.clear();
    const Peer legacy = freshPeer(3);
    QVERIFY(legacy.accepted);
    legacy.own->write("caf\xE9");
    QVERIFY(sitsInTheSocket(legacy.accepted, 4));
    QTest::qWait(SocketControl::OpenCharacterWaitMs / 2);
    QVERIFY(reads.isEmpty());
    QTRY_COMPARE(reads, QStringList{QStringLiteral("café")});
    legacy.own->write("\xBFqu\xE9 tal?");
    QTRY_COMPARE(reads.size(), 2);
    // Windows-1252 shown: a trailing accent no longer waits in the socket.
    legacy.own->write("s\xED");
    QDeadlineTimer deadline(5000);
    while (reads.size() < 3 && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QCOMPARE(legacy.accepted->bytesAvailable(), 0);
    }
    QCOMPARE(reads.last(), QStringLiteral("sí"));
}

// The caption's address: where this machine sends from on its default route
// (own_network.sh gives this test's namespace two interfaces, the route on
// the second), whichever interface comes first; a bound control tells its own.
void TestSocketControl::localAddressIsTheDefaultRoutesSource()
{
    QVERIFY2(qEnvironmentVariableIsSet("VZ_OWN_NETWORK_ROUTED"), "CTest gives this test a default route");
    SocketControl unbound(m_lingering);
    QCOMPARE(unbound.LocalIP(), QStringLiteral("10.231.9.7"));
    SocketControl bound(m_lingering);
    bound.setBindAddress(kClient);
    QCOMPARE(bound.LocalIP(), QStringLiteral("127.0.0.2"));
}

// A peer that sends as fast as it can, from a thread of its own, does not
// stop the event loop: what the program posts to itself (paints, for one)
// still runs while the bytes keep coming.
void TestSocketControl::endlessPeerLeavesTheEventLoopRunning()
{
    Listener listener(m_lingering);
    qint64 received = 0;
    connect(&listener.array, &SocketArray::DataArrival, this, [&](int index, qint32) {
        QString part;
        listener.array(index).GetData(part);
        received += part.size();
    });
    // The peer sends until the posted call has run (at most 30 s), however
    // fast or slow the machine.
    std::atomic<bool> sending = true;
    std::atomic<bool> stop = false;
    std::atomic<qint64> sent = 0;
    std::thread peer([&] {
        QTcpSocket socket;
        socket.bind(kClient, 0);
        socket.connectToHost(kServer, kPort);
        const QByteArray chunk(1024 * 1024, 'x');
        QDeadlineTimer limit(30000);
        while (!stop && !limit.hasExpired() && socket.waitForConnected(5000)) {
            socket.write(chunk);
            while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(5000)) { }
            sent += chunk.size();
        }
        sending = false;
    });
    struct Joined {
        std::atomic<bool> &stop;
        std::thread &thread;
        ~Joined()
        {
            stop = true;
            thread.join();
        }
    } joined{stop, peer};
    QTRY_VERIFY(received > 0 || !sending);
    bool postedCallRan = false, ranWhileSending = false;
    QMetaObject::invokeMethod(
        this,
        [&] {
            postedCallRan = true;
            ranWhileSending = sending;
            stop = true;
        },
        Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(postedCallRan, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!sending, 60000);
    QVERIFY(ranWhileSending);
    QTRY_COMPARE(received, sent.load());
}

void TestSocketControl::unreadDataIsBoundedPerSocket()
{
    Listener listener(m_lingering);
    QByteArray received;
    qint64 largestRead = 0;
    // A zero timer ticks once per turn of the event loop.
    int readsThisTurn = 0, mostReadsInATurn = 0;
    QTimer turns;
    connect(&turns, &QTimer::timeout, this, [&] { readsThisTurn = 0; });
    turns.start(0);
    connect(&listener.array, &SocketArray::DataArrival, this, [&](int index, qint32) {
        QString part;
        listener.array(index).GetData(part);
        largestRead = std::max<qint64>(largestRead, part.size());
        received += part.toLatin1();
        mostReadsInATurn = std::max(mostReadsInATurn, ++readsThisTurn);
    });
    QTcpSocket *client = connectedClient(this);
    QVERIFY(client->waitForConnected(5000));
    const QByteArray payload(4 * 1024 * 1024, 'x');
    client->write(payload);

    QTRY_COMPARE_WITH_TIMEOUT(received.size(), payload.size(), 20000);
    QVERIFY(largestRead <= SocketControl::readBufferBytes());
    QVERIFY(received == payload);
    // What has already reached the host is read in one turn, a read at a
    // time, so that the window shows a flood once per turn, not once per
    // read (a pass of Windows' event loop costs too much for one read each).
    QVERIFY2(mostReadsInATurn > 1, qPrintable(QStringLiteral("%1 read per turn at most").arg(mostReadsInATurn)));
}

void TestSocketControl::refusedOperationsThrowSpanishErrors()
{
    Listener listener(m_lingering);
    SocketControl second(m_lingering);
    second.setBindAddress(kServer);
    second.setLocalPort(kPort);
    try {
        second.Listen();
        QFAIL("listening twice on one port must be refused");
    } catch (const SocketError &error) {
        QVERIFY2(error.text().contains(QString::number(kPort)), qPrintable(error.text()));
        QVERIFY2(error.text().contains(QStringLiteral("en uso")), qPrintable(error.text()));
    }
    QVERIFY_THROWS_EXCEPTION(SocketError, listener.array(1));
    QVERIFY_THROWS_EXCEPTION(SocketError, listener.array.Load(0));
    QVERIFY_THROWS_EXCEPTION(SocketError, listener.array.Load(SocketArray::MaxIndex + 1));
    listener.array.Load(7);
    QVERIFY_THROWS_EXCEPTION(SocketError, listener.array(7).Accept(123456));
    QVERIFY_THROWS_EXCEPTION(SocketError, listener.array(7).SendData(QStringLiteral("x")));
    QVERIFY_THROWS_EXCEPTION(SocketError, second.setRemotePort(70000));
}

QTEST_GUILESS_MAIN(TestSocketControl)
#include "test_socket_control.moc"
