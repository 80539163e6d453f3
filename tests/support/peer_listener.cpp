#include "peer_listener.h"

#include "connections/chat_port.h"

#include <QHostAddress>

namespace support {

PeerListener::PeerListener(const char *own)
{
    m_server.listen(QHostAddress(QLatin1String(own)), connections::PuertoChat);
    QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
        fromCopy = m_server.nextPendingConnection();
        QObject::connect(fromCopy, &QTcpSocket::readyRead, [this] { received += fromCopy->readAll(); });
    });
}

} // namespace support
