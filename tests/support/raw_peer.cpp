#include "raw_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace support {

RawPeer::RawPeer(const char *from, const char *to, int port)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &own.sin_addr);
    sockaddr_in other{};
    other.sin_family = AF_INET;
    other.sin_port = htons(quint16(port));
    ::inet_pton(AF_INET, to, &other.sin_addr);
    // Reusable, so that if the kernel picks the chat's port for this peer,
    // the connection's TIME_WAIT does not keep a later listener from binding it.
    const int yes = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    m_connected = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&own), sizeof own) == 0
        && ::connect(m_fd, reinterpret_cast<sockaddr *>(&other), sizeof other) == 0;
}

RawPeer::~RawPeer()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RawPeer::send(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

void RawPeer::reset()
{
    linger now{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(m_fd);
    m_fd = -1;
}

void RawPeer::shutdownSending() { ::shutdown(m_fd, SHUT_WR); }

bool RawPeer::closedByOtherSide()
{
    char byte;
    const ssize_t n = ::recv(m_fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

} // namespace support
