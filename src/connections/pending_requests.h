#pragma once

#include <QPointer>
#include <QTcpSocket>

#include <map>

namespace connections {

// Connections taken from a listener and waiting to be accepted, by request
// number. One table serves the listener that raises the requests and every
// control that may accept them: the elements of one socket array share their
// array's, a control on its own has its own.
class PendingRequests {
public:
    // Files the socket under a new request number, never 0 and never negative.
    qint32 add(QTcpSocket *socket);
    // The socket filed under `id`, taken out of the table; null when none is
    // (or it has gone meanwhile).
    QTcpSocket *take(qint32 id);

private:
    std::map<qint32, QPointer<QTcpSocket>> m_sockets;
    qint32 m_lastId = 0;
};

} // namespace connections
