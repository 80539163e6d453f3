#pragma once

#include <QByteArray>
#include <QTimer>

namespace support {

// A peer listening on the chat port on a plain POSIX socket, reading only
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
    QTimer m_reader;
    int m_listener = -1;
    int m_fd = -1;
    bool m_listening = false;
};

} // namespace support
