// The Windows build's baselines and probes for bench/copy_figures.py, run
// under Wine beside the Windows copy: built with the same Windows Qt, so
// that what the copy costs is told apart from what Wine and Qt cost.
//
//   wine_baseline sink ADDRESS       a bare QTcpServer on ADDRESS:49577 whose
//                                    connections are read with readAll() on
//                                    each readyRead, and the bytes dropped
//   wine_baseline sender PEER        a bare window with a line edit whose
//                                    Enter writes its text to PEER:49577
//   wine_baseline bare               a bare window, for start-up and memory
//   wine_baseline answering ADDRESS PEER SECONDS
//                                    the chat's own window bound to ADDRESS,
//                                    linked to PEER: while the peer floods it,
//                                    a 10 ms timer's lateness and a line typed
//                                    every 250 ms; prints "answering WORST_MS
//                                    TYPED SHOWN_BYTES" after SECONDS
// Each window's title holds " - ", as the copy's caption does, so that the
// driver finds it the same way.

#include "support/window.h"

#include "connections/lingering_connections.h"
#include "rich_text/rich_text_box.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace {

constexpr quint16 kPort = 49577;

int sink(const QHostAddress &address)
{
    QTcpServer server;
    if (!server.listen(address, kPort))
        return 2;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *s = server.nextPendingConnection())
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->readAll(); });
    });
    QWidget window;
    window.setWindowTitle(QStringLiteral("sink - raw"));
    window.show();
    return QApplication::exec();
}

int sender(const QHostAddress &peer)
{
    QTcpSocket socket;
    socket.connectToHost(peer, kPort);
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QLineEdit box;
    box.setWindowTitle(QStringLiteral("sender - raw"));
    box.resize(300, 30);
    QObject::connect(&box, &QLineEdit::returnPressed, [&] {
        socket.write(box.text().toUtf8());
        box.clear();
    });
    box.show();
    return QApplication::exec();
}

int bare()
{
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare - Qt"));
    window.resize(385, 391);
    window.show();
    return QApplication::exec();
}

int answering(const QHostAddress &address, const QString &peer, int seconds)
{
    connections::LingeringConnections lingering; // outlives the window
    Form1 window(lingering, address);
    window.show();
    support::connectTo(window, peer);
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, worst = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (last)
            worst = std::max(worst, now - last - 10'000'000);
        last = now;
    });
    tick.start(10);
    int typed = 0;
    QTimer typing;
    QObject::connect(&typing, &QTimer::timeout,
                     [&] { support::typeAndEnter(window, QStringLiteral("#%1;").arg(typed++)); });
    typing.start(250);
    QTimer::singleShot(seconds * 1000, [&] {
        std::printf("answering %.1f %d %lld\n", worst / 1e6, typed,
                    qlonglong(support::transcript(window).text().length()));
        std::fflush(stdout);
        QApplication::quit();
    });
    return QApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList a = QApplication::arguments();
    const QString mode = a.value(1);
    if (mode == u"sink")
        return sink(QHostAddress(a.value(2)));
    if (mode == u"sender")
        return sender(QHostAddress(a.value(2)));
    if (mode == u"bare")
        return bare();
    if (mode == u"answering")
        return answering(QHostAddress(a.value(2)), a.value(3), a.value(4).toInt());
    std::fprintf(stderr, "usage: wine_baseline sink ADDRESS | sender PEER | bare | answering ADDRESS PEER SECONDS\n");
    return 2;
}
