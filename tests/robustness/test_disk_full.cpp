// A disk without room for the transcript's temporary file: the window stops
// reading from its peers, says so once, and once the disk has room again
// reads on, every byte the peer sent arriving in order. The disk is a small
// file system in memory (tmpfs), mounted by the test in a mount namespace of
// its own, so that no real disk fills and nothing outside the test sees it.
#include "support/own_network.h"
#include "support/peer_listener.h"
#include "support/window.h"

#include "connections/lingering_connections.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "rich_text/rich_text_box.h"
#include "rich_text/text_memory.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>

using namespace support;

namespace {

constexpr qsizetype kTotalBytes = 24 * 1024 * 1024;

// Printable ASCII without line breaks, the same for the sender and the check.
QByteArray sentText()
{
    QByteArray out(kTotalBytes, Qt::Uninitialized);
    quint32 x = 12345;
    for (char &c : out) {
        x = x * 1103515245u + 12345u;
        c = char(0x20 + (x >> 16) % 0x5F);
    }
    return out;
}

// The peer, a process of its own so that it keeps writing while the window
// does not read; it ends the connection once everything is written.
int runSender(const QHostAddress &from, const QHostAddress &to)
{
    const QByteArray sent = sentText();
    QTcpSocket peer;
    peer.bind(from, 0, QAbstractSocket::ReuseAddressHint);
    peer.connectToHost(to, Form1::PuertoChat);
    if (!peer.waitForConnected(5000))
        return 2;
    peer.write(sent);
    QObject::connect(&peer, &QTcpSocket::bytesWritten, &peer, [&] {
        if (peer.bytesToWrite() == 0)
            peer.disconnectFromHost();
    });
    QObject::connect(&peer, &QTcpSocket::disconnected, &QCoreApplication::quit);
    QTimer::singleShot(300000, &QCoreApplication::quit); // never outlives the test
    QCoreApplication::exec();
    return peer.bytesToWrite() == 0 ? 0 : 1;
}

// Takes all the room a file system has left, in a file of its own.
bool fill(const QString &path)
{
    QFile filler(path);
    if (!filler.open(QIODevice::WriteOnly))
        return false;
    const QByteArray block(64 * 1024, 'x');
    while (filler.write(block) == block.size() && filler.flush()) { }
    return true;
}

QString failureText(const Form1 &window)
{
    const auto *box = window.findChild<QMessageBox *>(QStringLiteral("CuadroFallo"));
    return box && box->isVisible() ? box->text() : QString();
}

} // namespace

class TestDiskFull : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void readingWaitsForRoomAndNothingIsLost();
    void cleanupTestCase();

private:
    // Outlives every window and socket the test makes: they hand it their connections.
    connections::LingeringConnections m_lingering;
    QTemporaryDir m_mountPoint;
    bool m_mounted = false;
};

void TestDiskFull::initTestCase()
{
    QVERIFY2(inOwnNetwork(), kOwnNetworkAdvice);
    if (::geteuid() != 0)
        QSKIP("mounting a file system of the test's own needs root");
    QVERIFY(m_mountPoint.isValid());
    QCOMPARE(::unshare(CLONE_NEWNS), 0);
    // What the test mounts stays in its own namespace.
    QCOMPARE(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    QCOMPARE(::mount("tmpfs", QFile::encodeName(m_mountPoint.path()).constData(), "tmpfs", 0, "size=64m,mode=0700"), 0);
    m_mounted = true;
    qputenv("TMPDIR", QFile::encodeName(m_mountPoint.path()));
}

void TestDiskFull::cleanupTestCase()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_mountPoint.path()).constData(), MNT_DETACH);
}

void TestDiskFull::readingWaitsForRoomAndNothingIsLost()
{
    PeerListener peerListener("127.0.0.3"); // takes the window's connect-back
    QVERIFY2(peerListener.listening(), qPrintable(peerListener.errorString()));
    Form1 b(m_lingering, address("127.0.0.2"));
    QVERIFY2(listening(b), "the window does not listen");
    // A few hundred kilobytes of transcript in memory at most.
    transcript(b).model().memory()->setRecentText(256 * 1024);
    b.show();
    const QString filler = QDir(m_mountPoint.path()).filePath(QStringLiteral("relleno"));
    QVERIFY(fill(filler));

    QProcess sender;
    sender.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--sender"), QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.2")});
    QVERIFY(sender.waitForStarted(5000));

    // Told once, and reading stops: the transcript stands still while the
    // sender still has most of its text to write.
    QTRY_VERIFY_WITH_TIMEOUT(failureText(b).contains(QStringLiteral("No queda espacio en el disco")), 60000);
    QVERIFY(recibe(b)(1).readingPaused());
    const qint64 stopped = transcript(b).text().length();
    QTest::qWait(2000);
    QCOMPARE(transcript(b).text().length(), stopped);
    QVERIFY(stopped < kTotalBytes / 2);
    QCOMPARE(sender.state(), QProcess::Running);
    QCOMPARE(failureText(b).count(QStringLiteral("No queda espacio")), 1);

    // Room again: reading goes on, and everything arrives, once, in order.
    QVERIFY(QFile::remove(filler));
    QTRY_VERIFY_WITH_TIMEOUT(failureText(b).contains(QStringLiteral("Vuelve a haber espacio")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(sender.state() == QProcess::NotRunning, 240000);
    QCOMPARE(sender.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(recibe(b)(1).State(), int(connections::PeerClosed), 120000);
    const QString shown = shownText(b);
    const QString expected = QString::fromLatin1(sentText());
    QVERIFY2(shown == expected, qPrintable(firstDifference(shown, expected)));
    QCOMPARE(failureText(b).count(QStringLiteral("No queda espacio")), 1);
    QVERIFY(transcript(b).model().document().spilledLength() > kTotalBytes / 2);
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--sender") == 0) {
        QCoreApplication app(argc, argv);
        return runSender(QHostAddress(QString::fromLatin1(argv[2])), QHostAddress(QString::fromLatin1(argv[3])));
    }
    QApplication app(argc, argv);
    TestDiskFull test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_disk_full.moc"
