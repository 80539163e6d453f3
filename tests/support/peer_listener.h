#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

namespace support {

// A peer's listener on the chat port of its own address: it takes a copy's
// connect-back and keeps everything that arrives on it.
class PeerListener {
public:
    explicit PeerListener(const char *own);

    bool listening() const { return m_server.isListening(); }
    QString errorString() const { return m_server.errorString(); }
    // The copy has connected back.
    bool linked() const { return fromCopy != nullptr; }

    QTcpSocket *fromCopy = nullptr;
    QByteArray received;

private:
    QTcpServer m_server;
};

} // namespace support
