// 1. latency
//
// One message at a time, from a sender in this process to a receiver in a
// process of its own, as two copies of the chat run: the text is put in the
// sender's input box, the clock starts, Enter is pressed, and the receiving
// process notes when its transcript model holds the entry ("model"), then
// again once its view has taken the new paragraph in ("view": the coalesced
// update that runs from the event queue right after the receiving handler
// and lays out the last page). Both processes read CLOCK_MONOTONIC, one clock.
// Pixels are part of neither figure: the offscreen paint is left out.
//
// The baselines travel the same way, each receiver in a process of its own:
// the plain QTextEdit chat, and the floor, a raw QTcpSocket pair.

#include "support.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>

namespace chat_bench {
namespace {

constexpr int kMessages = 10000;
constexpr int kWarmUp = 100;
constexpr int kWaitMs = 5000;

void pressEnter(QWidget *target)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QCoreApplication::sendEvent(target, &release);
}

QString messageText(int i)
{
    return QStringLiteral("mensaje %1: hola, ¿qué tal? todo bien por aquí").arg(i, 5, 10, QLatin1Char('0'));
}

// ------------------------------------------------------------ receivers

void sayArrived(qint64 model, qint64 view) { say(QStringLiteral("got model=%1 view=%2").arg(model).arg(view)); }

// Runs the receiver until its standard input says "finish" (or closes), then
// says "done entries=N" with what `entries` counts.
int serveUntilFinished(const std::function<int()> &entries)
{
    bool finished = false;
    StdinLines input([&](const QByteArray &line) { finished = finished || line == "finish" || line == "eof"; });
    waitUntil([&] { return finished; }, (kMessages + kWarmUp) * kWaitMs);
    say(QStringLiteral("done entries=%1").arg(entries()));
    return 0;
}

// Copy B: a window that connects back to the copy that reached it.
int runFormReceiver(const QHostAddress &at)
{
    connections::LingeringConnections lingering; // outlives the window
    Form1 b{lingering, at};
    quietBoxes(b);
    b.show();
    rich_text::RichTextBox &shown = transcript(b);
    // Connected after the window's own handler, so this runs once the entry
    // is in the model; the posted call runs after the view's coalesced
    // update, which was posted first.
    std::function<void(qint64)> whenShown = [&](qint64 model) {
        if (shown.updatePending())
            QMetaObject::invokeMethod(
                &b, [&, model] { whenShown(model); }, Qt::QueuedConnection);
        else
            sayArrived(model, nowNs());
    };
    QObject::connect(&recibe(b), &connections::SocketArray::DataArrival, &b, [&] {
        const qint64 model = nowNs();
        QMetaObject::invokeMethod(
            &b, [&, model] { whenShown(model); }, Qt::QueuedConnection);
    });
    say(QStringLiteral("ready port=%1").arg(Form1::PuertoChat));
    return serveUntilFinished([&] { return int(transcript(b).text().toString().count(QStringLiteral("mensaje "))); });
}

// A server on `at` whose every read is handed to `read`; serves until the
// sender is finished.
int serveReads(const QHostAddress &at, const std::function<void(QTcpSocket *)> &read)
{
    QTcpServer server;
    server.listen(at, 0);
    int reads = 0;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *in = server.nextPendingConnection()) {
            QObject::connect(in, &QTcpSocket::readyRead, in, [&, in] {
                read(in);
                ++reads;
            });
        }
    });
    say(QStringLiteral("ready port=%1").arg(server.serverPort()));
    return serveUntilFinished([&] { return reads; });
}

// The plain chat's receiving side: what came is appended as a new paragraph
// in colour.
int runPlainReceiver(const QHostAddress &at)
{
    PlainWindow b;
    b.window.show();
    return serveReads(at, [&](QTcpSocket *in) {
        b.appendReceived(QString::fromUtf8(in->readAll()));
        const qint64 model = nowNs();
        QMetaObject::invokeMethod(
            &b.window, [model] { sayArrived(model, nowNs()); }, Qt::QueuedConnection);
    });
}

// The floor: the bytes read as they come.
int runRawReceiver(const QHostAddress &at)
{
    return serveReads(at, [](QTcpSocket *in) {
        in->readAll();
        const qint64 now = nowNs();
        sayArrived(now, now);
    });
}

int runReceiver(const QStringList &args)
{
    const QString kind = args.value(0);
    const QHostAddress at(args.value(1));
    if (kind == QLatin1String("form"))
        return runFormReceiver(at);
    if (kind == QLatin1String("plain"))
        return runPlainReceiver(at);
    return runRawReceiver(at);
}

// -------------------------------------------------------------- senders

// One way of carrying a message to a receiver in a process of its own.
// The receiver says when a message has arrived.
struct LatencyPath {
    explicit LatencyPath(const char *kind)
        : receiver(
            {QStringLiteral("--latency-receiver"), QLatin1String(kind), addr(loopback::kLatency.peer).toString()})
    {
        port = quint16(receiver.await(QStringLiteral("ready"), 20000).value(QStringLiteral("port")).toUInt());
    }
    virtual ~LatencyPath() = default;
    virtual bool ready() = 0;
    // The text is made and typed before the clock starts; send() is the Enter.
    virtual void prepare(int i) = 0;
    virtual void send() = 0;
    Helper receiver;
    quint16 port = 0;
    std::vector<qint64> models, views;
    bool ok = true;
};

// The window: Enter in copy A, the entry in copy B's transcript.
struct FormPath : LatencyPath {
    connections::LingeringConnections lingering; // outlives the window
    Form1 a{lingering, addr(loopback::kLatency.window)};
    QLineEdit *box = lineEdit(a, "TxtMensaje");

    FormPath()
        : LatencyPath("form")
    {
        quietBoxes(a);
        a.show();
        lineEdit(a, "TxtIp")->setText(addr(loopback::kLatency.peer).toString());
        button(a, "CmdConectar")->click();
    }
    // B has connected back, as it does when reached first.
    bool ready() override { return envia(a).State() == connections::Connected && a.slotOcupado(1); }
    void prepare(int i) override { box->setText(messageText(i)); }
    void send() override { pressEnter(box); }
};

// The floor: one QTcpSocket writes, the other reads, same addresses.
struct RawPath : LatencyPath {
    QTcpSocket out;

    RawPath()
        : LatencyPath("raw")
    {
        out.bind(addr(loopback::kLatency.window), 0, QAbstractSocket::ReuseAddressHint);
        out.connectToHost(addr(loopback::kLatency.peer), port);
    }
    bool ready() override { return out.state() == QAbstractSocket::ConnectedState; }
    QByteArray message;
    void prepare(int i) override { message = messageText(i).toUtf8(); }
    void send() override { out.write(message); }
};

// The same work done the plain way: a line edit whose Enter sends the text
// and appends it to a QTextEdit.
struct PlainPath : LatencyPath {
    PlainWindow a;
    QTcpSocket out;

    PlainPath()
        : LatencyPath("plain")
    {
        a.window.show();
        out.bind(addr(loopback::kLatency.window), 0, QAbstractSocket::ReuseAddressHint);
        out.connectToHost(addr(loopback::kLatency.peer), port);
        QObject::connect(a.input, &QLineEdit::returnPressed, [this] {
            const QString text = a.input->text();
            out.write(text.toUtf8());
            a.log->append(text);
            a.input->clear();
        });
    }
    bool ready() override { return out.state() == QAbstractSocket::ConnectedState; }
    void prepare(int i) override { a.input->setText(messageText(i)); }
    void send() override { pressEnter(a.input); }
};

QString times(double v, double of, const char *what)
{
    return QStringLiteral("%1× %2").arg(of > 0 ? v / of : 0, 0, 'f', 2).arg(QLatin1String(what));
}

void benchLatency()
{
    say(QStringLiteral("1. latency: %1 messages, Enter in one window to the entry in the other's process")
            .arg(kMessages));
    // The three paths live side by side and take turns message by message,
    // so that whatever else the machine does weighs on all of them alike.
    RawPath raw;
    PlainPath plain;
    FormPath form;
    LatencyPath *paths[] = {&raw, &plain, &form};
    const bool up = waitUntil([&] { return raw.ready() && plain.ready() && form.ready(); }, kWaitMs);
    for (int i = 0; up && i < kMessages + kWarmUp; ++i) {
        for (LatencyPath *path : paths) {
            if (!path->ok)
                continue;
            path->prepare(i);
            const qint64 sent = nowNs();
            path->send();
            const auto got = path->receiver.take(QStringLiteral("got"), kWaitMs);
            if (got.isEmpty()) {
                path->ok = false;
                continue;
            }
            if (i >= kWarmUp) {
                path->models.push_back(got.value(QStringLiteral("model")).toLongLong() - sent);
                path->views.push_back(got.value(QStringLiteral("view")).toLongLong() - sent);
            }
            // What is left over here (the sender's repaint) is done before
            // the next path starts its clock, so no path pays for another.
            for (int k = 0; k < 3; ++k)
                QCoreApplication::processEvents();
        }
    }
    for (LatencyPath *path : paths)
        path->receiver.tell("finish");
    const int entries = form.receiver.await(QStringLiteral("done"), kWaitMs).value(QStringLiteral("entries")).toInt();
    // Every message made exactly one entry on the receiving side.
    form.ok = form.ok && up && entries == kMessages + kWarmUp;
    const Spread r = spread(raw.models), pm = spread(plain.models), pv = spread(plain.views);
    const Spread fm = spread(form.models), fv = spread(form.views);
    const QString base = QStringLiteral("plain %1 / raw %2");
    row(QStringLiteral("1 latency median, to B's model"), us(fm.median), base.arg(us(pm.median), us(r.median)),
        QStringLiteral("≤ 4× raw"),
        yesNo(form.ok && fm.median <= 4 * r.median,
              times(fm.median, r.median, "raw") + QStringLiteral(", ") + times(fm.median, pm.median, "plain")));
    row(QStringLiteral("1 latency p99, to B's model"), us(fm.p99), base.arg(us(pm.p99), us(r.p99)),
        QStringLiteral("≤ 10× raw"),
        yesNo(form.ok && fm.p99 <= 10 * r.p99,
              times(fm.p99, r.p99, "raw") + QStringLiteral(", ") + times(fm.p99, pm.p99, "plain")));
    row(QStringLiteral("1 latency median, view updated"), us(fv.median), QStringLiteral("plain %1").arg(us(pv.median)),
        QStringLiteral("—"), times(fv.median, pv.median, "plain"));
    row(QStringLiteral("1 latency p99, view updated"), us(fv.p99), QStringLiteral("plain %1").arg(us(pv.p99)),
        QStringLiteral("—"), times(fv.p99, pv.p99, "plain"));
    if (!form.ok || !plain.ok || !raw.ok)
        note(QStringLiteral("latency: a run did not complete (form %1, plain %2, raw %3; B made %4 entries)")
                 .arg(form.ok)
                 .arg(plain.ok)
                 .arg(raw.ok)
                 .arg(entries));
    note(QStringLiteral(
             "latency: %1 messages after %2 warm-up ones, one in flight at a time, the three paths taking turns; "
             "each sender in this process, each receiver in a process of its own, as two copies run; max %3 "
             "(form) / %4 (plain) / %5 (raw). \"model\": the receiving handler has put the entry in B's "
             "transcript model (raw: the bytes are read); \"view updated\": B's coalesced view update (new "
             "paragraph laid out; in its QTextDocument for the plain chat) has run too; painting pixels is in "
             "neither. The raw sender writes as the plain chat does, without flushing.")
             .arg(kMessages)
             .arg(kWarmUp)
             .arg(us(fv.max), us(pv.max), us(r.max)));
}

const GroupRegistration registration(
    {1, "latency", benchLatency, {{"--latency-receiver", true, [](const QStringList &a) { return runReceiver(a); }}}});

} // namespace
} // namespace chat_bench
