// A slow disk that fills under the transcript's temporary file: the window
// stops reading from its peers, says so once, still sends what the user
// types and takes in new peers; once the disk has room again it reads on
// within two seconds, every byte the peers sent arriving in order. Then no
// folder at all where the file can be made: the window says which and why.
// The disk is a small ext4 image mounted `sync` (every write waits for the
// device), and the folders are made unusable by read-only mounts, all in a
// mount namespace of the test's own, so that nothing outside it sees them.
#include "support/own_network.h"
#include "support/peer_listener.h"
#include "support/raw_peer.h"
#include "support/window.h"

#include "connections/lingering_connections.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "rich_text/rich_text_box.h"
#include "rich_text/text_memory.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
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
// What a new peer sends while the window waits, and what the user types.
const QByteArray kLatePeer = "NUEVO-PAR-QUE-ESPERA-SU-TURNO";
const QString kTyped = QStringLiteral("escrito-mientras-espera");

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

// Takes the room a file system has left but `leave` bytes, in a file of its own.
bool fill(const QString &path, qint64 leave)
{
    QFile filler(path);
    if (!filler.open(QIODevice::WriteOnly))
        return false;
    const QByteArray block(64 * 1024, 'x');
    while (filler.write(block) == block.size() && filler.flush()) { }
    filler.resize(std::max<qint64>(0, filler.size() - leave));
    return true;
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.start(program, arguments);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The transcript with the CR LF before each entry, the new peer's entry and
// the typed line taken out: the flood alone, if nothing was lost.
QString floodShown(const Form1 &window)
{
    QString shown = transcript(window).text().toString();
    shown.remove(QString::fromLatin1(kLatePeer));
    shown.remove(kTyped);
    return shown.remove(QStringLiteral("\r\n"));
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
    void withoutAFolderTheWindowSaysWhich();
    void cleanupTestCase();

private:
    void floodAFillingDisk(int run);

    // Outlives every window and socket the test makes: they hand it their connections.
    connections::LingeringConnections m_lingering;
    QTemporaryDir m_mountPoint;
    QTemporaryDir m_images;
    bool m_mounted = false;
};

void TestDiskFull::initTestCase()
{
    QVERIFY2(inOwnNetwork(), kOwnNetworkAdvice);
    if (::geteuid() != 0)
        QSKIP("mounting a file system of the test's own needs root");
    QVERIFY(m_mountPoint.isValid() && m_images.isValid());
    QCOMPARE(::unshare(CLONE_NEWNS), 0);
    // What the test mounts stays in its own namespace.
    QCOMPARE(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    const QString image = QDir(m_images.path()).filePath(QStringLiteral("disco.img"));
    QVERIFY(run(QStringLiteral("truncate"), {QStringLiteral("-s"), QStringLiteral("64M"), image}));
    QVERIFY(run(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"), image}));
    // A loop device, where the machine has them; a file system in memory else.
    m_mounted
        = run(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("loop,sync"), image, m_mountPoint.path()});
    if (!m_mounted) {
        qWarning("no loop device here: the disk is a tmpfs, not slow");
        QCOMPARE(::mount("tmpfs", QFile::encodeName(m_mountPoint.path()).constData(), "tmpfs", 0, "size=64m,mode=0700"),
                 0);
        m_mounted = true;
    }
    qputenv("TMPDIR", QFile::encodeName(m_mountPoint.path()));
}

void TestDiskFull::cleanupTestCase()
{
    for (const char *folder : {"/tmp", "/var/tmp"})
        ::umount2(folder, MNT_DETACH);
    if (m_mounted)
        ::umount2(QFile::encodeName(m_mountPoint.path()).constData(), MNT_DETACH);
}

// Runs enough times to catch a race in the suite; VZ_DISK_FULL_RUNS asks for
// more (tools/soak.sh).
void TestDiskFull::readingWaitsForRoomAndNothingIsLost()
{
    const int runs
        = qEnvironmentVariableIsSet("VZ_DISK_FULL_RUNS") ? qEnvironmentVariableIntValue("VZ_DISK_FULL_RUNS") : 3;
    for (int n = 0; n < runs && !QTest::currentTestFailed(); ++n)
        floodAFillingDisk(n);
}

void TestDiskFull::floodAFillingDisk(int runNumber)
{
    qInfo("run %d", runNumber + 1);
    PeerListener peerListener("127.0.0.3"); // takes the window's connect-back
    QVERIFY2(peerListener.listening(), qPrintable(peerListener.errorString()));
    Form1 b(m_lingering, address("127.0.0.2"));
    QVERIFY2(listening(b), "the window does not listen");
    // A few hundred kilobytes of transcript in memory at most.
    transcript(b).model().memory()->setRecentText(256 * 1024);
    b.show();
    // Room for the first megabyte, then none; up to 8 MiB more may wait in
    // memory for the slow disk before it says it has no room.
    const QString filler = QDir(m_mountPoint.path()).filePath(QStringLiteral("relleno"));
    QVERIFY(fill(filler, 1 << 20));

    QProcess sender;
    sender.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--sender"), QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.2")});
    QVERIFY(sender.waitForStarted(5000));

    // Told once, and reading stops: the transcript stands still while the
    // sender still has most of its text to write.
    QTRY_VERIFY_WITH_TIMEOUT(failureText(b).contains(QStringLiteral("No queda espacio en el disco")), 60000);
    QVERIFY(recibe(b)(1).readingPaused());
    const qint64 stopped = floodShown(b).size();
    QVERIFY(stopped < kTotalBytes / 2);
    QCOMPARE(sender.state(), QProcess::Running);
    // Meanwhile what the user types goes out, and a new peer is taken in to
    // wait its turn.
    QTRY_VERIFY_WITH_TIMEOUT(peerListener.linked(), 5000);
    typeAndEnter(b, kTyped);
    QTRY_VERIFY_WITH_TIMEOUT(peerListener.received.contains(kTyped.toUtf8()), 5000);
    RawPeer late("127.0.0.4", "127.0.0.2");
    QVERIFY(late.connected() && late.send(kLatePeer));
    QVERIFY2(whyNotTakenIn(b, late, 2).isEmpty(), qPrintable(whyNotTakenIn(b, late, 2)));
    QTest::qWait(1000);
    QCOMPARE(floodShown(b).size(), stopped);
    QVERIFY(!transcript(b).text().toString().contains(QString::fromLatin1(kLatePeer)));
    QCOMPARE(failureText(b).count(QStringLiteral("No queda espacio")), 1);

    // Room again: reading goes on within two seconds, and everything
    // arrives, once, in order.
    QVERIFY(QFile::remove(filler));
    QElapsedTimer sinceRoom;
    sinceRoom.start();
    QTRY_VERIFY_WITH_TIMEOUT(failureText(b).contains(QStringLiteral("Vuelve a haber espacio")), 10000);
    qInfo("reading went on %lld ms after room came back", qlonglong(sinceRoom.elapsed()));
    QVERIFY(sinceRoom.elapsed() < 2000);
    QTRY_VERIFY_WITH_TIMEOUT(sender.state() == QProcess::NotRunning, 240000);
    QCOMPARE(sender.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(recibe(b)(1).State(), int(connections::PeerClosed), 120000);
    QTRY_VERIFY_WITH_TIMEOUT(transcript(b).text().toString().contains(QString::fromLatin1(kLatePeer)), 10000);
    const QString shown = floodShown(b);
    const QString expected = QString::fromLatin1(sentText());
    QVERIFY2(shown == expected, qPrintable(firstDifference(shown, expected)));
    QCOMPARE(failureText(b).count(QStringLiteral("No queda espacio")), 1);
    QVERIFY(transcript(b).model().document().spilledLength() > kTotalBytes / 2);
}

// No folder where the file can be made: the text stays in memory within its
// share, reading stops, and the window says which folders it tried and why,
// not that the disk has no room; once one can be used, everything arrives.
void TestDiskFull::withoutAFolderTheWindowSaysWhich()
{
    const QString missing = QDir(m_mountPoint.path()).filePath(QStringLiteral("no-existe"));
    qputenv("TMPDIR", QFile::encodeName(missing));
    for (const char *folder : {"/var/tmp", "/tmp"})
        QCOMPARE(::mount("tmpfs", folder, "tmpfs", MS_RDONLY, "size=1m"), 0);
    PeerListener peerListener("127.0.0.3");
    QVERIFY2(peerListener.listening(), qPrintable(peerListener.errorString()));
    Form1 b(m_lingering, address("127.0.0.2"));
    QVERIFY2(listening(b), "the window does not listen");
    transcript(b).model().memory()->setRecentText(256 * 1024);
    b.show();
    QProcess sender;
    sender.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--sender"), QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.2")});
    QVERIFY(sender.waitForStarted(5000));

    QTRY_VERIFY_WITH_TIMEOUT(failureText(b).contains(QStringLiteral("No hay ninguna carpeta")), 60000);
    const QString said = failureText(b);
    QVERIFY2(said.contains(QStringLiteral("«%1» no existe").arg(missing)), qPrintable(said));
    QVERIFY2(said.contains(QStringLiteral("«/var/tmp» es de solo lectura")), qPrintable(said));
    QVERIFY2(said.contains(QStringLiteral("«/tmp» es de solo lectura")), qPrintable(said));
    QVERIFY(!said.contains(QStringLiteral("espacio")));
    QVERIFY(recibe(b)(1).readingPaused());
    QVERIFY(transcript(b).text().length() < 2 * 1024 * 1024);

    QCOMPARE(::mount(nullptr, "/tmp", nullptr, MS_REMOUNT, "size=64m"), 0);
    QTRY_VERIFY_WITH_TIMEOUT(failureText(b).contains(QStringLiteral("Ya se puede guardar la conversación")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(sender.state() == QProcess::NotRunning, 240000);
    QCOMPARE(sender.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(recibe(b)(1).State(), int(connections::PeerClosed), 120000);
    const QString shown = floodShown(b);
    const QString expected = QString::fromLatin1(sentText());
    QVERIFY2(shown == expected, qPrintable(firstDifference(shown, expected)));
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
