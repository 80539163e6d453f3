#include "support/peer_listener.h"
#include "support/window.h"

#include "connections/lingering_connections.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"

#include <QApplication>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <functional>

using namespace support;

namespace {

constexpr qsizetype kTotalBytes = 20 * 1024 * 1024;
constexpr quint32 kSeed = 20240521;

// Printable text without line breaks: ASCII (RTF's own \ { } among it) and
// characters of two, three and four UTF-8 bytes.
QByteArray printableText(qsizetype bytes, QRandomGenerator &random)
{
    static const char *const wide[] = {"ñ", "á", "¿", "ß", "€", "中", "─", "😀", "𝄞"};
    QByteArray out;
    out.reserve(bytes + 4);
    while (out.size() < bytes) {
        if (random.bounded(8) == 0)
            out += wide[random.bounded(9)];
        else
            out += char(0x20 + random.bounded(0x5F));
    }
    return out;
}

// The sending peer, run as a second process of this same executable so that
// it keeps sending while the window's event loop is busy, as a remote peer
// does. Chunks of random size cut characters anywhere; now and then it pauses
// for up to 20 ms, well under the window's wait for the rest of a split
// character. It ends the connection in order once everything is written.
int runSender(const QHostAddress &from, const QHostAddress &to)
{
    QRandomGenerator random(kSeed);
    const QByteArray sent = printableText(kTotalBytes, random);
    QTcpSocket peer;
    peer.bind(from, 0, QAbstractSocket::ReuseAddressHint);
    peer.connectToHost(to, Form1::PuertoChat);
    if (!peer.waitForConnected(5000))
        return 2;
    qsizetype at = 0;
    int pauses = 0;
    bool paused = false;
    std::function<void()> write = [&] {
        paused = false;
        while (at < sent.size() && peer.bytesToWrite() < 256 * 1024) {
            const qsizetype n = std::min<qsizetype>(sent.size() - at, 1 + random.bounded(96 * 1024));
            peer.write(sent.constData() + at, n);
            at += n;
            if (random.bounded(10) == 0) {
                paused = true;
                ++pauses;
                QTimer::singleShot(random.bounded(21), &peer, write);
                return;
            }
        }
        if (at == sent.size())
            peer.disconnectFromHost();
    };
    QObject::connect(&peer, &QTcpSocket::bytesWritten, &peer, [&] {
        if (!paused)
            write();
    });
    QObject::connect(&peer, &QTcpSocket::disconnected, &QCoreApplication::quit);
    QTimer::singleShot(600000, &QCoreApplication::quit); // never outlives the test
    write();
    QCoreApplication::exec();
    std::printf("sent=%lld pauses=%d\n", static_cast<long long>(at), pauses);
    return at == sent.size() ? 0 : 1;
}

} // namespace

// Every byte a peer sends is shown once and in order, however the stream is
// cut.
class TestByteAccounting : public QObject {
    Q_OBJECT

private slots:
    void twentyMebibytesInRandomChunks();

private:
    // Outlives every window and socket a test makes: they hand it their connections.
    connections::LingeringConnections m_lingering;
};

void TestByteAccounting::twentyMebibytesInRandomChunks()
{
    PeerListener peerListener("127.0.0.3"); // takes the window's connect-back
    QVERIFY2(peerListener.listening(), qPrintable(peerListener.errorString()));
    Form1 b(m_lingering, address("127.0.0.2"));
    QVERIFY2(listening(b), "the window does not listen");
    b.show();

    QProcess sender;
    sender.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--sender"), QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.2")});
    QVERIFY(sender.waitForStarted(5000));

    QRandomGenerator random(kSeed);
    const QString expected = QString::fromUtf8(printableText(kTotalBytes, random));

    // The sender ends once its last bytes are in the network; the window has
    // shown everything when it sees the end of the stream and lets go of the
    // receiving socket.
    QTRY_VERIFY_WITH_TIMEOUT(sender.state() == QProcess::NotRunning, 600000);
    QCOMPARE(sender.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sender.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(recibe(b)(1).State(), int(connections::PeerClosed), 300000);
    const QString shown = shownText(b);
    QVERIFY2(shown == expected, qPrintable(firstDifference(shown, expected)));
    QCOMPARE(b.posTexto(), double(transcriptText(b).size()));
    QVERIFY(entries(b).size() > 1);
    const QByteArray report = sender.readAllStandardOutput();
    QVERIFY2(report.startsWith("sent=" + QByteArray::number(expected.toUtf8().size()) + ' '), report.constData());
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--sender") == 0) {
        QCoreApplication app(argc, argv);
        return runSender(QHostAddress(QString::fromLatin1(argv[2])), QHostAddress(QString::fromLatin1(argv[3])));
    }
    QApplication app(argc, argv);
    TestByteAccounting test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_byte_accounting.moc"
