// chat_bench: how fast and how light the chat window is, each figure printed
// beside a baseline measured in the same run on the same machine.
//
//   chat_bench                run everything and print the table
//   chat_bench latency|throughput|accept|startup
//                             run one group only
//
// The other command lines are the bench's own helper processes (a flooding
// peer, a crowd of connecting peers, a window that reports when it is shown);
// the parent starts them with QProcess and reads "key=value" lines back.
//
// All traffic stays on loopback, on 127.0.0.150 to 127.0.0.169, so the bench
// can run beside the test suite. Times come from CLOCK_MONOTONIC, which is the
// same clock in every process, so a helper's timestamps compare with ours.

#include "connections/socket_array.h"
#include "connections/socket_control.h"
#include "main_window/form1.h"
#include "rich_text/rich_text_box.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMap>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

// ---------------------------------------------------------------- utilities

qint64 nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

QHostAddress addr(int last) { return QHostAddress(QStringLiteral("127.0.0.%1").arg(last)); }

// A line of /proc/self/status, in KiB (VmRSS, VmHWM) or as a count.
qint64 procStatus(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Runs the event loop until `done` holds or `timeoutMs` has passed; a slow
// repeating timer keeps the loop from sleeping past the deadline.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.start(100);
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void say(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

// "key=value key=value" as printed by the helper processes.
QMap<QString, QString> parseFields(const QString &text)
{
    QMap<QString, QString> fields;
    for (const QString &word : text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts)) {
        const qsizetype eq = word.indexOf(QLatin1Char('='));
        if (eq > 0)
            fields.insert(word.left(eq), word.mid(eq + 1));
    }
    return fields;
}

void pressEnter(QWidget *target)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QCoreApplication::sendEvent(target, &release);
}

template <typename T>
T *child(const QObject &parent, const char *name)
{
    return parent.findChild<T *>(QLatin1String(name));
}

connections::SocketControl &envia(const Form1 &f) { return *child<connections::SocketControl>(f, "WSCEnvia"); }
connections::SocketArray &recibe(const Form1 &f) { return *child<connections::SocketArray>(f, "WSCRecibe"); }
rich_text::RichTextBox &transcript(const Form1 &f) { return *child<rich_text::RichTextBox>(f, "TxtTexto"); }

void quietBoxes(Form1 &f)
{
    f.setCuadroInformativo([](QWidget *, const QString &, const QString &) {});
}

// UTF-8 text without line breaks, mostly ASCII with two- to four-byte
// characters mixed in, as people write.
QByteArray printableText(qsizetype bytes, quint32 seed)
{
    static const char *const wide[] = {"ñ", "á", "é", "¿", "€", "中", "😀"};
    QRandomGenerator random(seed);
    QByteArray out;
    out.reserve(bytes + 4);
    while (out.size() < bytes) {
        if (random.bounded(10) == 0)
            out += wide[random.bounded(7)];
        else
            out += char(0x20 + random.bounded(0x5F));
    }
    return out;
}

struct Spread {
    double median = 0, p99 = 0, max = 0; // microseconds
    int count = 0;
};

Spread spread(std::vector<qint64> ns)
{
    Spread s;
    if (ns.empty())
        return s;
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) { return ns[std::min(ns.size() - 1, size_t(std::ceil(q * double(ns.size())) - 1))] / 1000.0; };
    s.median = ns.size() % 2 ? ns[ns.size() / 2] / 1000.0 : (ns[ns.size() / 2 - 1] + ns[ns.size() / 2]) / 2000.0;
    s.p99 = at(0.99);
    s.max = ns.back() / 1000.0;
    s.count = int(ns.size());
    return s;
}

// ------------------------------------------------------------ the table

struct Row {
    QString figure, measured, baseline, target, met;
};
std::vector<Row> g_rows;
std::vector<QString> g_notes;

void row(const QString &figure, const QString &measured, const QString &baseline, const QString &target,
         const QString &met)
{
    g_rows.push_back({figure, measured, baseline, target, met});
    say(QStringLiteral("  %1: %2  (baseline %3)").arg(figure, measured, baseline));
}

QString us(double v) { return v >= 10000 ? QStringLiteral("%1 ms").arg(v / 1000, 0, 'f', 1) : QStringLiteral("%1 µs").arg(v, 0, 'f', 0); }
QString ms(double v) { return QStringLiteral("%1 ms").arg(v, 0, 'f', v < 10 ? 2 : 1); }
QString mib(double kib) { return QStringLiteral("%1 MiB").arg(kib / 1024.0, 0, 'f', 1); }
QString yesNo(bool ok, const QString &how = QString())
{
    return (ok ? QStringLiteral("yes") : QStringLiteral("NO")) + (how.isEmpty() ? QString() : QStringLiteral(" (") + how + QLatin1Char(')'));
}

void printTable()
{
    const QStringList head{QStringLiteral("figure"), QStringLiteral("measured"), QStringLiteral("baseline (same run)"),
                           QStringLiteral("target"), QStringLiteral("met?")};
    std::vector<int> width(5);
    auto cells = [](const Row &r) { return QStringList{r.figure, r.measured, r.baseline, r.target, r.met}; };
    for (int c = 0; c < 5; ++c)
        width[c] = int(head[c].size());
    for (const Row &r : g_rows) {
        const QStringList cs = cells(r);
        for (int c = 0; c < 5; ++c)
            width[c] = std::max(width[c], int(cs[c].size()));
    }
    auto line = [&](const QStringList &cs) {
        QString out = QStringLiteral("|");
        for (int c = 0; c < 5; ++c)
            out += QLatin1Char(' ') + cs[c].leftJustified(width[c]) + QStringLiteral(" |");
        say(out);
    };
    say(QString());
    line(head);
    QStringList rule;
    for (int c = 0; c < 5; ++c)
        rule << QString(width[c], QLatin1Char('-'));
    say(QStringLiteral("|") + rule.join(QStringLiteral("-|-")).prepend(QLatin1Char('-')) + QStringLiteral("-|"));
    for (const Row &r : g_rows)
        line(cells(r));
    say(QString());
    for (const QString &note : g_notes)
        say(QStringLiteral("* ") + note);
}

QString cpuModel()
{
    QFile f(QStringLiteral("/proc/cpuinfo"));
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown CPU");
}

// ------------------------------------------------------- helper processes

// A helper process started by the bench: lines it prints are gathered, and
// the bench waits for one that starts with a given word.
class Helper {
public:
    explicit Helper(const QStringList &args)
    {
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] {
            buffer_ += process_.readAllStandardOutput();
            qsizetype nl;
            while ((nl = buffer_.indexOf('\n')) >= 0) {
                lines_ << QString::fromUtf8(buffer_.left(nl));
                buffer_.remove(0, nl + 1);
            }
        });
        startedNs_ = nowNs();
        process_.start(QCoreApplication::applicationFilePath(), args);
    }
    ~Helper()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(3000)) {
                process_.kill();
                process_.waitForFinished(3000);
            }
        }
    }
    qint64 startedNs() const { return startedNs_; }
    // The fields of the first line that starts with `word`, waiting for it.
    QMap<QString, QString> await(const QString &word, int timeoutMs)
    {
        QMap<QString, QString> found;
        waitUntil([&] {
            for (const QString &l : std::as_const(lines_)) {
                if (l.startsWith(word + QLatin1Char(' ')) || l == word) {
                    found = parseFields(l);
                    found.insert(QStringLiteral("_"), word);
                    return true;
                }
            }
            return process_.state() == QProcess::NotRunning && !process_.bytesAvailable();
        }, timeoutMs);
        if (found.isEmpty()) {
            std::fprintf(stderr, "chat_bench: helper %s gave no '%s' line; its stderr:\n%s\n",
                         qPrintable(process_.arguments().join(QLatin1Char(' '))), qPrintable(word),
                         process_.readAllStandardError().constData());
        }
        return found;
    }
    void tell(const QByteArray &line) { process_.write(line + '\n'); }
    bool finish(int timeoutMs)
    {
        return waitUntil([&] { return process_.state() == QProcess::NotRunning; }, timeoutMs);
    }

private:
    QProcess process_;
    QByteArray buffer_;
    QStringList lines_;
    qint64 startedNs_ = 0;
};

// Lines the parent writes to a helper's standard input.
class StdinLines : public QObject {
public:
    explicit StdinLines(std::function<void(const QByteArray &)> onLine)
        : notifier_(STDIN_FILENO, QSocketNotifier::Read)
        , onLine_(std::move(onLine))
    {
        connect(&notifier_, &QSocketNotifier::activated, this, [this] {
            char chunk[512];
            const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0) {
                notifier_.setEnabled(false);
                onLine_("eof");
                return;
            }
            buffer_.append(chunk, n);
            qsizetype nl;
            while ((nl = buffer_.indexOf('\n')) >= 0) {
                const QByteArray line = buffer_.left(nl);
                buffer_.remove(0, nl + 1);
                onLine_(line);
            }
        });
    }

private:
    QSocketNotifier notifier_;
    QByteArray buffer_;
    std::function<void(const QByteArray &)> onLine_;
};

// ============================================================ 1. latency
//
// One message at a time: the text is put in the sender's input box, the clock
// starts, Enter is pressed, and the clock stops when the receiver's transcript
// model holds the entry ("model"), then again once the receiver's view has
// taken the new paragraph into its document ("view": the coalesced update
// that runs from the event queue right after the receiving handler). Pixels
// are not part of either figure: the offscreen paint is left out.

constexpr int kWarmUp = 100;

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
    Form1 a{addr(150)};
    Form1 b{addr(151)};
    QLineEdit *box = child<QLineEdit>(a, "TxtMensaje");
    int messages = 0;

    FormPath()
    {
        quietBoxes(a);
        quietBoxes(b);
        a.show();
        b.show();
        child<QLineEdit>(a, "TxtIp")->setText(QStringLiteral("127.0.0.151"));
        child<QPushButton>(a, "CmdConectar")->click();
        rich_text::RichTextBox &shown = transcript(b);
        // Connected after the window's own handler, so this runs once the
        // entry is in the model; the posted call runs after the view's
        // coalesced update, which was posted first.
        QObject::connect(&recibe(b), &connections::SocketArray::DataArrival, &b, [this, &shown] {
            model = nowNs();
            QMetaObject::invokeMethod(&b, [this, &shown] {
                if (!shown.updatePending())
                    view = nowNs();
            }, Qt::QueuedConnection);
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
    bool oneEntryEach() const
    {
        return transcript(b).text().toString().count(QStringLiteral("mensaje ")) == messages;
    }
};

// The floor: one QTcpSocket writes, the other reads, same addresses, same loop.
struct RawPath : LatencyPath {
    QTcpServer server;
    QTcpSocket out;
    QTcpSocket *in = nullptr;

    RawPath()
    {
        server.listen(addr(151), 0);
        out.bind(addr(150), 0, QAbstractSocket::ReuseAddressHint);
        out.connectToHost(addr(151), server.serverPort());
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
struct PlainWindow {
    QWidget window;
    QLineEdit *input = new QLineEdit(&window);
    QTextEdit *log = new QTextEdit(&window);

    PlainWindow()
    {
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(log);
        layout->addWidget(input);
        log->setReadOnly(true);
        window.resize(385, 391);
    }

    void appendReceived(const QString &text)
    {
        QTextCursor cursor(log->document());
        cursor.movePosition(QTextCursor::End);
        QTextCharFormat blue;
        blue.setForeground(QColor(0x55, 0x55, 0xFF));
        cursor.insertBlock();
        cursor.insertText(text, blue);
    }
};

struct PlainPath : LatencyPath {
    PlainWindow a, b;
    QTcpServer server;
    QTcpSocket out;
    QTcpSocket *in = nullptr;

    PlainPath()
    {
        a.window.show();
        b.window.show();
        server.listen(addr(151), 0);
        out.bind(addr(150), 0, QAbstractSocket::ReuseAddressHint);
        out.connectToHost(addr(151), server.serverPort());
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
            QObject::connect(in, &QTcpSocket::readyRead, [this] { b.appendReceived(QString::fromUtf8(in->readAll())); });
            QObject::connect(in, &QTcpSocket::readyRead, [this] {
                model = nowNs();
                QMetaObject::invokeMethod(&b.window, [this] { view = nowNs(); }, Qt::QueuedConnection);
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
    row(QStringLiteral("1 latency p99, view updated"), us(fv.p99), QStringLiteral("plain %1").arg(us(pv.p99)), QStringLiteral("—"),
        QStringLiteral("%1× plain").arg(pv.p99 > 0 ? fv.p99 / pv.p99 : 0, 0, 'f', 2));
    if (!form.ok || !plain.ok || !raw.ok)
        g_notes.push_back(QStringLiteral("latency: a run did not complete (form %1, plain %2, raw %3)").arg(form.ok).arg(plain.ok).arg(raw.ok));
    g_notes.push_back(QStringLiteral("latency: %1 messages after %2 warm-up ones, one in flight at a time, the three paths taking turns; "
                                     "max %3 (form) / %4 (plain). \"model\": the receiving handler has put the entry in B's "
                                     "transcript model; \"view updated\": B's coalesced view update (new paragraph laid out in its "
                                     "QTextDocument) has run too; painting pixels is in neither.")
                          .arg(kMessages).arg(kWarmUp).arg(us(fv.max), us(pv.max)));
}

// ========================================================= 2. throughput
//
// A peer process writes as fast as the receiver takes it for 10 s. The
// receiver (the window, or the plain QTextEdit chat as baseline) runs in a
// process of its own so that its peak memory is its own.

constexpr int kFloodSeconds = 10;

// Helper: connects from `from` to `to`:49577 and writes printable text as fast
// as the other side reads it, for `seconds`; listens on from:49577 for the
// window's connect-back.
int runFlooder(const QHostAddress &from, const QHostAddress &to, int seconds)
{
    QTcpServer back;
    back.listen(from, Form1::PuertoChat);
    QObject::connect(&back, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *s = back.nextPendingConnection())
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->readAll(); });
    });
    const QByteArray text = printableText(1 << 20, 20261208);
    QTcpSocket out;
    out.bind(from, 0, QAbstractSocket::ReuseAddressHint);
    out.connectToHost(to, Form1::PuertoChat);
    if (!out.waitForConnected(5000)) {
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
    std::unique_ptr<Form1> window;
    std::unique_ptr<PlainWindow> plain;
    QTcpServer server;
    qint64 shownBytes = 0, firstNs = 0, lastNs = 0, entries = 0;
    qint64 worstLateNs = 0, lastTickNs = 0;
    qint64 seen = 0; // transcript length already counted

    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = nowNs();
        if (lastTickNs && firstNs)
            worstLateNs = std::max(worstLateNs, now - lastTickNs - 10000000);
        lastTickNs = now;
    });
    // Where the time of each entry goes: from the socket notifier's event
    // (Qt reads the socket, then the receiving handler runs) to the end of
    // the handler; then the view's update, posted by the handler.
    SocketActivity activity;
    QCoreApplication::instance()->installEventFilter(&activity);
    std::vector<qint64> handlerNs, viewNs;
    QObject dummy;
    auto arrived = [&](qint64 bytes) {
        lastNs = nowNs();
        if (!firstNs)
            firstNs = lastNs;
        shownBytes += bytes;
        ++entries;
        handlerNs.push_back(lastNs - activity.lastNs);
        QMetaObject::invokeMethod(&dummy, [&, at = lastNs] { viewNs.push_back(nowNs() - at); }, Qt::QueuedConnection);
    };

    if (form) {
        window = std::make_unique<Form1>(at);
        quietBoxes(*window);
        window->show();
        rich_text::RichTextBox &box = transcript(*window);
        QObject::connect(&recibe(*window), &connections::SocketArray::DataArrival, window.get(), [&] {
            const rich_text::Rope text = box.text();
            const QString added = text.mid(seen).toString();
            seen = text.length();
            arrived(QStringView(added).mid(added.startsWith(QStringLiteral("\r\n")) ? 2 : 0).toUtf8().size());
        });
    } else {
        plain = std::make_unique<PlainWindow>();
        plain->window.show();
        server.setListenBacklogSize(1024);
        server.listen(at, Form1::PuertoChat);
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                s->setReadBufferSize(connections::SocketControl::ReadBufferBytes);
                QObject::connect(s, &QTcpSocket::readyRead, s, [&, s] {
                    const QByteArray bytes = s->readAll();
                    plain->appendReceived(QString::fromUtf8(bytes));
                    arrived(bytes.size());
                });
            }
        });
    }
    waitUntil([] { return false; }, 300); // let the window settle
    const qint64 rssBefore = procStatus("VmRSS");
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
    qint64 transcriptUnits = 0;
    if (form)
        transcriptUnits = transcript(*window).text().length();
    else
        transcriptUnits = plain->log->document()->characterCount();
    const Spread handler = spread(handlerNs), view = spread(viewNs);
    say(QStringLiteral("done handler_med_ms=%1 handler_max_ms=%2 view_med_ms=%3 view_max_ms=%4 ")
            .arg(handler.median / 1000, 0, 'f', 1).arg(handler.max / 1000, 0, 'f', 1)
            .arg(view.median / 1000, 0, 'f', 1).arg(view.max / 1000, 0, 'f', 1)
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

QMap<QString, QString> floodOnce(const QString &kind, int receiverAddr, int peerAddr)
{
    Helper receiver({QStringLiteral("--receiver"), kind, addr(receiverAddr).toString()});
    if (receiver.await(QStringLiteral("ready"), 20000).isEmpty())
        return {};
    Helper flooder({QStringLiteral("--flood"), addr(peerAddr).toString(), addr(receiverAddr).toString(),
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
    const auto plain = floodOnce(QStringLiteral("plain"), 158, 159);
    const auto form = floodOnce(QStringLiteral("form"), 156, 157);
    auto rate = [](const QMap<QString, QString> &m) {
        const double s = m.value(QStringLiteral("seconds")).toDouble();
        return s > 0 ? m.value(QStringLiteral("bytes")).toDouble() / s / 1e6 : 0.0;
    };
    auto num = [](const QMap<QString, QString> &m, const char *k) { return m.value(QLatin1String(k)).toDouble(); };
    if (form.isEmpty() || plain.isEmpty()) {
        g_notes.push_back(QStringLiteral("throughput: a run did not complete (form %1, plain %2)").arg(!form.isEmpty()).arg(!plain.isEmpty()));
    }
    row(QStringLiteral("2 throughput shown in transcript"), QStringLiteral("%1 MB/s").arg(rate(form), 0, 'f', 2),
        QStringLiteral("plain %1 MB/s").arg(rate(plain), 0, 'f', 2), QStringLiteral("—"),
        QStringLiteral("%1× plain").arg(rate(plain) > 0 ? rate(form) / rate(plain) : 0, 0, 'f', 2));
    const double late = num(form, "worst_late_ms");
    row(QStringLiteral("2 worst 10 ms timer delay"), ms(late), QStringLiteral("plain %1").arg(ms(num(plain, "worst_late_ms"))),
        QStringLiteral("< 100 ms"), yesNo(!form.isEmpty() && late < 100));
    // The transcript's own size: its plain text as UTF-16, the form it is
    // kept in.
    const double ownKiB = num(form, "units") * 2 / 1024.0;
    const double addedKiB = num(form, "hwm") - num(form, "rss_before");
    const double plainOwnKiB = num(plain, "units") * 2 / 1024.0;
    const double plainAddedKiB = num(plain, "hwm") - num(plain, "rss_before");
    const double factor = ownKiB > 0 ? addedKiB / ownKiB : 0;
    const double plainFactor = plainOwnKiB > 0 ? plainAddedKiB / plainOwnKiB : 0;
    row(QStringLiteral("2 peak memory (VmHWM)"), mib(num(form, "hwm")), QStringLiteral("plain %1").arg(mib(num(plain, "hwm"))),
        QStringLiteral("—"), QStringLiteral("start %1, end %2").arg(mib(num(form, "rss_before")), mib(num(form, "rss"))));
    row(QStringLiteral("2 memory added / transcript size"),
        QStringLiteral("%1 / %2 = %3×").arg(mib(addedKiB), mib(ownKiB)).arg(factor, 0, 'f', 1),
        QStringLiteral("plain %1 / %2 = %3×").arg(mib(plainAddedKiB), mib(plainOwnKiB)).arg(plainFactor, 0, 'f', 1),
        QStringLiteral("transcript + const"), yesNo(!form.isEmpty() && factor <= std::max(2.0, 1.5 * plainFactor),
                                                     QStringLiteral("%1× plain's").arg(plainFactor > 0 ? factor / plainFactor : 0, 0, 'f', 2)));
    g_notes.push_back(QStringLiteral("throughput: form %1 bytes shown of %2 sent in %3 entries over %4 s; plain %5 of %6 in %7 entries over %8 s")
                          .arg(form.value(QStringLiteral("bytes")), form.value(QStringLiteral("sent")), form.value(QStringLiteral("entries")),
                               form.value(QStringLiteral("seconds")), plain.value(QStringLiteral("bytes")), plain.value(QStringLiteral("sent")),
                               plain.value(QStringLiteral("entries")), plain.value(QStringLiteral("seconds"))));
    g_notes.push_back(QStringLiteral("throughput: per entry (one read, up to %9 KiB), median/max: socket read and receiving handler %1/%2 ms "
                                     "(plain, layout included: %3/%4), then the view's update %5/%6 ms (plain: none, %7/%8)")
                          .arg(form.value(QStringLiteral("handler_med_ms")), form.value(QStringLiteral("handler_max_ms")),
                               plain.value(QStringLiteral("handler_med_ms")), plain.value(QStringLiteral("handler_max_ms")),
                               form.value(QStringLiteral("view_med_ms")), form.value(QStringLiteral("view_max_ms")),
                               plain.value(QStringLiteral("view_med_ms")), plain.value(QStringLiteral("view_max_ms")))
                          .arg(connections::SocketControl::ReadBufferBytes / 1024));
    g_notes.push_back(QStringLiteral("memory: \"added\" is VmHWM minus VmRSS before the flood; the transcript's own size is its plain text in UTF-16. "
                                     "Met when the window needs at most 1.5× the plain QTextEdit chat per transcript byte (or 2×)."));
}

// ========================================================= 3. accepting
//
// A crowd process opens 1,000 connections at once; the receiver (the window,
// or a plain QTcpServer keeping every socket as baseline) reports when the
// last one is accepted.

constexpr int kCrowd = 1000;

int runCrowd(const QHostAddress &from, const QHostAddress &to, int count)
{
    raiseOpenFileLimit();
    QTcpServer back; // the window's connect-back lands here
    back.listen(from, Form1::PuertoChat);
    QObject::connect(&back, &QTcpServer::newConnection, [&] {
        while (back.nextPendingConnection()) {
        }
    });
    std::vector<std::unique_ptr<QTcpSocket>> peers;
    peers.reserve(count);
    int connected = 0;
    const qint64 first = nowNs();
    for (int i = 0; i < count; ++i) {
        auto peer = std::make_unique<QTcpSocket>();
        peer->bind(from, 0, QAbstractSocket::ReuseAddressHint);
        QObject::connect(peer.get(), &QTcpSocket::connected, [&] { ++connected; });
        peer->connectToHost(to, Form1::PuertoChat);
        peers.push_back(std::move(peer));
    }
    say(QStringLiteral("first ns=%1").arg(first));
    waitUntil([&] { return connected == count; }, 20000);
    say(QStringLiteral("connected n=%1").arg(connected));
    waitUntil([] { return false; }, 30000); // held open until the bench ends it
    return 0;
}

int runAcceptor(const QString &kind, const QHostAddress &at, int count)
{
    raiseOpenFileLimit();
    std::unique_ptr<Form1> window;
    QTcpServer server;
    std::vector<QTcpSocket *> kept;
    int accepted = 0;
    qint64 lastNs = 0;
    if (kind == QLatin1String("form")) {
        window = std::make_unique<Form1>(at);
        quietBoxes(*window);
        window->show();
        // After the window's own handler: the slot is taken by then.
        QObject::connect(&recibe(*window), &connections::SocketArray::ConnectionRequest, window.get(), [&] {
            if (window->slotOcupado(accepted + 1)) {
                ++accepted;
                lastNs = nowNs();
            }
        });
    } else {
        server.setListenBacklogSize(1024);
        server.listen(at, Form1::PuertoChat);
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                s->setReadBufferSize(connections::SocketControl::ReadBufferBytes);
                kept.push_back(s);
                ++accepted;
                lastNs = nowNs();
            }
        });
    }
    waitUntil([] { return false; }, 300);
    const qint64 rssBefore = procStatus("VmRSS");
    say(QStringLiteral("ready rss=%1").arg(rssBefore));
    waitUntil([&] { return accepted >= count; }, 30000);
    waitUntil([] { return false; }, 200); // what the accepted sockets settle to
    say(QStringLiteral("done accepted=%1 last=%2 rss_before=%3 rss=%4 hwm=%5")
            .arg(accepted).arg(lastNs).arg(rssBefore).arg(procStatus("VmRSS")).arg(procStatus("VmHWM")));
    return 0;
}

QMap<QString, QString> acceptOnce(const QString &kind, int receiverAddr, int crowdAddr)
{
    Helper receiver({QStringLiteral("--acceptor"), kind, addr(receiverAddr).toString(), QString::number(kCrowd)});
    if (receiver.await(QStringLiteral("ready"), 20000).isEmpty())
        return {};
    Helper crowd({QStringLiteral("--crowd"), addr(crowdAddr).toString(), addr(receiverAddr).toString(), QString::number(kCrowd)});
    const auto first = crowd.await(QStringLiteral("first"), 20000);
    auto done = receiver.await(QStringLiteral("done"), 40000);
    done.insert(QStringLiteral("first"), first.value(QStringLiteral("ns")));
    return done;
}

void benchAccept()
{
    say(QStringLiteral("3. accepting %1 connections opened at once by another process").arg(kCrowd));
    const auto plain = acceptOnce(QStringLiteral("plain"), 162, 163);
    const auto form = acceptOnce(QStringLiteral("form"), 160, 161);
    auto seconds = [](const QMap<QString, QString> &m) {
        return (m.value(QStringLiteral("last")).toDouble() - m.value(QStringLiteral("first")).toDouble()) / 1e9;
    };
    auto added = [](const QMap<QString, QString> &m) {
        return m.value(QStringLiteral("rss")).toDouble() - m.value(QStringLiteral("rss_before")).toDouble();
    };
    const bool ok = form.value(QStringLiteral("accepted")).toInt() == kCrowd;
    row(QStringLiteral("3 accept 1000: first request → last accepted"), QStringLiteral("%1 s").arg(seconds(form), 0, 'f', 3),
        QStringLiteral("plain QTcpServer %1 s").arg(seconds(plain), 0, 'f', 3), QStringLiteral("< 1 s"),
        yesNo(ok && seconds(form) < 1.0));
    row(QStringLiteral("3 accept 1000: memory added (RSS)"),
        QStringLiteral("%1 (%2 → %3)").arg(mib(added(form)), mib(form.value(QStringLiteral("rss_before")).toDouble()),
                                           mib(form.value(QStringLiteral("rss")).toDouble())),
        QStringLiteral("plain %1").arg(mib(added(plain))), QStringLiteral("< 50 MiB"), yesNo(ok && added(form) < 50 * 1024));
    g_notes.push_back(QStringLiteral("accept: form accepted %1, plain %2; the crowd's first connect is timed in its own process")
                          .arg(form.value(QStringLiteral("accepted")), plain.value(QStringLiteral("accepted"))));
}

// ==================================================== 4. start-up and idle
//
// Start-up is measured from the moment the bench calls QProcess::start (so
// fork, exec and loading the libraries are included) to the end of the
// window's first paint pass in the new process (the window and every
// control painted once into the offscreen backing store).

class FirstPaint : public QObject {
public:
    explicit FirstPaint(std::function<void()> done) : done_(std::move(done)) {}

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            // The controls are painted in the same pass, right after the
            // window itself: the posted call runs once the pass is over.
            QMetaObject::invokeMethod(this, done_, Qt::QueuedConnection);
        }
        return false;
    }

private:
    std::function<void()> done_;
    bool seen_ = false;
};

// The plain window of the same look: the same controls, a caption timer.
struct PlainForm {
    QWidget window;
    QTimer caption;
    PlainForm()
    {
        auto *layout = new QVBoxLayout(&window);
        auto *top = new QWidget(&window);
        auto *row = new QHBoxLayout(top);
        row->addWidget(new QLineEdit(QStringLiteral("127.0.0.1"), top));
        row->addWidget(new QPushButton(QStringLiteral("Conectar"), top));
        row->addWidget(new QPushButton(QStringLiteral("Desconectar"), top));
        row->addWidget(new QPushButton(QStringLiteral("?"), top));
        layout->addWidget(top);
        layout->addWidget(new QTextEdit(&window));
        auto *input = new QLineEdit(&window);
        layout->addWidget(input);
        layout->addWidget(new QPushButton(QStringLiteral("Enviar"), &window));
        window.resize(385, 391);
        input->setFocus();
        caption.setInterval(500);
        QObject::connect(&caption, &QTimer::timeout, &window, [this] {
            window.setWindowTitle(QStringLiteral("127.0.0.1 - Desconectado"));
        });
        caption.start();
    }
};

qint64 g_mainNs = 0; // when main() was entered

int runWindow(const QString &kind, const QHostAddress &at, int idleSeconds)
{
    const qint64 mainNs = g_mainNs;
    std::unique_ptr<Form1> form;
    std::unique_ptr<PlainForm> plain;
    QWidget *window = nullptr;
    if (kind == QLatin1String("form")) {
        form = std::make_unique<Form1>(at);
        quietBoxes(*form);
        window = form.get();
    } else {
        plain = std::make_unique<PlainForm>();
        window = &plain->window;
    }
    qint64 shownNs = 0;
    FirstPaint watch([&] { shownNs = nowNs(); });
    window->installEventFilter(&watch);
    window->show();
    waitUntil([&] { return shownNs != 0; }, 20000);
    if (idleSeconds <= 0) {
        say(QStringLiteral("shown main=%1 painted=%2").arg(mainNs).arg(shownNs));
        return 0;
    }
    // Idle: nothing happens but what the window does by itself.
    int ticks = 0;
    QTimer *caption = form ? child<QTimer>(*form, "Timer1") : &plain->caption;
    QObject::connect(caption, &QTimer::timeout, [&] { ++ticks; });
    waitUntil([] { return false; }, 1000);
    auto cpuUs = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
    };
    const qint64 cpu0 = cpuUs();
    const qint64 wake0 = procStatus("voluntary_ctxt_switches");
    ticks = 0;
    QElapsedTimer clock;
    clock.start();
    // Sleep in the event loop without a timer of our own.
    QEventLoop loop;
    QTimer::singleShot(idleSeconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const qint64 cpu1 = cpuUs();
    const qint64 wake1 = procStatus("voluntary_ctxt_switches");
    say(QStringLiteral("idle cpu_us=%1 wakeups=%2 ticks=%3 ms=%4").arg(cpu1 - cpu0).arg(wake1 - wake0).arg(ticks).arg(clock.elapsed()));
    return 0;
}

void benchStartup()
{
    constexpr int kStarts = 10;
    constexpr int kIdleSeconds = 10;
    say(QStringLiteral("4. start-up (%1 starts each) and idle CPU over %2 s").arg(kStarts).arg(kIdleSeconds));
    std::vector<qint64> form, plain, formMain, plainMain;
    for (int i = 0; i < kStarts; ++i) {
        for (const bool isForm : {false, true}) {
            Helper w({QStringLiteral("--window"), isForm ? QStringLiteral("form") : QStringLiteral("plain"),
                      addr(isForm ? 164 : 165).toString(), QStringLiteral("0")});
            const auto shown = w.await(QStringLiteral("shown"), 20000);
            w.finish(5000);
            if (shown.isEmpty())
                continue;
            const qint64 painted = shown.value(QStringLiteral("painted")).toLongLong();
            (isForm ? form : plain).push_back(painted - w.startedNs());
            (isForm ? formMain : plainMain).push_back(painted - shown.value(QStringLiteral("main")).toLongLong());
        }
    }
    const Spread f = spread(form), p = spread(plain), fm = spread(formMain), pm = spread(plainMain);
    row(QStringLiteral("4 start-up: start → window painted (median)"), ms(f.median / 1000),
        QStringLiteral("plain window %1").arg(ms(p.median / 1000)), QStringLiteral("—"),
        QStringLiteral("%1× plain").arg(p.median > 0 ? f.median / p.median : 0, 0, 'f', 2));
    row(QStringLiteral("4 start-up: main() → window painted (median)"), ms(fm.median / 1000),
        QStringLiteral("plain window %1").arg(ms(pm.median / 1000)), QStringLiteral("—"),
        QStringLiteral("slowest start %1").arg(ms(f.max / 1000)));

    // Both idle windows side by side: neither does anything, so they do not
    // disturb each other, and the run takes 10 s instead of 20.
    Helper idleForm({QStringLiteral("--window"), QStringLiteral("form"), addr(166).toString(), QString::number(kIdleSeconds)});
    Helper idlePlain({QStringLiteral("--window"), QStringLiteral("plain"), addr(167).toString(), QString::number(kIdleSeconds)});
    const auto fi = idleForm.await(QStringLiteral("idle"), (kIdleSeconds + 30) * 1000);
    const auto pi = idlePlain.await(QStringLiteral("idle"), (kIdleSeconds + 30) * 1000);
    const double fCpu = fi.value(QStringLiteral("cpu_us")).toDouble() / 1000;
    const double pCpu = pi.value(QStringLiteral("cpu_us")).toDouble() / 1000;
    const int fWake = fi.value(QStringLiteral("wakeups")).toInt();
    const int pWake = pi.value(QStringLiteral("wakeups")).toInt();
    const double percent = fCpu / (kIdleSeconds * 10.0);
    row(QStringLiteral("4 idle CPU over 10 s, window open"),
        QStringLiteral("%1 (%2%)").arg(ms(fCpu)).arg(percent, 0, 'f', 3),
        QStringLiteral("plain window %1").arg(ms(pCpu)), QStringLiteral("—"),
        QStringLiteral("%1× plain").arg(pCpu > 0 ? fCpu / pCpu : 0, 0, 'f', 2));
    row(QStringLiteral("4 idle wake-ups over 10 s (caption ticks)"),
        QStringLiteral("%1 (%2 ticks)").arg(fWake).arg(fi.value(QStringLiteral("ticks"))),
        QStringLiteral("plain window %1 (%2 ticks)").arg(pWake).arg(pi.value(QStringLiteral("ticks"))),
        QStringLiteral("caption ticks only"), yesNo(!fi.isEmpty() && fWake <= pWake + 5 && fWake <= fi.value(QStringLiteral("ticks")).toInt() + 5));
    g_notes.push_back(QStringLiteral("start-up: from QProcess::start in the bench (fork, exec, libraries) to the end of the window's first "
                                     "paint pass offscreen; the bench's own binary in a window mode, bound to 127.0.0.164, "
                                     "because build/varlo-zintabel listens on every address."));
    g_notes.push_back(QStringLiteral("idle: CPU from getrusage, wake-ups are voluntary context switches from /proc/self/status, "
                                     "after 1 s of settling; both windows keep their 500 ms caption timer. Met when the window wakes at most 5 times more "
                                     "than its caption ticks and than the plain window."));
}

// ================================================================= main

int runAll(const QStringList &groups)
{
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    loadavg.open(QIODevice::ReadOnly);
    say(QStringLiteral("chat_bench on %1 CPUs, %2, %3, Qt %4, QT_QPA_PLATFORM=%5, load average %6")
            .arg(QThread::idealThreadCount())
            .arg(cpuModel(), QSysInfo::prettyProductName(), QString::fromLatin1(qVersion()),
                 qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("(default)")),
                 QString::fromLatin1(loadavg.readAll().split(' ').mid(0, 3).join(' '))));
    auto wanted = [&](const char *g) { return groups.isEmpty() || groups.contains(QLatin1String(g)); };
    if (wanted("latency"))
        benchLatency();
    if (wanted("throughput"))
        benchThroughput();
    if (wanted("accept"))
        benchAccept();
    if (wanted("startup"))
        benchStartup();
    printTable();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    g_mainNs = nowNs();
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    auto arg = [&](int i) { return i < argc ? QString::fromLocal8Bit(argv[i]) : QString(); };
    // Peers need no window system.
    if (mode == QLatin1String("--flood") || mode == QLatin1String("--crowd")) {
        QCoreApplication app(argc, argv);
        if (mode == QLatin1String("--flood"))
            return runFlooder(QHostAddress(arg(2)), QHostAddress(arg(3)), arg(4).toInt());
        return runCrowd(QHostAddress(arg(2)), QHostAddress(arg(3)), arg(4).toInt());
    }
    QApplication app(argc, argv);
    if (mode == QLatin1String("--receiver"))
        return runReceiver(arg(2), QHostAddress(arg(3)));
    if (mode == QLatin1String("--acceptor"))
        return runAcceptor(arg(2), QHostAddress(arg(3)), arg(4).toInt());
    if (mode == QLatin1String("--window"))
        return runWindow(arg(2), QHostAddress(arg(3)), arg(4).toInt());
    QStringList groups;
    for (int i = 1; i < argc; ++i)
        groups << arg(i);
    return runAll(groups);
}
