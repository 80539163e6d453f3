#include "connections/socket_control.h"

#include "connections/incoming_text.h"
#include "connections/lingering_connections.h"
#include "connections/local_address.h"

#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <limits>
#include <map>

namespace connections {

namespace {

// How long a character cut in two may wait for its other bytes before the
// held bytes are shown as they are: long enough for a lost segment to be
// sent again.
constexpr int kSplitCharacterWaitMs = 5000;

constexpr int kListenBacklog = 1024;

constexpr int kAcceptRetryMs = 1000;

// Connections taken from a listener and waiting to be accepted, by request
// number. Process-wide because any socket may accept a request raised by the
// listener; everything runs on one thread.
struct PendingRequests {
    std::map<qint32, QPointer<QTcpSocket>> sockets;
    qint32 lastId = 0;

    qint32 add(QTcpSocket *socket)
    {
        lastId = (lastId == std::numeric_limits<qint32>::max()) ? 1 : lastId + 1;
        sockets[lastId] = socket;
        return lastId;
    }

    QTcpSocket *take(qint32 id)
    {
        auto found = sockets.find(id);
        if (found == sockets.end())
            return nullptr;
        QTcpSocket *socket = found->second;
        sockets.erase(found);
        return socket;
    }
};

PendingRequests &pendingRequests()
{
    static PendingRequests requests;
    return requests;
}

QString describeSocketError(int qtError, const QString &fallback)
{
    switch (static_cast<QAbstractSocket::SocketError>(qtError)) {
    case QAbstractSocket::AddressInUseError:
        return QStringLiteral("la dirección o el puerto ya están en uso (quizá otra copia del programa)");
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("no hay permiso para usarlo");
    case QAbstractSocket::SocketAddressNotAvailableError:
        return QStringLiteral("la dirección no pertenece a este equipo");
    case QAbstractSocket::SocketResourceError:
        return QStringLiteral("el sistema no tiene recursos para otro socket");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("no se encuentra el equipo");
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("el equipo rechazó la conexión");
    default:
        return QStringLiteral("error de red: %1").arg(fallback);
    }
}

} // namespace

SocketError::SocketError(const QString &text)
    : std::runtime_error(text.toStdString())
{
}

QString SocketError::text() const
{
    return QString::fromStdString(what());
}


SocketControl::SocketControl(QObject *parent)
    : QObject(parent)
    , incoming_(new IncomingText)
    , flushTimer_(new QTimer(this))
{
    flushTimer_->setSingleShot(true);
    flushTimer_->setInterval(kSplitCharacterWaitMs);
    connect(flushTimer_, &QTimer::timeout, this, [this] {
        if (incoming_->hasPending() || bytesPending() > 0) {
            flushDue_ = true;
            raiseDataArrival();
        }
    });
}

SocketControl::~SocketControl()
{
    releaseSocket();
    delete incoming_;
}

void SocketControl::setBindAddress(const QHostAddress &address) { bind_ = address; }
QHostAddress SocketControl::bindAddress() const { return bind_; }

int SocketControl::State() const
{
    if (server_ && server_->isListening())
        return Listening;
    if (!socket_)
        return endState_;
    switch (socket_->state()) {
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
    case QAbstractSocket::BoundState:
        return Connecting;
    case QAbstractSocket::ConnectedState:
        return Connected;
    case QAbstractSocket::ClosingState:
        return PeerClosed;
    default:
        return endState_;
    }
}

QString SocketControl::RemoteHost() const { return remoteHost_; }
void SocketControl::setRemoteHost(const QString &host) { remoteHost_ = host; }
int SocketControl::RemotePort() const { return remotePort_; }

void SocketControl::setRemotePort(int port)
{
    checkPort(port);
    remotePort_ = port;
}

int SocketControl::LocalPort() const { return localPort_; }

void SocketControl::setLocalPort(int port)
{
    checkPort(port);
    localPort_ = port;
}

void SocketControl::checkPort(int port)
{
    if (port < 0 || port > 65535)
        throw SocketError(QStringLiteral("El puerto %1 no es válido.").arg(port));
}

void SocketControl::Connect()
{
    if (server_)
        throw SocketError(QStringLiteral("Un socket que escucha no puede conectarse."));
    releaseSocket();
    endState_ = Closed;
    auto *socket = new QTcpSocket(this);
    // Peers are on the local network: never go through a proxy that the
    // environment may name.
    socket->setProxy(QNetworkProxy::NoProxy);
    if (!bind_.isNull() && bind_ != QHostAddress::Any)
        socket->bind(bind_, 0);
    adoptConnection(socket);
    socket->connectToHost(remoteHost_, static_cast<quint16>(remotePort_));
}

void SocketControl::Close()
{
    flushTimer_->stop();
    if (server_) {
        server_->close();
        server_->deleteLater();
        server_ = nullptr;
    }
    releaseSocket();
    endState_ = Closed;
}

QString SocketControl::LocalIP() const
{
    return localIPv4(bind_);
}

void SocketControl::SendData(const QString &text)
{
    if (State() != Connected)
        throw SocketError(QStringLiteral("No hay conexión por la que enviar."));
    socket_->write(text.toUtf8());
}

void SocketControl::Listen()
{
    if (socket_)
        throw SocketError(QStringLiteral("Un socket conectado no puede escuchar."));
    if (!server_) {
        server_ = new QTcpServer(this);
        // Room for a burst of peers arriving together; the kernel caps it.
        server_->setListenBacklogSize(kListenBacklog);
        server_->setProxy(QNetworkProxy::NoProxy);
        connect(server_, &QTcpServer::newConnection, this, &SocketControl::onNewConnection);
        connect(server_, &QTcpServer::acceptError, this, &SocketControl::onAcceptError);
    }
    if (server_->isListening())
        return;
    if (!server_->listen(bind_, static_cast<quint16>(localPort_))) {
        const QString reason = describeSocketError(server_->serverError(), server_->errorString());
        server_->deleteLater();
        server_ = nullptr;
        endState_ = Failed;
        throw SocketError(QStringLiteral("No se puede escuchar en el puerto %1: %2.").arg(localPort_).arg(reason));
    }
}

QString SocketControl::RemoteHostIP() const
{
    if (socket_)
        return addressText(socket_->peerAddress());
    return requesterIP_;
}

void SocketControl::Accept(qint32 requestID)
{
    if (server_ || socket_)
        throw SocketError(QStringLiteral("Este socket ya está en uso y no puede aceptar otra conexión."));
    QTcpSocket *socket = pendingRequests().take(requestID);
    if (!socket)
        throw SocketError(QStringLiteral("La solicitud de conexión %1 ya no existe.").arg(requestID));
    socket->setParent(this);
    endState_ = Closed;
    adoptConnection(socket);
    if (socket->state() != QAbstractSocket::ConnectedState)
        QMetaObject::invokeMethod(this, &SocketControl::onPeerGone, Qt::QueuedConnection);
    else if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &SocketControl::onReadyRead, Qt::QueuedConnection);
}

void SocketControl::GetData(QString &data)
{
    const QByteArray bytes = socket_ ? socket_->readAll() : QByteArray();
    // A full read buffer means the network held more: a character cut at
    // its end is still coming.
    data = incoming_->decode(bytes, bytes.size() >= ReadBufferBytes);
    // The wait for a split character is over, or the connection has ended:
    // what is held is shown as it is.
    if (flushDue_ || bytes.isEmpty())
        data += incoming_->flush();
    flushDue_ = false;
    if (incoming_->hasPending())
        flushTimer_->start();
}

qint64 SocketControl::bytesPending() const
{
    return socket_ ? socket_->bytesAvailable() : 0;
}

void SocketControl::adoptConnection(QTcpSocket *socket)
{
    socket_ = socket;
    socket->setReadBufferSize(ReadBufferBytes);
    connect(socket, &QTcpSocket::readyRead, this, &SocketControl::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &SocketControl::onPeerGone);
    connect(socket, &QTcpSocket::errorOccurred, this, &SocketControl::onConnectionError);
}

void SocketControl::onNewConnection()
{
    while (server_ && server_->hasPendingConnections()) {
        QTcpSocket *socket = server_->nextPendingConnection();
        requesterIP_ = addressText(socket->peerAddress());
        const qint32 id = pendingRequests().add(socket);
        emit ConnectionRequest(id);
        // Not accepted inside its event: refused.
        if (QTcpSocket *refused = pendingRequests().take(id)) {
            refused->disconnectFromHost();
            refused->deleteLater();
        }
    }
}

// Qt stops accepting after a failed accept (out of descriptors, say); try
// again a little later rather than stay deaf for good.
void SocketControl::onAcceptError()
{
    QTimer::singleShot(kAcceptRetryMs, server_, [server = server_] { server->resumeAccepting(); });
}

void SocketControl::onReadyRead()
{
    if (!socket_ || socket_->bytesAvailable() <= 0)
        return;
    // Only the first bytes of one character so far: an event now would read
    // no text at all, so they wait in the socket for the rest.
    if (socket_->bytesAvailable() < 4 && incoming_->onlyStartsACharacter(socket_->peek(4))) {
        flushTimer_->start();
        return;
    }
    raiseDataArrival();
}

void SocketControl::raiseDataArrival()
{
    const qint64 total = bytesPending();
    emit DataArrival(static_cast<qint32>(std::min<qint64>(total, std::numeric_limits<qint32>::max())));
}

// The connection ended. Whatever it brought is handed over before the
// operating-system socket is let go; the state tells what happened.
void SocketControl::onPeerGone()
{
    if (!socket_)
        return;
    flushDue_ = true; // nothing more will come to finish a split character
    qint64 left = socket_->bytesAvailable();
    while (left > 0) {
        raiseDataArrival();
        const qint64 now = socket_ ? socket_->bytesAvailable() : 0;
        if (now >= left)
            break; // nobody reads: do not spin
        left = now;
    }
    if (incoming_->hasPending())
        raiseDataArrival();
    if (endState_ != Failed)
        endState_ = PeerClosed;
    releaseSocket();
}

void SocketControl::onConnectionError()
{
    if (!socket_)
        return;
    if (socket_->error() == QAbstractSocket::RemoteHostClosedError) {
        onPeerGone();
        return;
    }
    endState_ = Failed;
    // Qt finishes its own handling of the error after this signal; once the
    // socket has settled, let it go if it is no longer connected.
    QPointer<QTcpSocket> failed = socket_;
    QMetaObject::invokeMethod(this, [this, failed] {
        if (failed && socket_ == failed && failed->state() == QAbstractSocket::UnconnectedState)
            onPeerGone();
    }, Qt::QueuedConnection);
}

// The control is free at once; the connection itself is handed over, so that
// what SendData took still reaches the peer before an orderly end.
void SocketControl::releaseSocket()
{
    if (!socket_)
        return;
    QTcpSocket *socket = socket_;
    socket_ = nullptr;
    socket->disconnect(this);
    LingeringConnections::instance().adopt(socket);
}

} // namespace connections
