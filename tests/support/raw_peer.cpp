#include "raw_peer.h"

#include "plain_socket.h"

namespace support {

namespace ps = plain_socket;

RawPeer::RawPeer(const char *from, const char *to, int port)
{
    m_fd = ps::open();
    const sockaddr_in own = ps::address(from, 0);
    const sockaddr_in other = ps::address(to, port);
    // Reusable, so that if the kernel picks the chat's port for this peer,
    // the connection's TIME_WAIT does not keep a later listener from binding it.
    ps::setOption(m_fd, SO_REUSEADDR, 1);
    m_connected = m_fd != ps::kNone
        && ::bind(ps::native(m_fd), reinterpret_cast<const sockaddr *>(&own), sizeof own) == 0
        && ::connect(ps::native(m_fd), reinterpret_cast<const sockaddr *>(&other), sizeof other) == 0;
}

RawPeer::~RawPeer()
{
    if (m_fd != ps::kNone)
        ps::close(m_fd);
}

bool RawPeer::send(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const long long n = ps::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

void RawPeer::reset()
{
    ps::setOption(m_fd, SO_LINGER, linger{1, 0});
    ps::close(m_fd);
    m_fd = ps::kNone;
}

void RawPeer::shutdownSending() { ps::shutdownSending(m_fd); }

bool RawPeer::closedByOtherSide()
{
    char byte;
    const long long n = ps::receiveNow(m_fd, &byte, 1);
    return n == 0 || (n < 0 && !ps::wouldBlock());
}

} // namespace support
