#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <chrono>
#include <map>

class QTcpSocket;
class QTimer;

namespace connections {

// Connections that their socket control has let go of while bytes it took
// may still be on their way. Each one is given the time to hand all of them
// to the network and to end in order (FIN) once the peer has acknowledged
// them. What the peer sends meanwhile is read and thrown away, so that the
// kernel does not answer it with a reset. A connection that makes no
// progress for the give-up time is reset.
// Windows does not count what the peer has not acknowledged. There, once Qt
// has handed every byte to the kernel, the connection is shut down for
// sending (the FIN follows the data), and it ends once the system's TCP
// table shows the FIN acknowledged, or the peer ends its side; progress is
// what the kernel takes from Qt. A peer that has not acknowledged everything
// in the give-up time after that is left to the kernel with an ordinary
// close, which still delivers what it holds (a slow reader is not cut off);
// one that never takes everything from Qt is reset. The program makes one and hands it
// to every socket control (tests and benchmarks make their own); it must
// outlive them, since a control hands its connection over when it is
// destroyed. What still lingers when it goes is reset.
class LingeringConnections : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds DefaultGiveUp{10000};

    explicit LingeringConnections(QObject *parent = nullptr);
    ~LingeringConnections() override;

    // Takes over a connected socket; a socket in any other state is dropped.
    void adopt(QTcpSocket *socket);
    int count() const { return int(m_sockets.size()); }

    void setGiveUpAfter(std::chrono::milliseconds time) { m_giveUp = time; }
    std::chrono::milliseconds giveUpAfter() const { return m_giveUp; }

    // Runs the event loop until every connection has ended or `limit` has
    // passed; what is still left then is reset. True when all ended in time.
    bool waitForAll(std::chrono::milliseconds limit);

signals:
    void allEnded();

private:
    struct Progress {
        qint64 unacknowledged = 0;
        bool finSent = false;
        QElapsedTimer since;
    };

    void check();
    void checkOne(QTcpSocket *socket, Progress &progress);
    void reset(QTcpSocket *socket);
    void end(QTcpSocket *socket);

    std::map<QTcpSocket *, Progress> m_sockets;
    QTimer *m_checkTimer = nullptr;
    std::chrono::milliseconds m_giveUp = DefaultGiveUp;
};

// For the end of the program: closes every socket control under `owner`,
// which hands their connections to `lingering`, and waits for those to end,
// at most the give-up time.
bool finishConnections(QObject &owner, LingeringConnections &lingering);

} // namespace connections
