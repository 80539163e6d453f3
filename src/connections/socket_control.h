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
// verbs, and two events delivered on the user-interface thread.
//
// Modes. A control is in at most one mode at a time. Close(), the end of its
// connection or a failed Listen() leave it in none, from which any mode may
// begin; a verb that does not fit the current mode throws SocketError.
// - Outgoing, from Connect() in any mode but Listening: m_socket is the
//   connection it made from m_bind to m_remoteHost:m_remotePort; SendData()
//   writes to it. A connection the control held before is let go first.
// - Listening, from Listen(): m_server listens on m_bind:m_localPort and
//   m_socket is null. Each connection that arrives is filed in m_requests and
//   raised as ConnectionRequest; one not taken out by Accept() before the
//   handler returns is refused. m_requesterIP is the peer of the last one.
// - Accepted, from Accept() in no mode: m_socket is a connection taken out of
//   m_requests, which an array's listening element filed there.
// Invariants:
// - Never both m_server and m_socket.
// - With a connection (Outgoing or Accepted), what arrives is raised as
//   DataArrival and decoded by m_incoming in GetData(); m_flushTimer and
//   m_openCharacterWait run only while a character cut in two may still be
//   completed, and m_flushDue says the wait is over.
// - m_readWaitsForNextPass: only where reading on would starve the window
//   (Windows), data was raised in this pass of the event loop, and a queued
//   call raises what came meanwhile in the next pass.
// - In no mode, m_endState says how the last mode ended: Closed, PeerClosed
//   or Failed; State() reports it.
// - Every connection let go of goes to m_lingering, which delivers what
//   SendData() took before an orderly end.
class SocketControl : public QObject {
    Q_OBJECT
public:
    // Bound on the bytes held unread per socket: beyond it the data waits in
    // the network (TCP flow control) instead of in our memory. 16 KiB on
    // Linux, 64 KiB on Windows.
    static qint64 readBufferBytes();

    // How long a read that ends in the first bytes of a character waits for
    // the rest before it is read, on a connection that has shown neither
    // UTF-8 nor Windows-1252 yet. The rest of a message cut by the network
    // can come 200 ms after its head where the receiver delays its
    // acknowledgement (Windows does, and the sender's Nagle algorithm holds
    // the tail until then), and a lost segment is sent again after at least
    // 200 ms on Linux and about 300 ms on Windows: this covers the longest of
    // these and a round trip of up to 200 ms. A legacy peer's text that
    // really ends in an accented letter ("caf\xE9") is shown this much
    // later, still as one text, until that peer has shown a byte that
    // cannot be UTF-8.
    static constexpr int OpenCharacterWaitMs = 500;

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

    // While paused, a connection raises no DataArrival (but at its end, for
    // what it holds): what arrives waits in the network, TCP holding it at
    // the sender, until reading resumes.
    void PauseReading();
    void ResumeReading();
    bool readingPaused() const { return m_readingPaused; }

signals:
    // Raised by a listening socket. A request not accepted before the handler
    // returns is refused: the peer sees its connection closed.
    void ConnectionRequest(qint32 requestID);
    void DataArrival(qint32 bytesTotal);

private:
    SocketControl(LingeringConnections &lingering, PendingRequests *shared, QObject *parent);
    static void checkPort(int port);

    // Listening
    void onNewConnection();
    void onAcceptError();

    // Outgoing and Accepted
    void adoptConnection(QTcpSocket *socket);
    qint64 bytesPending() const;
    void onReadyRead();
    bool deliverArrived();
    void waitForTheNextPass();
    void noticeAnEndThatCameWithTheLastBytes();
    void onPeerGone();
    void onConnectionError();
    void raiseDataArrival();
    bool mayEndInSplitCharacter() const;
    bool moreWaitingAfterRead(qint64 readBytes) const;
    void releaseSocket();

    // Every mode
    LingeringConnections &m_lingering;
    QHostAddress m_bind = QHostAddress::Any;
    int m_endState = Closed; // in no mode: how the last one ended

    // Outgoing
    QString m_remoteHost;
    int m_remotePort = 0;

    // Listening files requests in m_requests; Accepted takes one out.
    int m_localPort = 0;
    QTcpServer *m_server = nullptr;
    QString m_requesterIP;
    std::unique_ptr<PendingRequests> m_ownRequests; // a control on its own only
    PendingRequests &m_requests;

    // Outgoing and Accepted: the connection and the text it brings
    QPointer<QTcpSocket> m_socket;
    QByteArray m_readBuffer; // what GetData() read last
    IncomingText *m_incoming = nullptr;
    QTimer *m_flushTimer = nullptr;
    // Runs while a connection that has shown no UTF-8 yet has a read waiting
    // in the socket that ends inside a character.
    QTimer *m_openCharacterWait = nullptr;
    bool m_flushDue = false;
    bool m_readingTurn = false; // onReadyRead() is reading
    bool m_readWaitsForNextPass = false;
    bool m_readingPaused = false;
};

} // namespace connections
