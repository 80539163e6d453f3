// An hour of a full-speed flood into one window, with its transcript kept
// within the memory's budget by the temporary file: a peer process writes
// printable ASCII as fast as the window reads it, while a line is typed into
// the window every quarter of a second and the peer notes when it arrives.
// At the end the transcript is selected and copied as a user would, and the
// copied text, without its entry breaks and the typed lines, is compared byte
// for byte with what the peer sent.
//
//   hour_bench [SECONDS [MB_PER_S [ROOM_FILES]]]
//                             the window (3600 s when not given; the peer as fast as the
//                             window reads, or at most MB_PER_S); prints its figures.
//                             ROOM_FILES, comma-separated: once the flood has filled the
//                             disk and reading has waited 20 s, the next is removed, so
//                             that the disk has room again; the last one is kept for the
//                             end of the flood's time, for what still waits in the network
//   hour_bench --peer FROM TO SECONDS MB_PER_S
//                             the flooding peer, started by the window's process
//
// At full speed the window takes in tens of megabytes a second, and the
// transcript's file grows as fast: a disk without an hour's worth of room
// makes the window wait for room (the peer's bytes wait in the network), and
// the rest of the hour shows the window answering while it waits; each room
// file removed lets it read on until the disk is full again.
//
// tools/bench.sh hour [SECONDS [MB_PER_S]] runs it in a network namespace of
// its own (VZ_HOUR_DISK_GIB=N: on a disk of N GiB made for the run).

#include "support/window.h"

#include "connections/lingering_connections.h"
#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "main_window/form1.h"
#include "rich_text/clipboard_text.h"
#include "rich_text/rich_text_box.h"
#include "rich_text/text_memory.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <ctime>

using namespace support;

namespace {

constexpr qsizetype kPattern = 1 << 20; // the peer writes this over and over
constexpr int kTypeEveryMs = 250;

qint64 nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Printable ASCII without '#' (which starts a typed line) and without line breaks.
QByteArray pattern()
{
    QByteArray out(kPattern, Qt::Uninitialized);
    quint32 x = 20261209;
    for (char &c : out) {
        x = x * 1103515245u + 12345u;
        c = char(0x24 + (x >> 16) % (0x7F - 0x24));
    }
    return out;
}

void say(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The peer: takes the window's connect-back on FROM and says "heard N NS"
// for each typed line "#N;" it reads there; floods TO from FROM for SECONDS,
// then ends its connection in order and says "sent BYTES".
int runPeer(const QStringList &a)
{
    const QHostAddress from(a.value(0)), to(a.value(1));
    const int seconds = a.value(2).toInt();
    const double bytesPerNs = a.value(3).toDouble() / 1000.0; // 0: as fast as the window reads
    const qint64 startNs = nowNs();
    QTcpServer back;
    back.listen(from, Form1::PuertoChat);
    QByteArray heard;
    QObject::connect(&back, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *s = back.nextPendingConnection()) {
            QObject::connect(s, &QTcpSocket::readyRead, s, [&, s] {
                heard += s->readAll();
                for (qsizetype end; (end = heard.indexOf(';')) >= 0; heard.remove(0, end + 1)) {
                    const qsizetype start = heard.lastIndexOf('#', end);
                    if (start >= 0)
                        say("heard " + heard.mid(start + 1, end - start - 1) + ' ' + QByteArray::number(nowNs()));
                }
            });
        }
    });
    QTcpSocket out;
    out.bind(from, 0, QAbstractSocket::ReuseAddressHint);
    out.connectToHost(to, Form1::PuertoChat);
    if (!out.waitForConnected(5000))
        return 2;
    const QByteArray text = pattern();
    qint64 at = 0, sent = 0;
    bool writing = true;
    auto topUp = [&] {
        while (writing && out.bytesToWrite() < (1 << 20)
               && (bytesPerNs <= 0 || sent < bytesPerNs * double(nowNs() - startNs))) {
            const qint64 n = std::min<qint64>(64 * 1024, text.size() - at);
            out.write(text.constData() + at, n);
            sent += n;
            at = (at + n) % text.size();
        }
        if (!writing && out.bytesToWrite() == 0 && out.state() == QAbstractSocket::ConnectedState)
            out.disconnectFromHost();
    };
    QObject::connect(&out, &QTcpSocket::bytesWritten, topUp);
    QTimer pace; // a peer held to a rate writes as its time comes
    QObject::connect(&pace, &QTimer::timeout, topUp);
    if (bytesPerNs > 0)
        pace.start(5);
    QTimer::singleShot(seconds * 1000, [&] {
        writing = false;
        topUp();
    });
    QObject::connect(&out, &QTcpSocket::disconnected, [&] {
        say("sent " + QByteArray::number(sent));
        QTimer::singleShot(3000, &QCoreApplication::quit); // the last typed lines
    });
    topUp();
    return QCoreApplication::exec();
}

qint64 statusKib(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The copied text without its breaks and typed lines, against the flood.
struct Check {
    qint64 compared = 0;
    qint64 typedLines = 0;
    qint64 firstDifference = -1;
};

Check compareCopy(const rich_text::Rope &copied, const QByteArray &text)
{
    Check c;
    bool inTypedLine = false;
    copied.forEachChunk(0, [&](QStringView chunk) {
        for (const QChar ch : chunk) {
            const char16_t u = ch.unicode();
            if (u == u'\r' || u == u'\n') {
                inTypedLine = false;
                continue;
            }
            if (inTypedLine)
                continue;
            if (u == u'#') {
                inTypedLine = true;
                ++c.typedLines;
                continue;
            }
            if (u != char16_t(uchar(text[c.compared % text.size()]))) {
                c.firstDifference = c.compared;
                return false;
            }
            ++c.compared;
        }
        return true;
    });
    return c;
}

// A wait of the window's for the disk: reading stopped, room given, reading on.
struct Wait {
    qint64 stoppedNs;
    qint64 length;
    qint64 roomNs = -1;
    qint64 resumedNs = -1;
};

int runWindow(int seconds, double megabytesPerSecond, QStringList roomFiles)
{
    connections::LingeringConnections lingering; // outlives the window
    Form1 window(lingering, QHostAddress(QStringLiteral("127.0.0.41")));
    rich_text::RichTextBox &box = transcript(window);
    // The window's waits, from its socket's reading; the room files left.
    const qint64 startNs = nowNs();
    std::vector<Wait> waits;
    window.setCuadroInformativo([](QWidget *, const QString &, const QString &) {});
    auto followWaits = [&] {
        const bool paused = recibe(window)(1).readingPaused();
        const qint64 now = nowNs();
        if (paused && (waits.empty() || waits.back().resumedNs >= 0))
            waits.push_back(Wait{now, transcript(window).text().length()});
        if (!paused && !waits.empty() && waits.back().resumedNs < 0)
            waits.back().resumedNs = now;
        if (paused && waits.back().roomNs < 0 && now - waits.back().stoppedNs > 20'000'000'000
            && roomFiles.size() > 1) {
            const QString room = roomFiles.takeFirst();
            std::printf("%5.0f s: room again (%s)\n", (now - startNs) / 1e9, qPrintable(room));
            std::fflush(stdout);
            QFile::remove(room);
            waits.back().roomNs = now;
        }
    };
    window.show();
    // The peer's time is over (its own clock started a moment later): room
    // for what still waits in the network.
    QTimer::singleShot((seconds + 5) * 1000, [&] {
        for (const QString &room : roomFiles)
            QFile::remove(room);
        roomFiles.clear();
    });
    const qint64 budget = rich_text::TextMemory::residentBudget();

    QProcess peer;
    QByteArray peerOut;
    std::map<int, qint64> heardNs;
    qint64 sentBytes = -1;
    QObject::connect(&peer, &QProcess::readyReadStandardOutput, [&] {
        peerOut += peer.readAllStandardOutput();
        for (qsizetype end; (end = peerOut.indexOf('\n')) >= 0; peerOut.remove(0, end + 1)) {
            const QList<QByteArray> f = peerOut.left(end).split(' ');
            if (f.value(0) == "heard")
                heardNs[f.value(1).toInt()] = f.value(2).toLongLong();
            else if (f.value(0) == "sent")
                sentBytes = f.value(1).toLongLong();
        }
    });
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer.start(QCoreApplication::applicationFilePath(),
               {QStringLiteral("--peer"), QStringLiteral("127.0.0.42"), QStringLiteral("127.0.0.41"),
                QString::number(seconds), QString::number(megabytesPerSecond)});
    if (!waitUntil([&] { return envia(window).State() == connections::Connected; }, 10000)) {
        std::printf("the peer never connected\n");
        return 1;
    }

    // Answering: a 10 ms timer's lateness, the caption's ticks, typed lines.
    qint64 lastTick = 0, worstLateNs = 0, worstLateAtNs = 0, lastCaption = nowNs(), worstCaptionGapNs = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = nowNs();
        if (lastTick && now - lastTick - 10000000 > worstLateNs)
            worstLateNs = now - lastTick - 10000000, worstLateAtNs = now;
        lastTick = now;
    });
    QObject::connect(&captionTimer(window), &QTimer::timeout, [&] {
        const qint64 now = nowNs();
        worstCaptionGapNs = std::max(worstCaptionGapNs, now - lastCaption);
        lastCaption = now;
    });
    std::vector<qint64> typedNs;
    QTimer typing;
    typing.setInterval(kTypeEveryMs);
    QObject::connect(&typing, &QTimer::timeout, [&] {
        QLineEdit *input = lineEdit(window, "TxtMensaje");
        input->setText(QStringLiteral("#%1;").arg(typedNs.size()));
        typedNs.push_back(nowNs());
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
        QCoreApplication::sendEvent(input, &press);
    });
    qint64 worstRssKib = 0;
    QTimer sample;
    sample.setInterval(1000);
    QTimer waitsFollowed;
    waitsFollowed.setInterval(20);
    QObject::connect(&waitsFollowed, &QTimer::timeout, followWaits);
    QObject::connect(&sample, &QTimer::timeout, [&] {
        worstRssKib = std::max(worstRssKib, statusKib("VmRSS:"));
        const int elapsed = int((nowNs() - startNs) / 1000000000);
        if (elapsed % 60 == 0)
            std::printf("%5d s: transcript %.2f GiB, resident %.0f MiB\n", elapsed,
                        box.text().length() / double(1 << 30), statusKib("VmRSS:") / 1024.0),
                std::fflush(stdout);
    });
    tick.start();
    typing.start();
    sample.start();
    waitsFollowed.start();

    waitUntil([&] { return sentBytes >= 0; }, (seconds + 600) * 1000);
    typing.stop();
    waitUntil([&] { return recibe(window)(1).State() == connections::PeerClosed; }, 600000);
    waitUntil([] { return false; }, 2000); // the last typed lines come back
    tick.stop();
    sample.stop();
    const double floodSeconds = (nowNs() - startNs) / 1e9;
    const qint64 length = box.text().length();

    // Select all and copy, as a user does, and compare the copied text.
    box.setFocus();
    qint64 t0 = nowNs();
    QTest::keyClick(&box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
    QCoreApplication::processEvents();
    const double copyMs = (nowNs() - t0) / 1e6;
    const auto *copied = qobject_cast<const rich_text::ClipboardText *>(QGuiApplication::clipboard()->mimeData());
    t0 = nowNs();
    const Check check = copied ? compareCopy(copied->copied(), pattern()) : Check{};
    const double compareS = (nowNs() - t0) / 1e9;

    int answered = 0;
    double worstAnswerMs = 0;
    for (size_t n = 0; n < typedNs.size(); ++n) {
        const auto heard = heardNs.find(int(n));
        if (heard == heardNs.end())
            continue;
        ++answered;
        worstAnswerMs = std::max(worstAnswerMs, (heard->second - typedNs[n]) / 1e6);
    }
    const auto &counters = box.model().memory()->counters();
    const bool textOk = copied && check.firstDifference < 0 && check.compared == sentBytes
        && check.typedLines == qint64(typedNs.size());
    std::printf("\nFlood of %.0f s into one window (%s), 16 KiB reads at most, the transcript's memory budget "
                "%.0f MiB\n",
                floodSeconds,
                megabytesPerSecond > 0 ? qPrintable(QStringLiteral("the peer held to %1 MB/s").arg(megabytesPerSecond))
                                       : "the peer as fast as the window reads",
                budget / 1048576.0);
    std::printf("- peer sent %lld bytes (%.2f MB/s); transcript %lld characters\n", qlonglong(sentBytes),
                sentBytes / floodSeconds / 1e6, qlonglong(length));
    const auto *failures = window.findChild<QMessageBox *>(QStringLiteral("CuadroFallo"));
    const QString told = failures ? failures->text() : QString();
    std::printf("- the user was told %lld times that the disk had no room, %lld times that it had room again\n",
                qlonglong(told.count(QLatin1String("No queda espacio"))),
                qlonglong(told.count(QLatin1String("Vuelve a haber espacio"))));
    for (const Wait &w : waits) {
        const double resumedAfterRoomMs = w.roomNs >= 0 && w.resumedNs >= 0 ? (w.resumedNs - w.roomNs) / 1e6 : -1;
        if (w.resumedNs >= 0 && w.resumedNs - w.stoppedNs < 1'000'000'000 && w.roomNs < 0)
            continue; // the disk only behind for a moment
        std::printf(
            "- reading waited from %.0f s (%.2f GiB of transcript) for %.1f s%s\n", (w.stoppedNs - startNs) / 1e9,
            w.length / double(1 << 30), ((w.resumedNs >= 0 ? w.resumedNs : nowNs()) - w.stoppedNs) / 1e9,
            w.roomNs < 0 ? ""
                         : qPrintable(QStringLiteral("; room given at %1 s, reading on %2 ms later (under 2 s: %3)")
                                          .arg((w.roomNs - startNs) / 1e9, 0, 'f', 0)
                                          .arg(resumedAfterRoomMs, 0, 'f', 0)
                                          .arg(resumedAfterRoomMs >= 0 && resumedAfterRoomMs < 2000 ? "yes" : "NO")));
    }
    std::printf("- resident memory, worst of samples every second: %.0f MiB; peak (VmHWM) %.0f MiB; budget %.0f "
                "MiB: %s\n",
                worstRssKib / 1024.0, statusKib("VmHWM:") / 1024.0, budget / 1048576.0,
                statusKib("VmHWM:") * 1024 < budget ? "under" : "OVER");
    std::printf("- written to the temporary file: %.2f GiB; read back %lld pages\n",
                counters.bytesStored / double(1 << 30), qlonglong(counters.pagesLoaded));
    std::printf("- typed lines: %d of %zu reached the peer, worst %.1f ms (under 500 ms: %s)\n", answered,
                typedNs.size(), worstAnswerMs, answered == int(typedNs.size()) && worstAnswerMs < 500 ? "yes" : "NO");
    std::printf("- 10 ms timer worst late %.1f ms (at %.0f s); caption timer worst gap %.1f ms (500 ms interval)\n",
                worstLateNs / 1e6, (worstLateAtNs - startNs) / 1e9, worstCaptionGapNs / 1e6);
    std::printf("- select-all and Ctrl+C %.1f ms; copied text compared in %.0f s: %lld flood bytes and %lld typed "
                "lines, byte for byte what was sent: %s\n",
                copyMs, compareS, qlonglong(check.compared), qlonglong(check.typedLines), textOk ? "yes" : "NO");
    if (check.firstDifference >= 0)
        std::printf("  first difference at flood byte %lld\n", qlonglong(check.firstDifference));
    peer.waitForFinished(10000);
    return textOk ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 6 && qstrcmp(argv[1], "--peer") == 0) {
        QCoreApplication app(argc, argv);
        return runPeer({QString::fromLatin1(argv[2]), QString::fromLatin1(argv[3]), QString::fromLatin1(argv[4]),
                        QString::fromLatin1(argv[5])});
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return runWindow(argc > 1 ? QString::fromLatin1(argv[1]).toInt() : 3600,
                     argc > 2 ? QString::fromLatin1(argv[2]).toDouble() : 0,
                     argc > 3 ? QString::fromLocal8Bit(argv[3]).split(u',', Qt::SkipEmptyParts) : QStringList());
}
