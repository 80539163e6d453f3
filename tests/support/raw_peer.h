#pragma once

#include "connections/chat_port.h"

#include <QByteArray>

namespace support {

// A peer on a plain system socket, so that it can do what Qt's sockets do not
// offer: reset the connection, or shut down only its sending half. It uses
// blocking calls; on loopback the kernel completes the handshake with a
// listening socket by itself, so the window's event loop need not run.
class RawPeer {
public:
    RawPeer(const char *from, const char *to, int port = connections::PuertoChat);
    ~RawPeer();
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;

    bool connected() const { return m_connected; }
    bool send(const QByteArray &bytes);

    // Closes with a zero linger time: the kernel answers with a reset (RST)
    // instead of the orderly end of the stream.
    void reset();

    // No more data from this side; the peer can still read what comes back.
    void shutdownSending();

    // The other side has ended the connection (orderly or by reset); does not wait.
    bool closedByOtherSide();

private:
    qintptr m_fd = -1; // a plain_socket::Handle
    bool m_connected = false;
};

} // namespace support
