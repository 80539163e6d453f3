#include "connections/socket_array.h"

namespace connections {

SocketArray::SocketArray(LingeringConnections &lingering, const QHostAddress &bindAddress, QObject *parent)
    : QObject(parent)
    , m_lingering(lingering)
    , m_bind(bindAddress)
{
    create(0);
}

void SocketArray::Load(int index)
{
    if (index < 0 || index > MaxIndex)
        throw SocketError(QStringLiteral("El índice %1 está fuera del arreglo de sockets.").arg(index));
    if (exists(index))
        throw SocketError(QStringLiteral("El socket %1 ya existe.").arg(index));
    create(index);
}

bool SocketArray::exists(int index) const { return m_elements.count(index) > 0; }

SocketControl &SocketArray::operator()(int index) const
{
    auto found = m_elements.find(index);
    if (found == m_elements.end())
        throw SocketError(QStringLiteral("El socket %1 no existe.").arg(index));
    return *found->second;
}

void SocketArray::create(int index)
{
    auto *element = new SocketControl(m_lingering, m_requests, this);
    element->setObjectName(QStringLiteral("WSCRecibe(%1)").arg(index));
    element->setBindAddress(m_bind);
    connect(element, &SocketControl::ConnectionRequest, this,
            [this, index](qint32 requestID) { emit ConnectionRequest(index, requestID); });
    connect(element, &SocketControl::DataArrival, this,
            [this, index](qint32 bytesTotal) { emit DataArrival(index, bytesTotal); });
    m_elements[index] = element;
}

} // namespace connections
