#include "slow_peer.h"

#include "connections/chat_port.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace support {

SlowPeer::SlowPeer(const char *own)
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(quint16(connections::PuertoChat));
    ::inet_pton(AF_INET, own, &at.sin_addr);
    m_listening = ::bind(m_listener, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 && ::listen(m_listener, 4) == 0;
}

SlowPeer::~SlowPeer()
{
    ::close(m_listener);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SlowPeer::accepted()
{
    if (m_fd < 0)
        m_fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    return m_fd >= 0;
}

void SlowPeer::read(qsizetype most)
{
    char chunk[16 * 1024];
    while (end == Open && most > 0 && accepted()) {
        const ssize_t n = ::recv(m_fd, chunk, size_t(std::min<qsizetype>(most, sizeof chunk)), 0);
        if (n > 0) {
            received.append(chunk, n);
            most -= n;
        } else {
            if (n == 0 || errno != EAGAIN)
                end = n == 0 ? Fin : Reset;
            return;
        }
    }
}

void SlowPeer::readSlowly()
{
    QObject::connect(&m_reader, &QTimer::timeout, [this] { read(32 * 1024); });
    m_reader.start(10);
}

bool SlowPeer::send(const QByteArray &bytes)
{
    return accepted() && ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}

bool SlowPeer::wasReset()
{
    int error = 0;
    socklen_t size = sizeof error;
    if (end != Reset && accepted() && ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0
        && (error == ECONNRESET || error == EPIPE))
        end = Reset;
    return end == Reset;
}

} // namespace support
