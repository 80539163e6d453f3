#pragma once

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <stdexcept>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace connections {

class IncomingText;
class LingeringConnections;
class PendingRequests;

// What State() reports. Only Connecting and Connected mean anything to the
// chat; the rest tell the other situations apart for whoever looks.
enum SocketState : int {
    Closed = 0,
    Listening = 2,
    Connecting = 6, // host lookup and TCP handshake under way
    Connected = 7,
    PeerClosed = 8, // the peer ended the connection
    Failed = 9,     // the connect or the connection failed
};

// A socket operation refused at once. The text is Spanish and meant for the user.
class SocketError : public std::runtime_error {
public:
    explicit SocketError(const QString &text);
    QString text() const;
};

// One TCP socket in the manner of a classic form control: properties, a few
// verbs, and two events delivered on the user-interface thread. It either
// carries one outgoing connection, listens, or carries one accepted one.
class SocketControl : public QObject {
    Q_OBJECT
public:
    // Bound on the bytes held unread per socket: beyond it the data waits in
    // the network (TCP flow control) instead of in our memory.
    static constexpr qint64 ReadBufferBytes = 16 * 1024;

    // A control on its own: the connections it lets go of are handed to
    // `lingering`, and requests it raises while listening can be accepted by
    // no other control.
    explicit SocketControl(LingeringConnections &lingering, QObject *parent = nullptr);
    // An element of a socket array: requests go through the array's table,
    // so that any element can accept what the listening one raised.
    SocketControl(LingeringConnections &lingering, PendingRequests &requests, QObject *parent);
    ~SocketControl() override;

    // Local address to listen on and connect from; the program uses Any, tests
    // give each copy its own loopback address.
    void setBindAddress(const QHostAddress &address);
    QHostAddress bindAddress() const;

    int State() const;

    QString RemoteHost() const;
    void setRemoteHost(const QString &host);
    int RemotePort() const;
    void setRemotePort(int port);
    void Connect();
    // The control is closed at once and can connect again; an open
    // connection still delivers what SendData took, then ends in order
    // (see LingeringConnections). The same happens when the control is
    // destroyed.
    void Close();
    QString LocalIP() const;
    void SendData(const QString &text);

    int LocalPort() const;
    void setLocalPort(int port);
    void Listen();
    QString RemoteHostIP() const;
    void Accept(qint32 requestID);
    void GetData(QString &data);

signals:
    // Raised by a listening socket. A request not accepted before the handler
    // returns is refused: the peer sees its connection closed.
    void ConnectionRequest(qint32 requestID);
    void DataArrival(qint32 bytesTotal);

private:
    SocketControl(LingeringConnections &lingering, PendingRequests *shared, QObject *parent);
    qint64 bytesPending() const;
    void adoptConnection(QTcpSocket *socket);
    void onNewConnection();
    void onAcceptError();
    void onReadyRead();
    void onPeerGone();
    void onConnectionError();
    void raiseDataArrival();
    bool mayEndInSplitCharacter() const;
    bool moreWaitingAfterRead(qint64 readBytes) const;
    void releaseSocket();
    static void checkPort(int port);

    LingeringConnections &m_lingering;
    std::unique_ptr<PendingRequests> m_ownRequests; // a control on its own only
    PendingRequests &m_requests;
    QHostAddress m_bind = QHostAddress::Any;
    QString m_remoteHost;
    int m_remotePort = 0;
    int m_localPort = 0;
    QString m_requesterIP;
    int m_endState = Closed;
    QTcpServer *m_server = nullptr;
    QPointer<QTcpSocket> m_socket;
    IncomingText *m_incoming = nullptr;
    QTimer *m_flushTimer = nullptr;
    // Runs while a connection that has shown no UTF-8 yet has a read waiting
    // in the socket that ends inside a character.
    QTimer *m_openCharacterWait = nullptr;
    bool m_flushDue = false;
};

} // namespace connections
