// 3. accepting
//
// A crowd process opens 1,000 connections at once; the receiver (the window,
// or a plain QTcpServer keeping every socket as baseline) reports when the
// last one is accepted.

#include "support.h"

#include <QTcpServer>
#include <QTcpSocket>

#include "connections/open_file_limit.h"

#include <memory>

namespace chat_bench {
namespace {

constexpr int kCrowd = 1000;
// The crowd's sockets or the receiver's, with room to spare.
constexpr int kDescriptors = 8192;

int runCrowd(const QHostAddress &from, const QHostAddress &to, int count)
{
    connections::raiseOpenFileLimit(kDescriptors);
    QTcpServer back; // the window's connect-back lands here
    back.listen(from, Form1::PuertoChat);
    QObject::connect(&back, &QTcpServer::newConnection, [&] {
        while (back.nextPendingConnection()) { }
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
    connections::raiseOpenFileLimit(kDescriptors);
    connections::LingeringConnections lingering; // outlives the window
    std::unique_ptr<Form1> window;
    QTcpServer server;
    std::vector<QTcpSocket *> kept;
    int accepted = 0;
    qint64 lastNs = 0;
    if (kind == QLatin1String("form")) {
        window = std::make_unique<Form1>(lingering, at);
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
                s->setReadBufferSize(connections::SocketControl::readBufferBytes());
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
            .arg(accepted)
            .arg(lastNs)
            .arg(rssBefore)
            .arg(procStatus("VmRSS"))
            .arg(procStatus("VmHWM")));
    return 0;
}

QMap<QString, QString> acceptOnce(const QString &kind, Ends at)
{
    Helper receiver({QStringLiteral("--acceptor"), kind, addr(at.window).toString(), QString::number(kCrowd)});
    if (receiver.await(QStringLiteral("ready"), 20000).isEmpty())
        return {};
    Helper crowd(
        {QStringLiteral("--crowd"), addr(at.peer).toString(), addr(at.window).toString(), QString::number(kCrowd)});
    const auto first = crowd.await(QStringLiteral("first"), 20000);
    auto done = receiver.await(QStringLiteral("done"), 40000);
    done.insert(QStringLiteral("first"), first.value(QStringLiteral("ns")));
    return done;
}

void benchAccept()
{
    say(QStringLiteral("3. accepting %1 connections opened at once by another process").arg(kCrowd));
    const auto plain = acceptOnce(QStringLiteral("plain"), loopback::kAcceptPlain);
    const auto form = acceptOnce(QStringLiteral("form"), loopback::kAcceptForm);
    auto seconds = [](const QMap<QString, QString> &m) {
        return (m.value(QStringLiteral("last")).toDouble() - m.value(QStringLiteral("first")).toDouble()) / 1e9;
    };
    auto added = [](const QMap<QString, QString> &m) {
        return m.value(QStringLiteral("rss")).toDouble() - m.value(QStringLiteral("rss_before")).toDouble();
    };
    const bool ok = form.value(QStringLiteral("accepted")).toInt() == kCrowd;
    row(QStringLiteral("3 accept 1000: first request → last accepted"),
        QStringLiteral("%1 s").arg(seconds(form), 0, 'f', 3),
        QStringLiteral("plain QTcpServer %1 s").arg(seconds(plain), 0, 'f', 3), QStringLiteral("< 1 s"),
        yesNo(ok && seconds(form) < 1.0));
    row(QStringLiteral("3 accept 1000: memory added (RSS)"),
        QStringLiteral("%1 (%2 → %3)")
            .arg(mib(added(form)), mib(form.value(QStringLiteral("rss_before")).toDouble()),
                 mib(form.value(QStringLiteral("rss")).toDouble())),
        QStringLiteral("plain %1").arg(mib(added(plain))), QStringLiteral("< 50 MiB"),
        yesNo(ok && added(form) < 50 * 1024));
    note(QStringLiteral("accept: form accepted %1, plain %2; the crowd's first connect is timed in its own process")
             .arg(form.value(QStringLiteral("accepted")), plain.value(QStringLiteral("accepted"))));
}

const GroupRegistration
    registration({3,
                  "accept",
                  benchAccept,
                  {{"--crowd", false,
                    [](const QStringList &a) {
                        return runCrowd(QHostAddress(a.value(0)), QHostAddress(a.value(1)), a.value(2).toInt());
                    }},
                   {"--acceptor", true, [](const QStringList &a) {
                        return runAcceptor(a.value(0), QHostAddress(a.value(1)), a.value(2).toInt());
                    }}}});

} // namespace
} // namespace chat_bench
