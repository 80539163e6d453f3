#pragma once
// Shared by the fault-tolerance tests: peers that misbehave at the socket
// level, and checks that a window is still alive.

#include "../support/chat_test_support.h"

#include <QByteArray>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace robustness {

inline QHostAddress address(const char *text) { return QHostAddress(QLatin1String(text)); }

// A peer on a plain POSIX socket, so that it can do what Qt's sockets do not
// offer: reset the connection, or shut down only its sending half. It uses
// blocking calls; on loopback the kernel completes the handshake with a
// listening socket by itself, so the window's event loop need not run.
class RawPeer {
public:
    RawPeer(const char *from, const char *to, int port = Form1::PuertoChat)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in own{};
        own.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &own.sin_addr);
        sockaddr_in other{};
        other.sin_family = AF_INET;
        other.sin_port = htons(quint16(port));
        ::inet_pton(AF_INET, to, &other.sin_addr);
        // Reusable, so that if the kernel picks the chat's port for this
        // peer, the connection's TIME_WAIT does not keep a later listener
        // from binding it.
        const int yes = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        connected_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr *>(&own), sizeof own) == 0
            && ::connect(fd_, reinterpret_cast<sockaddr *>(&other), sizeof other) == 0;
    }
    ~RawPeer()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;

    bool connected() const { return connected_; }

    bool send(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }

    // Closes with a zero linger time: the kernel answers with a reset (RST)
    // instead of the orderly end of the stream.
    void reset()
    {
        linger now{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
        ::close(fd_);
        fd_ = -1;
    }

    // No more data from this side; the peer can still read what comes back.
    void shutdownSending() { ::shutdown(fd_, SHUT_WR); }

    // The other side has ended the connection (orderly or by reset); does not wait.
    bool closedByOtherSide()
    {
        char byte;
        const ssize_t n = ::recv(fd_, &byte, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

// The window's listener is up; when it is not, another program holds the
// chat's port on that address (or on every address) and nothing else here
// can work.
inline bool listening(const Form1 &form)
{
    return support::recibe(form)(0).State() == connections::Listening;
}

// What the transcript shows, with the CR LF that precedes each entry taken
// out: for peers that send no line breaks, exactly the text they sent.
inline QString shownText(const Form1 &form)
{
    return support::transcriptText(form).remove(QStringLiteral("\r\n"));
}

inline QStringList entries(const Form1 &form)
{
    QStringList parts = support::transcriptText(form).split(QStringLiteral("\r\n"));
    parts.removeFirst();
    return parts;
}

inline QTimer &captionTimer(const Form1 &form)
{
    return *form.findChild<QTimer *>(QStringLiteral("Timer1"));
}

// The caption is rewritten on every tick: a caption changed behind the
// window's back comes back within a tick or two.
inline bool captionComesBack(Form1 &form, const QString &address, const char *word)
{
    form.setWindowTitle(QStringLiteral("(sin título)"));
    const QString expected = support::caption(address, word);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3000) {
        QTest::qWait(20);
        if (form.windowTitle() == expected)
            return true;
    }
    return false;
}

// Where two texts first differ, for a failure message that stays short.
inline QString firstDifference(const QString &shown, const QString &sent)
{
    qsizetype i = 0;
    const qsizetype n = std::min(shown.size(), sent.size());
    while (i < n && shown[i] == sent[i])
        ++i;
    return QStringLiteral("shown %1 units, sent %2; first difference at %3: shown \"%4\", sent \"%5\"")
        .arg(shown.size())
        .arg(sent.size())
        .arg(i)
        .arg(shown.mid(i, 24), sent.mid(i, 24));
}

} // namespace robustness
