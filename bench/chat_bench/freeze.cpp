// 5. answering under floods
//
// A peer process sends what froze windows that laid out their whole
// transcript: half a megabyte of line feeds at once, a megabyte of CR LF,
// and floods at full speed of ASCII, of line feeds and of mixed Hebrew and
// Latin text. Meanwhile and afterwards a line is typed into the window every
// quarter of a second, and the peer notes when it arrives; a 10 ms timer in
// the window notes how late it fires. The window (or the plain QTextEdit chat,
// as baseline) runs in a process of its own.
//
// Last, a 1 MB token without spaces is pasted into the input box and sent:
// the time from Enter until it is sent and shown.

#include "support.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace chat_bench {
namespace {

constexpr int kFloodSeconds = 60;
constexpr int kAfterSeconds = 5;
constexpr int kTypeEveryMs = 250;
constexpr int kAnswerMs = 500; // a typed line must reach the peer within this
constexpr int kLateMs = 100;   // the 10 ms timer may be this late at most

struct Scenario {
    const char *name;
    const char *mode; // the peer's: burst or flood
    const char *text; // lf, crlf, ascii, hebrew
    int amount;       // bytes for a burst, seconds for a flood
};

const Scenario kScenarios[] = {
    {"512 KiB of LF at once", "burst", "lf", 512 * 1024},
    {"1 MiB of CR LF at once", "burst", "crlf", 1024 * 1024},
    {"60 s flood of ASCII", "flood", "ascii", kFloodSeconds},
    {"60 s flood of LF", "flood", "lf", kFloodSeconds},
    {"60 s flood of Hebrew and Latin", "flood", "hebrew", kFloodSeconds},
};

QByteArray textOf(const QString &kind, qsizetype bytes)
{
    if (kind == QLatin1String("lf"))
        return repeatedText("\n", bytes);
    if (kind == QLatin1String("crlf"))
        return repeatedText("\r\n", bytes);
    if (kind == QLatin1String("hebrew"))
        return hebrewAndLatinText(bytes);
    return asciiText(bytes);
}

// Helper: the peer. Listens on `from` for the window's link back and says
// "heard n=N ns=T" for each typed line "T<N>;" it reads there; connects from
// `from` to `to` and sends a burst, or floods for some seconds as fast as the
// window reads. Ends when its standard input does.
int runPeer(const QStringList &a)
{
    const QHostAddress from(a.value(0)), to(a.value(1));
    const QString mode = a.value(2), kind = a.value(3);
    const int amount = a.value(4).toInt();
    QTcpServer back;
    back.listen(from, Form1::PuertoChat);
    QByteArray heard;
    QObject::connect(&back, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *s = back.nextPendingConnection()) {
            say(QStringLiteral("back"));
            QObject::connect(s, &QTcpSocket::readyRead, s, [&, s] {
                heard += s->readAll();
                qsizetype end;
                while ((end = heard.indexOf(';')) >= 0) {
                    const qsizetype start = heard.lastIndexOf('T', end);
                    if (start >= 0)
                        say(QStringLiteral("heard n=%1 ns=%2")
                                .arg(QString::fromLatin1(heard.mid(start + 1, end - start - 1)))
                                .arg(nowNs()));
                    heard.remove(0, end + 1);
                }
            });
        }
    });
    QTcpSocket out;
    if (!connectToChat(out, from, to)) {
        say(QStringLiteral("connected error=1"));
        return 1;
    }
    say(QStringLiteral("connected"));
    bool done = false;
    StdinLines input([&](const QByteArray &line) {
        if (line == "eof")
            done = true;
        else if (line == "start" && mode == QLatin1String("burst"))
            out.write(textOf(kind, amount));
        else if (line == "start") {
            const QByteArray text = textOf(kind, 1 << 20);
            qint64 at = 0;
            auto *writing = new bool(true);
            auto topUp = [&out, text, at, writing]() mutable {
                while (*writing && out.bytesToWrite() < (1 << 20)) {
                    const qint64 n = std::min<qint64>(64 * 1024, text.size() - at);
                    out.write(text.constData() + at, n);
                    at = (at + n) % text.size();
                }
            };
            QObject::connect(&out, &QTcpSocket::bytesWritten, topUp);
            topUp();
            QTimer::singleShot(amount * 1000, [writing] { *writing = false; });
        }
    });
    waitUntil([&] { return done; }, 3600 * 1000);
    return 0;
}

// Helper: the window (or the plain chat) under test. "ready" once it listens;
// then "type T<N>;" types a line and presses Enter, "measure" starts the 10 ms
// timer's watch, "report" prints how late it fired at worst.
int runAnswering(const QStringList &a)
{
    const bool form = a.value(0) == QLatin1String("form");
    const QHostAddress at(a.value(1));
    connections::LingeringConnections lingering; // outlives the window
    std::unique_ptr<Form1> window;
    std::unique_ptr<PlainWindow> plain;
    QTcpServer server;
    QTcpSocket link; // the plain chat's own link back to its first peer
    if (form) {
        window = std::make_unique<Form1>(lingering, at);
        quietBoxes(*window);
        window->show();
    } else {
        plain = std::make_unique<PlainWindow>();
        plain->window.show();
        server.listen(at, Form1::PuertoChat);
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                s->setReadBufferSize(connections::SocketControl::readBufferBytes());
                if (link.state() == QAbstractSocket::UnconnectedState) {
                    link.bind(at, 0);
                    link.connectToHost(s->peerAddress(), Form1::PuertoChat);
                }
                QObject::connect(s, &QTcpSocket::readyRead, s,
                                 [&, s] { plain->appendReceived(QString::fromUtf8(s->readAll())); });
            }
        });
    }
    qint64 worstLateNs = 0, lastTickNs = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = nowNs();
        if (lastTickNs)
            worstLateNs = std::max(worstLateNs, now - lastTickNs - 10000000);
        lastTickNs = now;
    });
    QLineEdit *box = form ? lineEdit(*window, "TxtMensaje") : plain->input;
    StdinLines input([&](const QByteArray &line) {
        if (line.startsWith("type ")) {
            const QString text = QString::fromUtf8(line.mid(5));
            if (form) {
                box->setText(text);
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
                QCoreApplication::sendEvent(box, &press);
            } else {
                link.write(text.toUtf8());
                plain->appendReceived(text);
            }
        } else if (line == "await-link") {
            // The peer has taken the link back; this side may not know yet.
            waitUntil(
                [&] {
                    return form ? envia(*window).State() == connections::Connected
                                : link.state() == QAbstractSocket::ConnectedState;
                },
                10000);
            say(QStringLiteral("linked"));
        } else if (line == "measure") {
            tick.start();
        } else if (line == "report") {
            say(QStringLiteral("late worst_ms=%1").arg(worstLateNs / 1e6, 0, 'f', 1));
        } else if (line == "eof") {
            QCoreApplication::quit();
        }
    });
    say(QStringLiteral("ready"));
    return QCoreApplication::exec();
}

struct Answering {
    bool complete = false;
    int typed = 0;
    int answered = 0;
    double worstAnswerMs = 0;
    double worstLateMs = 0;
};

Answering runScenario(const Scenario &s, const QString &kind, Ends at)
{
    Answering r;
    Helper window({QStringLiteral("--answering"), kind, addr(at.window).toString()});
    if (window.await(QStringLiteral("ready"), 20000).isEmpty())
        return r;
    Helper peer({QStringLiteral("--peer"), addr(at.peer).toString(), addr(at.window).toString(),
                 QString::fromLatin1(s.mode), QString::fromLatin1(s.text), QString::number(s.amount)});
    if (peer.await(QStringLiteral("connected"), 10000).isEmpty() || peer.await(QStringLiteral("back"), 10000).isEmpty())
        return r;
    window.tell("await-link");
    if (window.await(QStringLiteral("linked"), 15000).isEmpty())
        return r;
    window.tell("measure");
    peer.tell("start");
    const int seconds = (QLatin1String(s.mode) == QLatin1String("flood") ? s.amount : 0) + kAfterSeconds;
    std::vector<qint64> typedNs;
    for (qint64 end = nowNs() + qint64(seconds) * 1000000000; nowNs() < end;) {
        typedNs.push_back(nowNs());
        window.tell(QStringLiteral("type T%1;").arg(typedNs.size() - 1).toUtf8());
        waitUntil([] { return false; }, kTypeEveryMs);
    }
    // Lines still unanswered get one more second; a window that froze answers none.
    waitUntil([] { return false; }, 1000);
    r.typed = int(typedNs.size());
    for (int n = 0; n < r.typed; ++n) {
        const auto heard = peer.line(QStringLiteral("heard n=%1").arg(n));
        if (heard.isEmpty()) {
            r.worstAnswerMs = std::max(r.worstAnswerMs, double(nowNs() - typedNs[size_t(n)]) / 1e6);
            continue;
        }
        ++r.answered;
        r.worstAnswerMs
            = std::max(r.worstAnswerMs, (heard.value(QStringLiteral("ns")).toLongLong() - typedNs[size_t(n)]) / 1e6);
    }
    window.tell("report");
    const auto late = window.await(QStringLiteral("late"), 5000);
    r.complete = !late.isEmpty();
    r.worstLateMs = late.isEmpty() ? qInf() : late.value(QStringLiteral("worst_ms")).toDouble();
    return r;
}

QString describe(const Answering &r)
{
    if (!r.complete && r.answered == 0)
        return QStringLiteral("froze");
    return QStringLiteral("%1/%2 lines, worst %3; timer %4")
        .arg(r.answered)
        .arg(r.typed)
        .arg(ms(r.worstAnswerMs), r.complete ? ms(r.worstLateMs) : QStringLiteral("no answer"));
}

// Helper: a window pastes a 1 MB token and sends it to a peer that reads it all.
int runPaste(const QStringList &a)
{
    const QHostAddress at(a.value(0)), peerAt(a.value(1));
    const bool form = a.value(2) == QLatin1String("form");
    QTcpServer peer;
    peer.listen(peerAt, Form1::PuertoChat);
    qint64 received = 0;
    QObject::connect(&peer, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *s = peer.nextPendingConnection())
            QObject::connect(s, &QTcpSocket::readyRead, s, [&, s] { received += s->readAll().size(); });
    });
    const QString token(1000000, u'x');
    QGuiApplication::clipboard()->setText(token);
    auto pasteInto = [](QLineEdit *box) {
        box->setFocus();
        QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
        QCoreApplication::sendEvent(box, &paste);
    };
    qint64 pasteNs = 0, shownNs = 0;
    // Waits for the peer to have the whole token, then tells the bench.
    auto report = [&](qint64 enterNs) {
        waitUntil([&] { return received >= token.size(); }, 60000);
        say(QStringLiteral("pasted paste_ms=%1 shown_ms=%2 sent_ms=%3 received=%4")
                .arg(pasteNs / 1e6, 0, 'f', 1)
                .arg(shownNs / 1e6, 0, 'f', 1)
                .arg((nowNs() - enterNs) / 1e6, 0, 'f', 1)
                .arg(received));
        return 0;
    };
    if (form) {
        connections::LingeringConnections lingering;
        Form1 window(lingering, at);
        quietBoxes(window);
        window.show();
        lineEdit(window, "TxtIp")->setText(peerAt.toString());
        button(window, "CmdConectar")->click();
        waitUntil([&] { return envia(window).State() == connections::Connected; }, 5000);
        QLineEdit *box = lineEdit(window, "TxtMensaje");
        const qint64 t0 = nowNs();
        pasteInto(box);
        pasteNs = nowNs() - t0;
        const qint64 t1 = nowNs();
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
        QCoreApplication::sendEvent(box, &enter);
        rich_text::RichTextBox &shown = transcript(window);
        waitUntil([&] { return !shown.updatePending(); }, 60000);
        shown.viewport()->repaint();
        shownNs = nowNs() - t1;
        return report(t1);
    }
    PlainWindow plainWindow;
    plainWindow.window.show();
    QTcpSocket link;
    connectToChat(link, at, peerAt);
    const qint64 t0 = nowNs();
    pasteInto(plainWindow.input);
    pasteNs = nowNs() - t0;
    const qint64 t1 = nowNs();
    link.write(plainWindow.input->text().toUtf8());
    plainWindow.appendReceived(plainWindow.input->text());
    plainWindow.input->clear();
    plainWindow.log->verticalScrollBar()->setValue(plainWindow.log->verticalScrollBar()->maximum());
    plainWindow.log->viewport()->repaint();
    shownNs = nowNs() - t1;
    return report(t1);
}

QString pasteFigure(const QMap<QString, QString> &m)
{
    if (m.isEmpty())
        return QStringLiteral("over 2 min");
    return QStringLiteral("%1 ms").arg(m.value(QStringLiteral("shown_ms")));
}

void benchFreeze()
{
    say(QStringLiteral("5. answering: bursts and %1 s floods from a peer; a line typed every %2 ms")
            .arg(kFloodSeconds)
            .arg(kTypeEveryMs));
    for (const Scenario &s : kScenarios) {
        const Answering form = runScenario(s, QStringLiteral("form"), loopback::kAnswerForm);
        const Answering plain = runScenario(s, QStringLiteral("plain"), loopback::kAnswerPlain);
        const bool met = form.complete && form.answered == form.typed && form.worstAnswerMs < kAnswerMs
            && form.worstLateMs < kLateMs;
        row(QStringLiteral("5 %1: typed lines answered, timer").arg(QLatin1String(s.name)), describe(form),
            QStringLiteral("plain %1").arg(describe(plain)),
            QStringLiteral("< %1 ms, < %2 ms").arg(kAnswerMs).arg(kLateMs), yesNo(met));
    }
    Helper form({QStringLiteral("--paste"), addr(loopback::kPasteForm.window).toString(),
                 addr(loopback::kPasteForm.peer).toString(), QStringLiteral("form")});
    const auto pastedForm = form.await(QStringLiteral("pasted"), 120000);
    Helper plain({QStringLiteral("--paste"), addr(loopback::kPastePlain.window).toString(),
                  addr(loopback::kPastePlain.peer).toString(), QStringLiteral("plain")});
    const auto pastedPlain = plain.await(QStringLiteral("pasted"), 120000);
    const double shown = pastedForm.value(QStringLiteral("shown_ms")).toDouble();
    row(QStringLiteral("5 1 MB token pasted: Enter → sent and shown"), pasteFigure(pastedForm),
        QStringLiteral("plain %1").arg(pasteFigure(pastedPlain)), QStringLiteral("< 1 s"),
        yesNo(!pastedForm.isEmpty() && shown < 1000
              && pastedForm.value(QStringLiteral("received")).toInt() == 1000000));
    note(QStringLiteral(
             "answering: each line typed is timed from the keystroke to its arrival at the peer; a line with no "
             "answer counts with the time waited. The timer figure is the worst delay of a 10 ms timer in the "
             "window over the whole run (flood, then %1 s more). \"froze\": no answer at all. Pasting the token "
             "into the input box took %2 ms (plain: %3 ms); the peer had all of it %4 ms after Enter.")
             .arg(kAfterSeconds)
             .arg(pastedForm.value(QStringLiteral("paste_ms")), pastedPlain.value(QStringLiteral("paste_ms")),
                  pastedForm.value(QStringLiteral("sent_ms"))));
}

const GroupRegistration
    registration({5,
                  "answering",
                  benchFreeze,
                  {{"--peer", false, runPeer}, {"--answering", true, runAnswering}, {"--paste", true, runPaste}}});

} // namespace
} // namespace chat_bench
