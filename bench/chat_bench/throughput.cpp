// 2. throughput
//
// A peer process writes as fast as the receiver takes it for 10 s. The
// receiver (the window, or the plain QTextEdit chat as baseline) runs in a
// process of its own so that its peak memory is its own.

#include "support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace chat_bench {
namespace {

constexpr int kFloodSeconds = 10;

// Helper: connects from `from` to `to` on the chat port and writes printable text as fast
// as the other side reads it, for `seconds`; listens on the chat port of `from` for the
// window's connect-back.
int runFlooder(const QHostAddress &from, const QHostAddress &to, int seconds)
{
    QTcpServer back;
    back.listen(from, Form1::PuertoChat);
    QObject::connect(&back, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *s = back.nextPendingConnection())
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->readAll(); });
    });
    const QByteArray text = mixedText(1 << 20);
    QTcpSocket out;
    if (!connectToChat(out, from, to)) {
        say(QStringLiteral("sent error=connect"));
        return 1;
    }
    qint64 sent = 0, at = 0;
    QElapsedTimer clock;
    clock.start();
    bool writing = true;
    auto topUp = [&] {
        while (writing && out.bytesToWrite() < (1 << 20)) {
            const qint64 n = std::min<qint64>(64 * 1024, text.size() - at);
            out.write(text.constData() + at, n);
            sent += n;
            at = (at + n) % text.size();
        }
    };
    QObject::connect(&out, &QTcpSocket::bytesWritten, topUp);
    topUp();
    QTimer::singleShot(seconds * 1000, [&] {
        writing = false;
        out.disconnectFromHost();
    });
    waitUntil([&] { return !writing && out.state() == QAbstractSocket::UnconnectedState; }, (seconds + 60) * 1000);
    say(QStringLiteral("sent bytes=%1 ms=%2").arg(sent).arg(clock.elapsed()));
    return 0;
}

// The UTF-8 length of a rope's text from `from` on, without converting it:
// a surrogate stands for half of a four-byte character. Written without
// branches, so that counting costs the bench little of the time it measures.
qint64 utf8Length(const rich_text::Rope &text, qint64 from)
{
    qint64 bytes = 0;
    text.forEachChunk(from, [&bytes](QStringView chunk) {
        qint64 n = chunk.size();
        const char16_t *units = chunk.utf16();
        for (qsizetype i = 0; i < chunk.size(); ++i) {
            const char16_t u = units[i];
            n += (u >= 0x80) + (u >= 0x800) - (u >= 0xD800 && u < 0xE000);
        }
        bytes += n;
        return true;
    });
    return bytes;
}

// The CPU time this thread has had, in nanoseconds.
qint64 threadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Notes when a socket notifier last fired.
class SocketActivity : public QObject {
public:
    qint64 lastNs = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::SockAct)
            lastNs = nowNs();
        return false;
    }
};

// Helper: the receiving side. Prints "ready", then, once told "finish <bytes>",
// waits for that many bytes to be shown and prints its figures.
int runReceiver(const QString &kind, const QHostAddress &at)
{
    const bool form = kind == QLatin1String("form");
    connections::LingeringConnections lingering; // outlives the window
    std::unique_ptr<Form1> window;
    std::unique_ptr<PlainWindow> plain;
    QTcpServer server;
    qint64 shownBytes = 0, firstNs = 0, lastNs = 0, entries = 0;
    qint64 worstLateNs = 0, lastTickNs = 0;
    // Of the worst delay, how long this thread was on a CPU: the rest the
    // machine gave to other programs.
    qint64 worstLateCpuNs = 0, lastTickCpuNs = 0;
    qint64 seen = 0; // transcript length already counted

    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = nowNs(), cpu = threadCpuNs();
        if (lastTickNs && firstNs && now - lastTickNs - 10000000 > worstLateNs) {
            worstLateNs = now - lastTickNs - 10000000;
            worstLateCpuNs = cpu - lastTickCpuNs;
        }
        lastTickNs = now;
        lastTickCpuNs = cpu;
    });
    // Where the time of each entry goes: its read (Qt's read of the socket,
    // then the receiving handler), from the socket notifier's event or from
    // the end of the read before it in the same turn, whichever came later,
    // to the end of the handler; then the view's update, posted by the
    // handler, once for the reads of a turn.
    SocketActivity activity;
    QCoreApplication::instance()->installEventFilter(&activity);
    std::vector<qint64> handlerNs, fullReadNs, viewNs;
    qint64 previousEndNs = 0; // of the bench's own work after the last read
    QObject dummy;
    auto arrived = [&](qint64 bytes, qint64 at) {
        lastNs = at;
        if (!firstNs)
            firstNs = lastNs;
        shownBytes += bytes;
        ++entries;
        const qint64 took = lastNs - std::max(activity.lastNs, previousEndNs);
        handlerNs.push_back(took);
        // A split character may move up to three bytes between reads.
        if (bytes >= connections::SocketControl::readBufferBytes() - 3)
            fullReadNs.push_back(took);
        QMetaObject::invokeMethod(
            &dummy, [&, at = lastNs] { viewNs.push_back(nowNs() - at); }, Qt::QueuedConnection);
        previousEndNs = nowNs();
    };

    if (form) {
        window = std::make_unique<Form1>(lingering, at);
        quietBoxes(*window);
        window->show();
        rich_text::RichTextBox &box = transcript(*window);
        QObject::connect(&recibe(*window), &connections::SocketArray::DataArrival, window.get(), [&] {
            const qint64 at = nowNs(); // before counting what came, which is the bench's own work
            const rich_text::Rope text = box.text();
            arrived(utf8Length(text, seen + 2), at); // after the entry's line break
            seen = text.length();
        });
    } else {
        plain = std::make_unique<PlainWindow>();
        plain->window.show();
        server.setListenBacklogSize(1024);
        server.listen(at, Form1::PuertoChat);
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                s->setReadBufferSize(connections::SocketControl::readBufferBytes());
                QObject::connect(s, &QTcpSocket::readyRead, s, [&, s] {
                    const QByteArray bytes = s->readAll();
                    plain->appendReceived(QString::fromUtf8(bytes));
                    arrived(bytes.size(), nowNs());
                });
            }
        });
    }
    waitUntil([] { return false; }, 300); // let the window settle
    const qint64 rssBefore = procStatus("VmRSS");
    const qint64 cpuBefore = threadCpuNs();
    tick.start();
    qint64 expected = -1;
    StdinLines input([&](const QByteArray &line) {
        if (line.startsWith("finish "))
            expected = line.mid(7).toLongLong();
        else if (line == "eof")
            expected = 0;
    });
    say(QStringLiteral("ready rss=%1").arg(rssBefore));
    waitUntil([&] { return expected >= 0 && shownBytes >= expected; }, (kFloodSeconds + 120) * 1000);
    tick.stop();
    const qint64 cpuNs = threadCpuNs() - cpuBefore;
    qint64 transcriptUnits = 0;
    if (form)
        transcriptUnits = transcript(*window).text().length();
    else
        transcriptUnits = plain->log->document()->characterCount();
    const Spread handler = spread(handlerNs), full = spread(fullReadNs), view = spread(viewNs);
    say(QStringLiteral("done handler_med_ms=%1 handler_max_ms=%2 view_med_ms=%3 view_max_ms=%4 ")
            .arg(handler.median / 1000, 0, 'f', 3)
            .arg(handler.max / 1000, 0, 'f', 1)
            .arg(view.median / 1000, 0, 'f', 1)
            .arg(view.max / 1000, 0, 'f', 1)
        + QStringLiteral("full_med_ms=%1 full_reads=%2 worst_late_cpu_ms=%3 cpu_ms=%4 ")
              .arg(full.median / 1000, 0, 'f', 3)
              .arg(full.count)
              .arg(worstLateCpuNs / 1e6, 0, 'f', 2)
              .arg(cpuNs / 1e6, 0, 'f', 1)
        + QStringLiteral("bytes=%1 seconds=%2 entries=%3 worst_late_ms=%4 rss_before=%5 rss=%6 hwm=%7 units=%8")
              .arg(shownBytes)
              .arg((lastNs - firstNs) / 1e9, 0, 'f', 3)
              .arg(entries)
              .arg(worstLateNs / 1e6, 0, 'f', 2)
              .arg(rssBefore)
              .arg(procStatus("VmRSS"))
              .arg(procStatus("VmHWM"))
              .arg(transcriptUnits));
    return 0;
}

QMap<QString, QString> floodOnce(const QString &kind, Ends at)
{
    Helper receiver({QStringLiteral("--receiver"), kind, addr(at.window).toString()});
    if (receiver.await(QStringLiteral("ready"), 20000).isEmpty())
        return {};
    Helper flooder({QStringLiteral("--flood"), addr(at.peer).toString(), addr(at.window).toString(),
                    QString::number(kFloodSeconds)});
    const auto sent = flooder.await(QStringLiteral("sent"), (kFloodSeconds + 90) * 1000);
    if (sent.isEmpty())
        return {};
    receiver.tell("finish " + sent.value(QStringLiteral("bytes")).toUtf8());
    auto done = receiver.await(QStringLiteral("done"), 150000);
    done.insert(QStringLiteral("sent"), sent.value(QStringLiteral("bytes")));
    return done;
}

void benchThroughput()
{
    say(QStringLiteral("2. throughput: a peer process writing as fast as it can for %1 s").arg(kFloodSeconds));
    const auto plain = floodOnce(QStringLiteral("plain"), loopback::kFloodPlain);
    const auto form = floodOnce(QStringLiteral("form"), loopback::kFloodForm);
    auto rate = [](const QMap<QString, QString> &m) {
        const double s = m.value(QStringLiteral("seconds")).toDouble();
        return s > 0 ? m.value(QStringLiteral("bytes")).toDouble() / s / 1e6 : 0.0;
    };
    auto num = [](const QMap<QString, QString> &m, const char *k) { return m.value(QLatin1String(k)).toDouble(); };
    if (form.isEmpty() || plain.isEmpty()) {
        note(QStringLiteral("throughput: a run did not complete (form %1, plain %2)")
                 .arg(!form.isEmpty())
                 .arg(!plain.isEmpty()));
    }
    const double ratio = rate(plain) > 0 ? rate(form) / rate(plain) : 0;
    row(QStringLiteral("2 throughput shown in transcript"), QStringLiteral("%1 MB/s").arg(rate(form), 0, 'f', 2),
        QStringLiteral("plain %1 MB/s").arg(rate(plain), 0, 'f', 2), QStringLiteral("≥ 50 MB/s, ≥ 25× plain"),
        yesNo(!form.isEmpty() && rate(form) >= 50 && ratio >= 25, QStringLiteral("%1× plain").arg(ratio, 0, 'f', 2)));
    auto cpuPerMB = [&](const QMap<QString, QString> &m) {
        const double mb = num(m, "bytes") / 1e6;
        return mb > 0 ? num(m, "cpu_ms") / mb : 0.0;
    };
    row(QStringLiteral("2 window's CPU time per MB shown"), ms(cpuPerMB(form)),
        QStringLiteral("plain %1").arg(ms(cpuPerMB(plain))), QStringLiteral("—"),
        QStringLiteral("%1× plain's").arg(cpuPerMB(plain) > 0 ? cpuPerMB(form) / cpuPerMB(plain) : 0, 0, 'f', 3));
    const double perRead = num(form, "full_med_ms");
    row(QStringLiteral("2 receiving handler per 16 KiB read, median"), ms(perRead),
        QStringLiteral("plain %1 (layout included)").arg(ms(num(plain, "full_med_ms"))), QStringLiteral("≤ 0.3 ms"),
        yesNo(!form.isEmpty() && perRead > 0 && perRead <= 0.3,
              QStringLiteral("%1 of %2 reads full")
                  .arg(form.value(QStringLiteral("full_reads")), form.value(QStringLiteral("entries")))));
    const double late = num(form, "worst_late_ms");
    row(QStringLiteral("2 worst 10 ms timer delay"), ms(late),
        QStringLiteral("plain %1").arg(ms(num(plain, "worst_late_ms"))), QStringLiteral("< 100 ms"),
        yesNo(!form.isEmpty() && late < 100,
              QStringLiteral("on CPU %1 of it; plain %2")
                  .arg(ms(num(form, "worst_late_cpu_ms")), ms(num(plain, "worst_late_cpu_ms")))));
    // The transcript's own size: its plain text as UTF-16, the form it is
    // kept in.
    const double ownKiB = num(form, "units") * 2 / 1024.0;
    const double addedKiB = num(form, "hwm") - num(form, "rss_before");
    const double plainOwnKiB = num(plain, "units") * 2 / 1024.0;
    const double plainAddedKiB = num(plain, "hwm") - num(plain, "rss_before");
    const double factor = ownKiB > 0 ? addedKiB / ownKiB : 0;
    const double plainFactor = plainOwnKiB > 0 ? plainAddedKiB / plainOwnKiB : 0;
    row(QStringLiteral("2 peak memory (VmHWM)"), mib(num(form, "hwm")),
        QStringLiteral("plain %1").arg(mib(num(plain, "hwm"))), QStringLiteral("—"),
        QStringLiteral("start %1, end %2").arg(mib(num(form, "rss_before")), mib(num(form, "rss"))));
    row(QStringLiteral("2 memory added / transcript size"),
        QStringLiteral("%1 / %2 = %3×").arg(mib(addedKiB), mib(ownKiB)).arg(factor, 0, 'f', 1),
        QStringLiteral("plain %1 / %2 = %3×").arg(mib(plainAddedKiB), mib(plainOwnKiB)).arg(plainFactor, 0, 'f', 1),
        QStringLiteral("≤ plain's"),
        yesNo(!form.isEmpty() && factor <= plainFactor,
              QStringLiteral("%1× plain's").arg(plainFactor > 0 ? factor / plainFactor : 0, 0, 'f', 2)));
    note(QStringLiteral("throughput: form %1 bytes shown of %2 sent in %3 entries over %4 s; plain %5 of %6 in %7 "
                        "entries over %8 s")
             .arg(form.value(QStringLiteral("bytes")), form.value(QStringLiteral("sent")),
                  form.value(QStringLiteral("entries")), form.value(QStringLiteral("seconds")),
                  plain.value(QStringLiteral("bytes")), plain.value(QStringLiteral("sent")),
                  plain.value(QStringLiteral("entries")), plain.value(QStringLiteral("seconds"))));
    note(QStringLiteral(
             "throughput: per entry (one read, up to %9 KiB), median/max: socket read and receiving handler %1/%2 ms "
             "(plain, layout included: %3/%4), each from the socket's event or the end of the read before it in "
             "the same turn; then the view's update, once a turn, %5/%6 ms (plain: none, %7/%8). The worst timer "
             "delay's CPU time is this thread's over that interval: the rest of it other programs had the CPU")
             .arg(form.value(QStringLiteral("handler_med_ms")), form.value(QStringLiteral("handler_max_ms")),
                  plain.value(QStringLiteral("handler_med_ms")), plain.value(QStringLiteral("handler_max_ms")),
                  form.value(QStringLiteral("view_med_ms")), form.value(QStringLiteral("view_max_ms")),
                  plain.value(QStringLiteral("view_med_ms")), plain.value(QStringLiteral("view_max_ms")))
             .arg(connections::SocketControl::readBufferBytes() / 1024));
    note(QStringLiteral("memory: \"added\" is VmHWM minus VmRSS before the flood; the transcript's own size is its "
                        "plain text in UTF-16. "
                        "Met when the window needs no more than the plain QTextEdit chat per transcript byte."));
}

const GroupRegistration registration(
    {2,
     "throughput",
     benchThroughput,
     {{"--flood", false,
       [](const QStringList &a) {
           return runFlooder(QHostAddress(a.value(0)), QHostAddress(a.value(1)), a.value(2).toInt());
       }},
      {"--receiver", true, [](const QStringList &a) { return runReceiver(a.value(0), QHostAddress(a.value(1))); }}}});

} // namespace
} // namespace chat_bench
