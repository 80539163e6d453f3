#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QTimer>

namespace support {

// A peer listening on the chat port on a plain system socket, reading only
// when told to, so that it can tell the end of the stream (FIN) from a reset.
class SlowPeer {
public:
    enum End { Open, Fin, Reset };

    explicit SlowPeer(const char *own);
    ~SlowPeer();
    SlowPeer(const SlowPeer &) = delete;
    SlowPeer &operator=(const SlowPeer &) = delete;

    bool listening() const { return m_listening; }
    bool accepted();

    // Reads what has arrived, at most `most` bytes.
    void read(qsizetype most);

    // A reader that takes 32 KiB every 10 ms: far slower than loopback.
    void readSlowly();

    bool send(const QByteArray &bytes);

    // Without reading: the connection has been reset (the kernel tells once;
    // after the end of the stream it reports a broken pipe).
    bool wasReset();

    QByteArray received;
    End end = Open;

private:
    bool goneFromTheKernel() const;

    QTimer m_reader;
    qintptr m_listener = -1;
    qintptr m_fd = -1; // a plain_socket::Handle
    bool m_listening = false;
    QHostAddress m_local, m_remote; // the accepted connection's ends
    int m_localPort = 0, m_remotePort = 0;
};

} // namespace support
