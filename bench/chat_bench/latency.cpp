// 1. latency
//
// One message at a time: the text is put in the sender's input box, the clock
// starts, Enter is pressed, and the clock stops when the receiver's transcript
// model holds the entry ("model"), then again once the receiver's view has
// taken the new paragraph in ("view": the coalesced update that runs from the
// event queue right after the receiving handler and lays out the last page).
// Pixels are not part of either figure: the offscreen paint is left out.

#include "support.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>

namespace chat_bench {
namespace {

constexpr int kWarmUp = 100;

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

// One way of carrying a message from one window (or socket) to another.
// send() starts one message; `model` and `view` are set when it has arrived.
struct LatencyPath {
    virtual ~LatencyPath() = default;
    virtual bool ready() = 0;
    virtual void send(int i) = 0;
    qint64 model = 0, view = 0;
    std::vector<qint64> models, views;
    bool ok = true;
};

// The window: Enter in copy A, the entry in copy B's transcript.
struct FormPath : LatencyPath {
    connections::LingeringConnections lingering; // outlives the windows
    Form1 a{lingering, addr(loopback::kLatency.window)};
    Form1 b{lingering, addr(loopback::kLatency.peer)};
    QLineEdit *box = lineEdit(a, "TxtMensaje");
    int messages = 0;

    FormPath()
    {
        quietBoxes(a);
        quietBoxes(b);
        a.show();
        b.show();
        lineEdit(a, "TxtIp")->setText(addr(loopback::kLatency.peer).toString());
        button(a, "CmdConectar")->click();
        rich_text::RichTextBox &shown = transcript(b);
        // Connected after the window's own handler, so this runs once the
        // entry is in the model; the posted call runs after the view's
        // coalesced update, which was posted first.
        QObject::connect(&recibe(b), &connections::SocketArray::DataArrival, &b, [this, &shown] {
            model = nowNs();
            QMetaObject::invokeMethod(
                &b,
                [this, &shown] {
                    if (!shown.updatePending())
                        view = nowNs();
                },
                Qt::QueuedConnection);
        });
    }
    bool ready() override
    {
        return envia(a).State() == connections::Connected && envia(b).State() == connections::Connected;
    }
    void send(int i) override
    {
        box->setText(messageText(i));
        ++messages;
        pressEnter(box);
    }
    // Every message made exactly one entry on the receiving side.
    bool oneEntryEach() const { return transcript(b).text().toString().count(QStringLiteral("mensaje ")) == messages; }
};

// The floor: one QTcpSocket writes, the other reads, same addresses, same loop.
struct RawPath : LatencyPath {
    QTcpServer server;
    QTcpSocket out;
    QTcpSocket *in = nullptr;

    RawPath()
    {
        server.listen(addr(loopback::kLatency.peer), 0);
        out.bind(addr(loopback::kLatency.window), 0, QAbstractSocket::ReuseAddressHint);
        out.connectToHost(addr(loopback::kLatency.peer), server.serverPort());
    }
    bool ready() override
    {
        if (!in && server.hasPendingConnections()) {
            in = server.nextPendingConnection();
            QObject::connect(in, &QTcpSocket::readyRead, [this] {
                in->readAll();
                model = view = nowNs();
            });
        }
        return in && out.state() == QAbstractSocket::ConnectedState;
    }
    void send(int i) override { out.write(messageText(i).toUtf8()); }
};

// The same work done the plain way: a line edit whose Enter sends the text
// and appends it to a QTextEdit; the other side reads and appends what came
// as a new paragraph in colour.
struct PlainPath : LatencyPath {
    PlainWindow a, b;
    QTcpServer server;
    QTcpSocket out;
    QTcpSocket *in = nullptr;

    PlainPath()
    {
        a.window.show();
        b.window.show();
        server.listen(addr(loopback::kLatency.peer), 0);
        out.bind(addr(loopback::kLatency.window), 0, QAbstractSocket::ReuseAddressHint);
        out.connectToHost(addr(loopback::kLatency.peer), server.serverPort());
        QObject::connect(a.input, &QLineEdit::returnPressed, [this] {
            const QString text = a.input->text();
            out.write(text.toUtf8());
            a.log->append(text);
            a.input->clear();
        });
    }
    bool ready() override
    {
        if (!in && server.hasPendingConnections()) {
            in = server.nextPendingConnection();
            QObject::connect(in, &QTcpSocket::readyRead,
                             [this] { b.appendReceived(QString::fromUtf8(in->readAll())); });
            QObject::connect(in, &QTcpSocket::readyRead, [this] {
                model = nowNs();
                QMetaObject::invokeMethod(
                    &b.window, [this] { view = nowNs(); }, Qt::QueuedConnection);
            });
        }
        return in && out.state() == QAbstractSocket::ConnectedState;
    }
    void send(int i) override
    {
        a.input->setText(messageText(i));
        pressEnter(a.input);
    }
};

void benchLatency()
{
    constexpr int kMessages = 10000;
    say(QStringLiteral("1. latency: %1 messages, Enter in one window to the entry in the other").arg(kMessages));
    // The three paths live side by side and take turns message by message,
    // so that whatever else the machine does weighs on all of them alike.
    RawPath raw;
    PlainPath plain;
    FormPath form;
    LatencyPath *paths[] = {&raw, &plain, &form};
    const bool up = waitUntil([&] { return raw.ready() && plain.ready() && form.ready(); }, 5000);
    for (int i = 0; up && i < kMessages + kWarmUp; ++i) {
        for (LatencyPath *path : paths) {
            if (!path->ok)
                continue;
            path->model = path->view = 0;
            const qint64 sent = nowNs();
            path->send(i);
            if (!waitUntil([&] { return path->view != 0; }, 5000)) {
                path->ok = false;
                continue;
            }
            if (i >= kWarmUp) {
                path->models.push_back(path->model - sent);
                path->views.push_back(path->view - sent);
            }
            // What is left over (repaints, deferred layout) is done before the
            // next path starts its clock, so no path pays for another.
            for (int k = 0; k < 3; ++k)
                QCoreApplication::processEvents();
        }
    }
    form.ok = form.ok && up && form.oneEntryEach();
    const Spread r = spread(raw.models), pm = spread(plain.models), pv = spread(plain.views);
    const Spread fm = spread(form.models), fv = spread(form.views);
    const QString base = QStringLiteral("plain %1 / raw %2");
    const double ratio = pm.median > 0 ? fm.median / pm.median : 0;
    row(QStringLiteral("1 latency median, to B's model"), us(fm.median), base.arg(us(pm.median), us(r.median)),
        QStringLiteral("≤ 1.5× plain"), yesNo(form.ok && ratio <= 1.5, QStringLiteral("%1×").arg(ratio, 0, 'f', 2)));
    row(QStringLiteral("1 latency p99, to B's model"), us(fm.p99), base.arg(us(pm.p99), us(r.p99)), QStringLiteral("—"),
        QStringLiteral("%1× plain").arg(pm.p99 > 0 ? fm.p99 / pm.p99 : 0, 0, 'f', 2));
    row(QStringLiteral("1 latency median, view updated"), us(fv.median), QStringLiteral("plain %1").arg(us(pv.median)),
        QStringLiteral("—"), QStringLiteral("%1× plain").arg(pv.median > 0 ? fv.median / pv.median : 0, 0, 'f', 2));
    row(QStringLiteral("1 latency p99, view updated"), us(fv.p99), QStringLiteral("plain %1").arg(us(pv.p99)),
        QStringLiteral("—"), QStringLiteral("%1× plain").arg(pv.p99 > 0 ? fv.p99 / pv.p99 : 0, 0, 'f', 2));
    if (!form.ok || !plain.ok || !raw.ok)
        note(QStringLiteral("latency: a run did not complete (form %1, plain %2, raw %3)")
                 .arg(form.ok)
                 .arg(plain.ok)
                 .arg(raw.ok));
    note(QStringLiteral(
             "latency: %1 messages after %2 warm-up ones, one in flight at a time, the three paths taking turns; "
             "max %3 (form) / %4 (plain). \"model\": the receiving handler has put the entry in B's "
             "transcript model; \"view updated\": B's coalesced view update (new paragraph laid out in its "
             "QTextDocument) has run too; painting pixels is in neither.")
             .arg(kMessages)
             .arg(kWarmUp)
             .arg(us(fv.max), us(pv.max)));
}

const GroupRegistration registration({1, "latency", benchLatency, {}});

} // namespace
} // namespace chat_bench
