#include "support/own_network.h"
#include "support/peer_listener.h"
#include "support/raw_peer.h"
#include "support/window.h"

#include "connections/lingering_connections.h"
#include "connections/open_file_limit.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <map>
#include <memory>
#include <vector>

using namespace support;

// Peers that end their connections badly or not at all. In each case the
// window goes on: what arrived is in the transcript, the caption keeps
// ticking, and other peers are still heard.
class TestHostilePeers : public WindowTestCase {
    Q_OBJECT

private slots:
    void resetInTheMiddleOfAMessage();
    void resetWithDataStillInFlight();
    void halfCloseAfterSending();
    void peerThatNeverSends();
    void fiftyPeersComingAndGoing();
    void burstsOfLineBreaksLeaveTheWindowAnswering_data();
    void burstsOfLineBreaksLeaveTheWindowAnswering();
};

void TestHostilePeers::resetInTheMiddleOfAMessage()
{
    Form1 b(m_lingering, address("127.0.0.2"));
    b.show();
    RawPeer peer("127.0.0.3", "127.0.0.2");
    const QString notTaken = whyNotTakenIn(b, peer);
    QVERIFY2(notTaken.isEmpty(), qPrintable(notTaken));

    QVERIFY(peer.send("Esto llega entero, se\xC3\xB1or. "));
    QTRY_COMPARE(shownText(b), QStringLiteral("Esto llega entero, señor. "));
    // The message stops inside the euro sign (E2 82 AC): the peer has shown
    // UTF-8, so its first two bytes are held back, waiting for the third.
    QVERIFY(peer.send("y esto se corta a mitad del \xE2\x82"));
    QTRY_COMPARE(shownText(b), QStringLiteral("Esto llega entero, señor. y esto se corta a mitad del "));
    peer.reset();

    // The held bytes are shown as they are, nothing else appears, and the
    // receiving socket is let go.
    QTRY_COMPARE(shownText(b), QStringLiteral("Esto llega entero, señor. y esto se corta a mitad del \u00E2\u201A"));
    QTRY_VERIFY(recibe(b)(1).State() == connections::PeerClosed || recibe(b)(1).State() == connections::Failed);
    QCOMPARE(b.posTexto(), double(transcriptText(b).size()));

    // Another peer is still heard, and the caption still ticks.
    RawPeer next("127.0.0.3", "127.0.0.2");
    QVERIFY(next.connected());
    QVERIFY(next.send("sigo aqu\xC3\xAD"));
    QTRY_COMPARE(entries(b).last(), QStringLiteral("sigo aquí"));
    QVERIFY(b.slotOcupado(2));
    QCOMPARE(recibe(b)(0).State(), int(connections::Listening));
    QVERIFY(captionComesBack(b, QStringLiteral("127.0.0.2"), "Desconectado"));
}

void TestHostilePeers::resetWithDataStillInFlight()
{
    Form1 b(m_lingering, address("127.0.0.2"));
    RawPeer peer("127.0.0.3", "127.0.0.2");
    const QString notTaken = whyNotTakenIn(b, peer);
    QVERIFY2(notTaken.isEmpty(), qPrintable(notTaken));

    // Far more than one read takes, reset at once: some of it may be lost in
    // the network, but what is shown is the start of what was sent, in order,
    // once, and nothing else.
    QByteArray sent;
    QRandomGenerator random(1808);
    while (sent.size() < 512 * 1024)
        sent += char('a' + random.bounded(26));
    QVERIFY(peer.send(sent));
    peer.reset();
    QTRY_VERIFY(recibe(b)(1).State() == connections::PeerClosed || recibe(b)(1).State() == connections::Failed);
    const QString shown = shownText(b);
    QVERIFY2(QString::fromLatin1(sent).startsWith(shown),
             qPrintable(firstDifference(shown, QString::fromLatin1(sent))));
    QCOMPARE(b.posTexto(), double(transcriptText(b).size()));
    QVERIFY(captionComesBack(b, QStringLiteral("127.0.0.2"), "Desconectado"));
}

void TestHostilePeers::halfCloseAfterSending()
{
    // The peer's own listener takes the window's connect-back.
    PeerListener peerListener("127.0.0.3");
    QVERIFY2(peerListener.listening(), qPrintable(peerListener.errorString()));
    Form1 b(m_lingering, address("127.0.0.2"));
    b.show();
    RawPeer peer("127.0.0.3", "127.0.0.2");
    const QString notTaken = whyNotTakenIn(b, peer);
    QVERIFY2(notTaken.isEmpty(), qPrintable(notTaken));
    QTRY_COMPARE(envia(b).State(), int(connections::Connected));
    QTRY_VERIFY(peerListener.linked());

    // The last character is cut: only its lead byte is sent before the end
    // of the stream, so it can never be completed.
    QVERIFY(peer.send("hasta luego \xC3"));
    peer.shutdownSending();

    // Everything is shown, the cut byte as the character it is on its own.
    QTRY_COMPARE(shownText(b), QStringLiteral("hasta luego \u00C3"));
    QTRY_COMPARE(recibe(b)(1).State(), int(connections::PeerClosed));
    QTRY_VERIFY(peer.closedByOtherSide());

    // The window's own link to that peer is a separate connection and still works.
    QCOMPARE(envia(b).State(), int(connections::Connected));
    typeAndEnter(b, QStringLiteral("adiós"));
    QTRY_COMPARE(peerListener.received, QStringLiteral("adiós").toUtf8());
    QVERIFY(captionComesBack(b, QStringLiteral("127.0.0.2"), "Conectado"));
}

void TestHostilePeers::peerThatNeverSends()
{
    Form1 b(m_lingering, address("127.0.0.2"));
    b.show();
    QSignalSpy ticks(&captionTimer(b), &QTimer::timeout);
    auto silent = std::make_unique<RawPeer>("127.0.0.3", "127.0.0.2");
    const QString notTaken = whyNotTakenIn(b, *silent);
    QVERIFY2(notTaken.isEmpty(), qPrintable(notTaken));

    // It holds its slot and nothing else: other peers are heard meanwhile.
    RawPeer talker("127.0.0.3", "127.0.0.2");
    QVERIFY(talker.connected());
    QVERIFY(talker.send("mientras tanto"));
    QTRY_COMPARE(entries(b), QStringList{QStringLiteral("mientras tanto")});
    const int ticksBefore = ticks.count();
    QTRY_VERIFY(ticks.count() >= ticksBefore + 2); // past two caption ticks
    QCOMPARE(recibe(b)(1).State(), int(connections::Connected));
    QCOMPARE(entries(b), QStringList{QStringLiteral("mientras tanto")});
    QVERIFY(captionComesBack(b, QStringLiteral("127.0.0.2"), "Desconectado"));

    // When it finally leaves without a word, no empty entry is added.
    silent.reset();
    QTRY_COMPARE(recibe(b)(1).State(), int(connections::PeerClosed));
    processPendingEvents();
    QCOMPARE(entries(b), QStringList{QStringLiteral("mientras tanto")});
    QCOMPARE(b.posTexto(), double(transcriptText(b).size()));
}

namespace {

// One of the peers that come and go: connect, say one line, leave, wait a
// little, again, until told to stop. Every few rounds it leaves without a word.
class ComingAndGoing : public QObject {
public:
    ComingAndGoing(int id, int &budget, QStringList &said, quint32 seed)
        : m_id(id)
        , m_budget(budget)
        , m_said(said)
        , m_random(seed)
    {
    }

    void start() { round(); }
    void stop() { m_stopping = true; }
    bool idle() const { return !m_socket && !m_waiting; }
    int rounds() const { return m_rounds; }

private:
    void round()
    {
        m_waiting = false;
        if (m_stopping || m_budget <= 0)
            return;
        --m_budget;
        ++m_rounds;
        m_socket = new QTcpSocket(this);
        m_socket->bind(address("127.0.0.3"), 0, QAbstractSocket::ReuseAddressHint);
        const QByteArray line
            = (m_rounds % 7 == 0) ? QByteArray() : QStringLiteral("p%1r%2·").arg(m_id).arg(m_rounds).toUtf8();
        connect(m_socket, &QTcpSocket::connected, this, [this, line] {
            if (!line.isEmpty()) {
                m_socket->write(line);
                m_said << QString::fromUtf8(line);
            }
            m_socket->disconnectFromHost();
        });
        connect(m_socket, &QTcpSocket::disconnected, this, [this] { leave(); });
        connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
            if (m_socket && m_socket->state() == QAbstractSocket::UnconnectedState)
                leave();
        });
        m_socket->connectToHost(address("127.0.0.2"), Form1::PuertoChat);
    }

    void leave()
    {
        if (!m_socket)
            return;
        m_socket->deleteLater();
        m_socket = nullptr;
        m_waiting = true;
        QTimer::singleShot(200 + m_random.bounded(600), this, [this] { round(); });
    }

    int m_id;
    int &m_budget;
    QStringList &m_said;
    QRandomGenerator m_random;
    QTcpSocket *m_socket = nullptr;
    bool m_waiting = false;
    bool m_stopping = false;
    int m_rounds = 0;
};

} // namespace

void TestHostilePeers::fiftyPeersComingAndGoing()
{
    PeerListener crowdListener("127.0.0.3"); // takes the window's connect-back
    QVERIFY2(crowdListener.listening(), qPrintable(crowdListener.errorString()));
    Form1 b(m_lingering, address("127.0.0.2"));
    QVERIFY2(listening(b), "the window does not listen");
    b.show();
    QSignalSpy ticks(&captionTimer(b), &QTimer::timeout);

    // Slots are never freed, so the whole run stays below the window's
    // 1000 connections.
    int budget = Form1::NumeroSlots - 50;
    QStringList said;
    std::vector<std::unique_ptr<ComingAndGoing>> peers;
    auto made = [&peers] {
        int rounds = 0;
        for (auto &peer : peers)
            rounds += peer->rounds();
        return rounds;
    };
    QElapsedTimer storm;
    storm.start();
    for (int i = 0; i < 50; ++i) {
        peers.push_back(std::make_unique<ComingAndGoing>(i, budget, said, 5000 + i));
        peers.back()->start();
    }
    // The storm lasts for more than 300 connections and ten caption ticks.
    QTRY_VERIFY_WITH_TIMEOUT(made() > 300 && ticks.count() >= 10, 60000);
    const qint64 stormMs = storm.elapsed();
    const int stormTicks = ticks.count();
    for (auto &peer : peers)
        peer->stop();
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(peers.begin(), peers.end(), [](auto &p) { return p->idle(); }), 20000);
    QVERIFY2(made() > 300, qPrintable(QStringLiteral("only %1 connections were made").arg(made())));

    // Every line is there once, and nothing else: each came in one read.
    QTRY_COMPARE_WITH_TIMEOUT(entries(b).size(), said.size(), 20000);
    QStringList shown = entries(b);
    shown.sort();
    said.sort();
    QCOMPARE(shown, said);
    QTRY_VERIFY_WITH_TIMEOUT(b.slotOcupado(made()), 10000);
    QVERIFY(!b.slotOcupado(made() + 1));
    QCOMPARE(b.posTexto(), double(transcriptText(b).size()));

    // The caption kept ticking through the storm, at least once a second, and
    // still does.
    QVERIFY2(stormTicks >= 10 && stormTicks * 1000 >= stormMs,
             qPrintable(QStringLiteral("%1 caption ticks in %2 ms").arg(stormTicks).arg(stormMs)));
    QVERIFY(captionComesBack(b, QStringLiteral("127.0.0.2"), "Conectado"));
    QCOMPARE(recibe(b)(0).State(), int(connections::Listening));
}

void TestHostilePeers::burstsOfLineBreaksLeaveTheWindowAnswering_data()
{
    QTest::addColumn<QByteArray>("burst");
    QTest::newRow("512 KiB of LF") << QByteArray(512 * 1024, '\n');
    QByteArray crlf;
    while (crlf.size() < 1024 * 1024)
        crlf += "\r\n";
    QTest::newRow("1 MiB of CR LF") << crlf;
}

// Half a million empty lines in one burst: all of it is taken in, and the
// window keeps ticking and sending meanwhile and afterwards.
void TestHostilePeers::burstsOfLineBreaksLeaveTheWindowAnswering()
{
    QFETCH(QByteArray, burst);
    PeerListener peerListener("127.0.0.3"); // takes the window's connect-back
    QVERIFY2(peerListener.listening(), qPrintable(peerListener.errorString()));
    Form1 b(m_lingering, address("127.0.0.2"));
    QVERIFY2(listening(b), "the window does not listen");
    b.show();
    QSignalSpy reads(&recibe(b), &connections::SocketArray::DataArrival);
    RawPeer peer("127.0.0.3", "127.0.0.2");
    QVERIFY(peer.connected());
    QTRY_VERIFY(peerListener.linked());
    QTRY_COMPARE(envia(b).State(), int(connections::Connected));

    QVERIFY(peer.send(burst));
    typeAndEnter(b, QStringLiteral("durante"));
    QTRY_COMPARE_WITH_TIMEOUT(peerListener.received, QByteArray("durante"), 20000);
    // Every byte became a character of the transcript: an entry's length plus its break.
    QTRY_COMPARE_WITH_TIMEOUT(transcriptText(b).size() - 2 * (reads.count() + 1), burst.size() + qsizetype(7), 60000);
    QCOMPARE(b.posTexto(), double(transcriptText(b).size()));
    QVERIFY(captionComesBack(b, QStringLiteral("127.0.0.2"), "Conectado"));
    typeAndEnter(b, QStringLiteral(" y después"));
    QTRY_COMPARE_WITH_TIMEOUT(peerListener.received, QStringLiteral("durante y después").toUtf8(), 20000);
}

QTEST_MAIN(TestHostilePeers)
#include "test_hostile_peers.moc"
