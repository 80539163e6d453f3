#pragma once
// The few calls of the system's own socket API that the tests' raw and slow
// peers make, the same on POSIX and on Windows, so that each peer
// is written once.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <QtGlobal>

#include <cstddef>

namespace support::plain_socket {

// A socket as the peers keep it: an int on POSIX, a SOCKET (a 64-bit handle,
// INVALID_SOCKET being -1) on Windows.
using Handle = qintptr;
inline constexpr Handle kNone = -1;

#ifdef _WIN32
inline SOCKET native(Handle socket) { return static_cast<SOCKET>(socket); }
#else
inline int native(Handle socket) { return static_cast<int>(socket); }
#endif

// A TCP socket over IPv4 (on Windows the socket library is started first).
inline Handle open()
{
#ifdef _WIN32
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data); // counted: as often as Qt's own, harmless
    return Handle(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
#else
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
}

inline void close(Handle socket)
{
#ifdef _WIN32
    ::closesocket(native(socket));
#else
    ::close(native(socket));
#endif
}

inline void setNonBlocking(Handle socket)
{
#ifdef _WIN32
    u_long yes = 1;
    ::ioctlsocket(native(socket), FIONBIO, &yes);
#else
    ::fcntl(native(socket), F_SETFL, ::fcntl(native(socket), F_GETFL) | O_NONBLOCK);
#endif
}

inline sockaddr_in address(const char *ip, int port)
{
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<unsigned short>(port));
    ::inet_pton(AF_INET, ip, &at.sin_addr);
    return at;
}

template <typename T> inline void setOption(Handle socket, int name, const T &value)
{
    ::setsockopt(native(socket), SOL_SOCKET, name, reinterpret_cast<const char *>(&value), sizeof value);
}

// Sends without a SIGPIPE for a connection the other side has ended.
inline long long send(Handle socket, const char *bytes, std::size_t size)
{
#ifdef _WIN32
    return ::send(native(socket), bytes, int(size), 0);
#else
    return ::send(native(socket), bytes, size, MSG_NOSIGNAL);
#endif
}

inline long long receive(Handle socket, char *bytes, std::size_t size)
{
#ifdef _WIN32
    return ::recv(native(socket), bytes, int(size), 0);
#else
    return ::recv(native(socket), bytes, size, 0);
#endif
}

// Receives what is there on a blocking socket, without waiting for more.
inline long long receiveNow(Handle socket, char *bytes, std::size_t size)
{
#ifdef _WIN32
    u_long yes = 1, no = 0;
    ::ioctlsocket(native(socket), FIONBIO, &yes);
    const int received = ::recv(native(socket), bytes, int(size), 0);
    const int error = ::WSAGetLastError();
    ::ioctlsocket(native(socket), FIONBIO, &no);
    ::WSASetLastError(error);
    return received;
#else
    return ::recv(native(socket), bytes, size, MSG_DONTWAIT);
#endif
}

// The next connection waiting on a listener, itself non-blocking.
inline Handle acceptNonBlocking(Handle listener)
{
#ifdef _WIN32
    const SOCKET accepted = ::accept(native(listener), nullptr, nullptr);
    if (accepted == INVALID_SOCKET)
        return kNone;
    setNonBlocking(Handle(accepted));
    return Handle(accepted);
#else
    return ::accept4(native(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#endif
}

// The last call failed only because nothing was there yet.
inline bool wouldBlock()
{
#ifdef _WIN32
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
#else
    return errno == EAGAIN || errno == EWOULDBLOCK;
#endif
}

// The pending error of the connection is a reset (or, after the end of the
// stream, a broken pipe).
inline bool resetPending(Handle socket)
{
    int error = 0;
#ifdef _WIN32
    int size = sizeof error;
    return ::getsockopt(native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size) == 0
        && (error == WSAECONNRESET || error == WSAECONNABORTED);
#else
    socklen_t size = sizeof error;
    return ::getsockopt(native(socket), SOL_SOCKET, SO_ERROR, &error, &size) == 0
        && (error == ECONNRESET || error == EPIPE);
#endif
}

// The two ends of a connection, or false.
inline bool ends(Handle socket, sockaddr_in &local, sockaddr_in &remote)
{
#ifdef _WIN32
    int localSize = sizeof local, remoteSize = sizeof remote;
#else
    socklen_t localSize = sizeof local, remoteSize = sizeof remote;
#endif
    return ::getsockname(native(socket), reinterpret_cast<sockaddr *>(&local), &localSize) == 0
        && ::getpeername(native(socket), reinterpret_cast<sockaddr *>(&remote), &remoteSize) == 0;
}

inline void shutdownSending(Handle socket)
{
#ifdef _WIN32
    ::shutdown(native(socket), SD_SEND);
#else
    ::shutdown(native(socket), SHUT_WR);
#endif
}

} // namespace support::plain_socket
