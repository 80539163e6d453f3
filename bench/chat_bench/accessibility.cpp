// 6. accessibility
//
// The same work with a screen reader listening and without: accessibility
// switched on with an update handler installed (as the tests observe events;
// it keeps every event it is given, text included), against accessibility
// off, taking turns in one run on the same pair of windows. Latency: Enter in
// copy A to copy B's view updated, one message at a time. Flood: a socket
// writes into B as fast as B takes it. Bursts: 512 KiB of LF, 1 MiB of CR LF
// in one write, to B's view updated.

#include "support.h"

#include "support/accessibility.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QTcpSocket>

#include <algorithm>
#include <memory>
#include <optional>

namespace chat_bench {
namespace {

constexpr int kMessages = 2000;
constexpr int kWarmUp = 50;

struct Windows {
    connections::LingeringConnections lingering; // outlives the windows
    Form1 a{lingering, addr(loopback::kAccessibility.window)};
    Form1 b{lingering, addr(loopback::kAccessibility.peer)};

    Windows()
    {
        quietBoxes(a);
        quietBoxes(b);
        a.show();
        b.show();
        lineEdit(a, "TxtIp")->setText(addr(loopback::kAccessibility.peer).toString());
        button(a, "CmdConectar")->click();
    }
    bool ready() const { return envia(a).State() == connections::Connected; }
    qint64 length() const { return transcript(b).text().length(); }
    bool shown() const { return !transcript(b).updatePending(); }
};

void pressEnter(QWidget *target)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QCoreApplication::sendEvent(target, &release);
}

// Enter in A to B's view updated, in nanoseconds; 0 when it did not arrive.
qint64 oneMessage(Windows &w, int i)
{
    QLineEdit *box = lineEdit(w.a, "TxtMensaje");
    box->setText(QStringLiteral("mensaje %1: hola, ¿qué tal? todo bien por aquí").arg(i, 5, 10, QLatin1Char('0')));
    const qint64 before = w.length();
    const qint64 sent = nowNs();
    pressEnter(box);
    if (!waitUntil([&] { return w.length() > before && w.shown(); }, 5000))
        return 0;
    const qint64 took = nowNs() - sent;
    for (int k = 0; k < 3; ++k)
        QCoreApplication::processEvents();
    return took;
}

// Writes `bytes` into B from a socket of its own, `chunk` bytes a write, and
// returns the milliseconds until B's view shows all of it; negative on failure.
double flood(Windows &w, const QByteArray &chunk, int writes)
{
    QTcpSocket peer;
    if (!connectToChat(peer, addr(loopback::kAccessibilityFlood), addr(loopback::kAccessibility.peer)))
        return -1;
    const qint64 before = w.length();
    const qint64 total = qint64(chunk.size()) * writes;
    const qint64 start = nowNs();
    for (int i = 0; i < writes; ++i)
        peer.write(chunk);
    // Each read adds its bytes and a CR LF; a CR LF flood's bytes are its characters.
    const bool done = waitUntil(
        [&] {
            if (peer.bytesToWrite() > 0)
                peer.flush();
            return w.length() - before >= total && w.shown();
        },
        60000);
    const double ms = (nowNs() - start) / 1e6;
    peer.disconnectFromHost();
    for (int k = 0; k < 3; ++k)
        QCoreApplication::processEvents();
    return done ? ms : -1;
}

QString ratioText(double on, double off) { return QStringLiteral("%1×").arg(off > 0 ? on / off : 0, 0, 'f', 2); }

void benchAccessibility()
{
    say(QStringLiteral("6. accessibility: the same work with an accessibility update handler active and without"));
    Windows w;
    if (!waitUntil([&] { return w.ready(); }, 5000)) {
        note(QStringLiteral("accessibility: the windows did not connect"));
        return;
    }
    std::vector<qint64> on, off;
    for (int i = 0; i < kMessages + kWarmUp; ++i) {
        const bool listening = i % 2 == 1;
        std::optional<support::AccessibilityEvents> events;
        if (listening)
            events.emplace();
        const qint64 took = oneMessage(w, i);
        if (took == 0) {
            note(QStringLiteral("accessibility: message %1 did not arrive").arg(i));
            return;
        }
        if (i >= kWarmUp)
            (listening ? on : off).push_back(took);
    }
    const Spread son = spread(on), soff = spread(off);
    row(QStringLiteral("6 a11y latency median, view updated"), us(son.median),
        QStringLiteral("off %1").arg(us(soff.median)), QStringLiteral("≤ 1.1× off"),
        yesNo(son.median <= 1.1 * soff.median, ratioText(son.median, soff.median)));
    row(QStringLiteral("6 a11y latency p99, view updated"), us(son.p99), QStringLiteral("off %1").arg(us(soff.p99)),
        QStringLiteral("≤ 1.1× off"), yesNo(son.p99 <= 1.1 * soff.p99, ratioText(son.p99, soff.p99)));

    struct Load {
        const char *name;
        QByteArray chunk;
        int writes;
    };
    QByteArray text(64 * 1024, 'a');
    for (int i = 79; i < text.size(); i += 80)
        text[i] = '\n';
    const Load loads[] = {
        {"flood, 16 MiB of text in 64 KiB writes", text, 256},
        {"burst, 512 KiB of LF in one write", QByteArray(512 * 1024, '\n'), 1},
        {"burst, 1 MiB of CR LF in one write", QByteArray("\r\n").repeated(512 * 1024), 1},
    };
    for (const Load &load : loads) {
        // Best of three each, in the order off, on, on, off, off, on: the
        // transcript grows with every round, and so weighs on both alike.
        double bestOn = -1, bestOff = -1;
        for (int round = 0; round < 6; ++round) {
            const bool listening = round == 1 || round == 2 || round == 5;
            std::optional<support::AccessibilityEvents> events;
            if (listening)
                events.emplace();
            const double ms = flood(w, load.chunk, load.writes);
            double &best = listening ? bestOn : bestOff;
            if (ms >= 0 && (best < 0 || ms < best))
                best = ms;
        }
        const double mib = double(load.chunk.size()) * load.writes / (1024.0 * 1024.0);
        const QString name = QString::fromLatin1(load.name);
        if (bestOn < 0 || bestOff < 0) {
            note(QStringLiteral("accessibility: %1 did not complete").arg(name));
            continue;
        }
        row(QStringLiteral("6 a11y %1").arg(name),
            QStringLiteral("%1 ms (%2 MiB/s)").arg(bestOn, 0, 'f', 1).arg(mib / (bestOn / 1000), 0, 'f', 1),
            QStringLiteral("off %1 ms (%2 MiB/s)").arg(bestOff, 0, 'f', 1).arg(mib / (bestOff / 1000), 0, 'f', 1),
            QStringLiteral("≤ 1.1× off"), yesNo(bestOn <= 1.1 * bestOff, ratioText(bestOn, bestOff)));
    }
    note(QStringLiteral("accessibility: %1 messages after %2 warm-up ones, accessibility on for every other one; "
                        "floods and bursts best of three each (off, on, on, off, off, on), to B's view updated. "
                        "\"on\": accessibility active with an update handler that keeps each event.")
             .arg(kMessages)
             .arg(kWarmUp));
}

const GroupRegistration registration({6, "accessibility", benchAccessibility, {}});

} // namespace
} // namespace chat_bench
