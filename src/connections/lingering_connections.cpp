#include "connections/lingering_connections.h"

#include "connections/native_socket.h"
#include "connections/socket_control.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

#include <vector>

namespace connections {

namespace {

// The kernel tells nothing when the peer acknowledges data: look this often.
constexpr int kCheckEveryMs = 50;

// Bytes written on the connection that the peer may not have yet: what Qt
// still holds plus, where the kernel tells, what it has not seen
// acknowledged, the FIN included once it is sent. Where the kernel does not
// count them (Windows), `known` says whether it has told that none are left.
struct Outstanding {
    qint64 bytes = 0;
    bool known = false;
};

Outstanding outstanding(QTcpSocket *socket)
{
    const std::optional<qint64> inKernel = native_socket::unacknowledged(socket->socketDescriptor());
    return {socket->bytesToWrite() + inKernel.value_or(0), inKernel.has_value()};
}

} // namespace

LingeringConnections::LingeringConnections(QObject *parent)
    : QObject(parent)
    , m_checkTimer(new QTimer(this))
{
    m_checkTimer->setInterval(kCheckEveryMs);
    connect(m_checkTimer, &QTimer::timeout, this, &LingeringConnections::check);
}

LingeringConnections::~LingeringConnections()
{
    while (!m_sockets.empty())
        reset(m_sockets.begin()->first);
}

void LingeringConnections::adopt(QTcpSocket *socket)
{
    // Not valid: the peer's end or an error has just closed it, and Qt is
    // still telling about it.
    if (socket->state() != QAbstractSocket::ConnectedState || !socket->isValid()) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    socket->setParent(this);
    socket->readAll();
    connect(socket, &QTcpSocket::readyRead, this, [socket] { socket->readAll(); });
    // The peer's end of the stream: Qt closes the socket once its own
    // buffer is written.
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { end(socket); });
    Progress &progress = m_sockets[socket];
    progress.unacknowledged = outstanding(socket).bytes;
    progress.since.start();
    checkOne(socket, progress);
    if (!m_sockets.empty())
        m_checkTimer->start();
}

void LingeringConnections::check()
{
    std::vector<QTcpSocket *> sockets;
    for (const auto &[socket, progress] : m_sockets)
        sockets.push_back(socket);
    for (QTcpSocket *socket : sockets) {
        auto found = m_sockets.find(socket);
        if (found != m_sockets.end())
            checkOne(socket, found->second);
    }
}

void LingeringConnections::checkOne(QTcpSocket *socket, Progress &progress)
{
    if (socket->state() == QAbstractSocket::UnconnectedState || !socket->isValid()) {
        end(socket); // failed or reset by the peer
        return;
    }
    // All handed to the kernel: it sends the FIN after the data. (Once the
    // peer has ended its side, Qt is closing and does this itself.)
    if (!progress.finSent && socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() == 0) {
        native_socket::endSending(socket->socketDescriptor());
        progress.finSent = true;
    }
    const Outstanding left = outstanding(socket);
    if (progress.finSent && left.bytes == 0 && left.known) {
        end(socket); // the peer has everything, and the end of the stream
    } else if (left.bytes < progress.unacknowledged) {
        progress.unacknowledged = left.bytes;
        progress.since.restart();
    } else if (progress.since.hasExpired(m_giveUp.count())) {
        // All of it is in the hands of a kernel that does not say how much
        // the peer has taken: an ordinary close still delivers it.
        if (progress.finSent && !left.known)
            end(socket);
        else
            reset(socket);
    }
}

// A zero linger time makes the close a reset (RST) rather than a FIN after
// data that would never be taken.
void LingeringConnections::reset(QTcpSocket *socket)
{
    native_socket::resetOnClose(socket->socketDescriptor());
    end(socket);
}

void LingeringConnections::end(QTcpSocket *socket)
{
    if (m_sockets.erase(socket) == 0)
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    if (m_sockets.empty()) {
        m_checkTimer->stop();
        emit allEnded();
    }
}

bool LingeringConnections::waitForAll(std::chrono::milliseconds limit)
{
    if (!m_sockets.empty()) {
        QEventLoop loop;
        connect(this, &LingeringConnections::allEnded, &loop, &QEventLoop::quit);
        QTimer::singleShot(limit, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const bool allInTime = m_sockets.empty();
    while (!m_sockets.empty())
        reset(m_sockets.begin()->first);
    return allInTime;
}

bool finishConnections(QObject &owner, LingeringConnections &lingering)
{
    for (SocketControl *control : owner.findChildren<SocketControl *>())
        control->Close();
    return lingering.waitForAll(lingering.giveUpAfter());
}

} // namespace connections
