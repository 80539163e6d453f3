#include "slow_peer.h"

#include "own_network.h"
#include "plain_socket.h"

#include "connections/chat_port.h"

#include <algorithm>

namespace support {

namespace ps = plain_socket;

SlowPeer::SlowPeer(const char *own)
{
    m_listener = ps::open();
    ps::setNonBlocking(m_listener);
    ps::setOption(m_listener, SO_REUSEADDR, 1);
    const sockaddr_in at = ps::address(own, connections::PuertoChat);
    m_listening = ::bind(ps::native(m_listener), reinterpret_cast<const sockaddr *>(&at), sizeof at) == 0
        && ::listen(ps::native(m_listener), 4) == 0;
}

SlowPeer::~SlowPeer()
{
    ps::close(m_listener);
    if (m_fd != ps::kNone)
        ps::close(m_fd);
}

bool SlowPeer::accepted()
{
    if (m_fd == ps::kNone) {
        m_fd = ps::acceptNonBlocking(m_listener);
        sockaddr_in local{}, remote{};
        if (m_fd != ps::kNone && ps::ends(m_fd, local, remote)) {
            m_local = QHostAddress(reinterpret_cast<const sockaddr *>(&local));
            m_localPort = ntohs(local.sin_port);
            m_remote = QHostAddress(reinterpret_cast<const sockaddr *>(&remote));
            m_remotePort = ntohs(remote.sin_port);
        }
    }
    return m_fd != ps::kNone;
}

// A socket the kernel has let go of while this peer still holds it was
// reset: an orderly end leaves it there, waiting for this side's close.
bool SlowPeer::goneFromTheKernel() const
{
    for (const KernelSocket &socket : kernelSockets()) {
        if (socket.localAddress == m_local && socket.localPort == m_localPort && socket.remoteAddress == m_remote
            && socket.remotePort == m_remotePort)
            return false;
    }
    return true;
}

void SlowPeer::read(qsizetype most)
{
    char chunk[16 * 1024];
    while (end == Open && most > 0 && accepted()) {
        const long long n = ps::receive(m_fd, chunk, size_t(std::min<qsizetype>(most, sizeof chunk)));
        if (n > 0) {
            received.append(chunk, n);
            most -= n;
        } else {
            if (n == 0 || !ps::wouldBlock())
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
    return accepted() && ps::send(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

// Under Wine the reset is not told to the socket (Wine takes the kernel's
// pending error, and what had arrived can still be read), so the kernel's
// table of sockets is asked as well.
bool SlowPeer::wasReset()
{
    if (end != Reset && accepted() && (ps::resetPending(m_fd) || goneFromTheKernel()))
        end = Reset;
    return end == Reset;
}

} // namespace support
