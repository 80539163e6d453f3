#include "connections/pending_requests.h"

#include <limits>

namespace connections {

qint32 PendingRequests::add(QTcpSocket *socket)
{
    m_lastId = (m_lastId == std::numeric_limits<qint32>::max()) ? 1 : m_lastId + 1;
    m_sockets[m_lastId] = socket;
    return m_lastId;
}

QTcpSocket *PendingRequests::take(qint32 id)
{
    auto found = m_sockets.find(id);
    if (found == m_sockets.end())
        return nullptr;
    QTcpSocket *socket = found->second;
    m_sockets.erase(found);
    return socket;
}

} // namespace connections
