#include "connections/socket_control.h"

#include "connections/incoming_text.h"
#include "connections/lingering_connections.h"
#include "connections/local_address.h"
#include "connections/native_socket.h"
#include "connections/pending_requests.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <limits>

namespace connections {

namespace {

// How long a character cut in two may wait for its other bytes before the
// held bytes are shown as they are: long enough for a lost segment to be
// sent again.
constexpr int kSplitCharacterWaitMs = 5000;

constexpr int kListenBacklog = 1024;

constexpr int kAcceptRetryMs = 1000;

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

// Bytes that have reached this host but not yet Qt's read buffer.
qint64 waitingInKernel(const QTcpSocket &socket) { return native_socket::bytesWaiting(socket.socketDescriptor()); }

} // namespace

SocketError::SocketError(const QString &text)
    : std::runtime_error(text.toStdString())
{
}

QString SocketError::text() const { return QString::fromStdString(what()); }

SocketControl::SocketControl(LingeringConnections &lingering, QObject *parent)
    : SocketControl(lingering, nullptr, parent)
{
}

SocketControl::SocketControl(LingeringConnections &lingering, PendingRequests &requests, QObject *parent)
    : SocketControl(lingering, &requests, parent)
{
}

SocketControl::SocketControl(LingeringConnections &lingering, PendingRequests *shared, QObject *parent)
    : QObject(parent)
    , m_lingering(lingering)
    , m_ownRequests(shared ? nullptr : std::make_unique<PendingRequests>())
    , m_requests(shared ? *shared : *m_ownRequests)
    , m_incoming(new IncomingText)
    , m_flushTimer(new QTimer(this))
    , m_openCharacterWait(new QTimer(this))
{
    m_openCharacterWait->setSingleShot(true);
    m_openCharacterWait->setInterval(OpenCharacterWaitMs);
    connect(m_openCharacterWait, &QTimer::timeout, this, [this] {
        if (bytesPending() > 0 && !m_readingPaused)
            raiseDataArrival();
    });
    m_flushTimer->setSingleShot(true);
    m_flushTimer->setInterval(kSplitCharacterWaitMs);
    connect(m_flushTimer, &QTimer::timeout, this, [this] {
        if ((m_incoming->hasPending() || bytesPending() > 0) && !m_readingPaused) {
            m_flushDue = true;
            raiseDataArrival();
        }
    });
}

SocketControl::~SocketControl()
{
    releaseSocket();
    delete m_incoming;
}

void SocketControl::setBindAddress(const QHostAddress &address) { m_bind = address; }
QHostAddress SocketControl::bindAddress() const { return m_bind; }

int SocketControl::State() const
{
    if (m_server && m_server->isListening())
        return Listening;
    if (!m_socket)
        return m_endState;
    switch (m_socket->state()) {
    case QAbstractSocket::HostLookupState:
    case QAbstractSocket::ConnectingState:
    case QAbstractSocket::BoundState:
        return Connecting;
    case QAbstractSocket::ConnectedState:
        return Connected;
    case QAbstractSocket::ClosingState:
        return PeerClosed;
    default:
        return m_endState;
    }
}

QString SocketControl::RemoteHost() const { return m_remoteHost; }
void SocketControl::setRemoteHost(const QString &host) { m_remoteHost = host; }
int SocketControl::RemotePort() const { return m_remotePort; }

void SocketControl::setRemotePort(int port)
{
    checkPort(port);
    m_remotePort = port;
}

int SocketControl::LocalPort() const { return m_localPort; }

void SocketControl::setLocalPort(int port)
{
    checkPort(port);
    m_localPort = port;
}

void SocketControl::checkPort(int port)
{
    if (port < 0 || port > 65535)
        throw SocketError(QStringLiteral("El puerto %1 no es válido.").arg(port));
}

void SocketControl::Connect()
{
    if (m_server)
        throw SocketError(QStringLiteral("Un socket que escucha no puede conectarse."));
    releaseSocket();
    m_endState = Closed;
    auto *socket = new QTcpSocket(this);
    // Peers are on the local network: never go through a proxy that the
    // environment may name.
    socket->setProxy(QNetworkProxy::NoProxy);
    if (!m_bind.isNull() && m_bind != QHostAddress::Any)
        socket->bind(m_bind, 0);
    // A message is sent whole as soon as it is written, not held back while
    // an earlier one waits for its acknowledgement. (The option needs the
    // operating-system socket, which exists once connected.)
    connect(socket, &QTcpSocket::connected, socket,
            [socket] { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    adoptConnection(socket);
    socket->connectToHost(m_remoteHost, static_cast<quint16>(m_remotePort));
}

void SocketControl::Close()
{
    m_flushTimer->stop();
    m_openCharacterWait->stop();
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    releaseSocket();
    m_endState = Closed;
}

QString SocketControl::LocalIP() const { return localIPv4(m_bind); }

void SocketControl::SendData(const QString &text)
{
    if (State() != Connected)
        throw SocketError(QStringLiteral("No hay conexión por la que enviar."));
    // Handed to the kernel now, in one write, rather than on a later turn of
    // the event loop after whatever the window does next (its transcript,
    // its paint); Nagle's algorithm is off on outgoing connections, so the
    // kernel sends it at once too.
    m_socket->write(text.toUtf8());
    m_socket->flush();
}

void SocketControl::Listen()
{
    if (m_socket)
        throw SocketError(QStringLiteral("Un socket conectado no puede escuchar."));
    if (!m_server) {
        m_server = new QTcpServer(this);
        // Room for a burst of peers arriving together; the kernel caps it.
        m_server->setListenBacklogSize(kListenBacklog);
        m_server->setProxy(QNetworkProxy::NoProxy);
        connect(m_server, &QTcpServer::newConnection, this, &SocketControl::onNewConnection);
        connect(m_server, &QTcpServer::acceptError, this, &SocketControl::onAcceptError);
    }
    if (m_server->isListening())
        return;
    if (!m_server->listen(m_bind, static_cast<quint16>(m_localPort))) {
        const QString reason = describeSocketError(m_server->serverError(), m_server->errorString());
        m_server->deleteLater();
        m_server = nullptr;
        m_endState = Failed;
        throw SocketError(QStringLiteral("No se puede escuchar en el puerto %1: %2.").arg(m_localPort).arg(reason));
    }
}

QString SocketControl::RemoteHostIP() const
{
    if (m_socket)
        return addressText(m_socket->peerAddress());
    return m_requesterIP;
}

void SocketControl::Accept(qint32 requestID)
{
    if (m_server || m_socket)
        throw SocketError(QStringLiteral("Este socket ya está en uso y no puede aceptar otra conexión."));
    QTcpSocket *socket = m_requests.take(requestID);
    if (!socket)
        throw SocketError(QStringLiteral("La solicitud de conexión %1 ya no existe.").arg(requestID));
    socket->setParent(this);
    m_endState = Closed;
    adoptConnection(socket);
    if (socket->state() != QAbstractSocket::ConnectedState)
        QMetaObject::invokeMethod(this, &SocketControl::onPeerGone, Qt::QueuedConnection);
    else if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &SocketControl::onReadyRead, Qt::QueuedConnection);
}

void SocketControl::GetData(QString &data)
{
    // All that the socket holds, into room kept from read to read.
    const qint64 held = m_socket ? m_socket->bytesAvailable() : 0;
    m_readBuffer.resize(held);
    const qint64 read = held > 0 ? m_socket->read(m_readBuffer.data(), held) : 0;
    const QByteArrayView bytes(m_readBuffer.constData(), std::max<qint64>(read, 0));
    m_openCharacterWait->stop();
    // Whether more is waiting matters only to a read cut inside a character.
    data = m_incoming->decode(bytes, m_incoming->mayEndInsideACharacter(bytes) && moreWaitingAfterRead(bytes.size()));
    // The wait for a split character is over, or the connection has ended:
    // what is held is shown as it is.
    if (m_flushDue || bytes.isEmpty())
        data += m_incoming->flush();
    m_flushDue = false;
    if (m_incoming->hasPending())
        m_flushTimer->start();
}

// A character cut at the end of a read is still coming when the network
// holds more: the read filled the buffer, or more has reached the host.
bool SocketControl::moreWaitingAfterRead(qint64 readBytes) const
{
    return readBytes >= readBufferBytes() || (m_socket && waitingInKernel(*m_socket) > 0);
}

qint64 SocketControl::readBufferBytes() { return native_socket::readPieceBytes(); }

qint64 SocketControl::bytesPending() const { return m_socket ? m_socket->bytesAvailable() : 0; }

void SocketControl::adoptConnection(QTcpSocket *socket)
{
    m_socket = socket;
    socket->setReadBufferSize(readBufferBytes());
    connect(socket, &QTcpSocket::readyRead, this, &SocketControl::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &SocketControl::onPeerGone);
    connect(socket, &QTcpSocket::errorOccurred, this, &SocketControl::onConnectionError);
}

void SocketControl::onNewConnection()
{
    while (m_server && m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        m_requesterIP = addressText(socket->peerAddress());
        const qint32 id = m_requests.add(socket);
        emit ConnectionRequest(id);
        // Not accepted inside its event: refused.
        if (QTcpSocket *refused = m_requests.take(id)) {
            refused->disconnectFromHost();
            refused->deleteLater();
        }
    }
}

// Qt stops accepting after a failed accept (out of descriptors, say); try
// again a little later rather than stay deaf for good.
void SocketControl::onAcceptError()
{
    QTimer::singleShot(kAcceptRetryMs, m_server, [server = m_server] { server->resumeAccepting(); });
}

void SocketControl::PauseReading() { m_readingPaused = true; }

// What waited is read on the next turn of the event loop, as if it had just come.
void SocketControl::ResumeReading()
{
    if (!m_readingPaused)
        return;
    m_readingPaused = false;
    if (m_incoming->hasPending())
        m_flushTimer->start();
    QMetaObject::invokeMethod(this, &SocketControl::onReadyRead, Qt::QueuedConnection);
}

// A connection that keeps the host busy is read several times in one turn
// of the event loop, for at most native_socket::readTurnMs(): what the
// window does once per turn (showing what came, painting) is then shared by
// those reads, and other events wait no longer than that.
void SocketControl::onReadyRead()
{
    if (m_readingTurn || m_readWaitsForNextPass || m_readingPaused)
        return; // more was read into the socket below, the next pass reads, or reading waits
    QElapsedTimer turn;
    turn.start();
    m_readingTurn = true;
    // Only what has already reached this host is read, and only while the
    // handler takes all of it: nothing here waits.
    bool delivered = false;
    while (deliverArrived()) {
        delivered = true;
        if (!m_socket || m_socket->bytesAvailable() != 0 || turn.elapsed() >= native_socket::readTurnMs())
            break;
        if (waitingInKernel(*m_socket) <= 0) {
            noticeAnEndThatCameWithTheLastBytes();
            break;
        }
        if (!m_socket->waitForReadyRead(0))
            break;
    }
    m_readingTurn = false;
    if (delivered && native_socket::readsStarveTheWindow())
        waitForTheNextPass();
}

// Where reading on would starve the window (Windows), the end of a
// connection (a reset, say) that came while Qt held a full buffer is not
// told again once Qt reads on (under Wine it never was): asked once here,
// the socket tells it, or that nothing more is there.
void SocketControl::noticeAnEndThatCameWithTheLastBytes()
{
    if (native_socket::readsStarveTheWindow() && m_socket && m_socket->bytesAvailable() == 0)
        m_socket->waitForReadyRead(0);
}

// Raises DataArrival for what the socket holds, unless it should wait.
bool SocketControl::deliverArrived()
{
    if (!m_socket || m_readingPaused || m_socket->bytesAvailable() <= 0)
        return false;
    // Only the first bytes of one character so far: an event now would read
    // no text at all, so they wait in the socket for the rest.
    if (m_socket->bytesAvailable() < 4 && m_incoming->onlyStartsACharacter(m_socket->peek(4))) {
        m_flushTimer->start();
        return false;
    }
    // The end of a character may still be on its way: give it a moment to
    // come, so that the read is decoded whole rather than as Windows-1252.
    if (mayEndInSplitCharacter()) {
        if (!m_openCharacterWait->isActive())
            m_openCharacterWait->start();
        return false;
    }
    m_openCharacterWait->stop();
    raiseDataArrival();
    return true;
}

// Where reading on would starve the window, what comes next waits for the
// event loop's next pass, in Qt's buffer and, once that is full, in the
// network (its flow control slows the peer down).
void SocketControl::waitForTheNextPass()
{
    if (!m_socket)
        return;
    m_readWaitsForNextPass = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_readWaitsForNextPass = false;
            onReadyRead();
        },
        Qt::QueuedConnection);
}

bool SocketControl::mayEndInSplitCharacter() const
{
    if (m_incoming->hasShownUtf8() || m_incoming->hasShownWindows1252() || m_incoming->hasPending())
        return false;
    const qint64 available = m_socket->bytesAvailable();
    return available < readBufferBytes() && m_incoming->endsInOpenCharacter(m_socket->peek(available));
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
    if (!m_socket)
        return;
    m_flushDue = true; // nothing more will come to finish a split character
    qint64 left = m_socket->bytesAvailable();
    while (left > 0) {
        raiseDataArrival();
        const qint64 now = m_socket ? m_socket->bytesAvailable() : 0;
        if (now >= left)
            break; // nobody reads: do not spin
        left = now;
    }
    if (m_incoming->hasPending())
        raiseDataArrival();
    if (m_endState != Failed)
        m_endState = PeerClosed;
    releaseSocket();
}

void SocketControl::onConnectionError()
{
    if (!m_socket)
        return;
    if (m_socket->error() == QAbstractSocket::RemoteHostClosedError) {
        onPeerGone();
        return;
    }
    m_endState = Failed;
    // Qt finishes its own handling of the error after this signal; once the
    // socket has settled, let it go if it is no longer connected.
    QPointer<QTcpSocket> failed = m_socket;
    QMetaObject::invokeMethod(
        this,
        [this, failed] {
            if (failed && m_socket == failed && failed->state() == QAbstractSocket::UnconnectedState)
                onPeerGone();
        },
        Qt::QueuedConnection);
}

// The control is free at once; the connection itself is handed over, so that
// what SendData took still reaches the peer before an orderly end.
void SocketControl::releaseSocket()
{
    if (!m_socket)
        return;
    m_openCharacterWait->stop();
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    m_lingering.adopt(socket);
}

} // namespace connections
