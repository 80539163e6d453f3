#include "own_network.h"

#include <QFile>

#include <arpa/inet.h>
#include <unistd.h>

namespace support {

namespace {

// "0100007F:C1A9": the address as the kernel's 32-bit word in network order,
// printed in this machine's byte order, then the port.
void parseEndpoint(const QByteArray &text, QHostAddress &address, int &port)
{
    const QList<QByteArray> parts = text.split(':');
    address = QHostAddress(ntohl(quint32(parts.value(0).toULong(nullptr, 16))));
    port = parts.value(1).toInt(nullptr, 16);
}

} // namespace

bool inOwnNetwork()
{
    // "net:[4026531840]": the namespace's identity.
    char own[64] = {};
    const ssize_t length = ::readlink("/proc/self/ns/net", own, sizeof own - 1);
    const QByteArray outer = qgetenv("VZ_OUTER_NETNS");
    return length > 0 && !outer.isEmpty() && outer != QByteArray(own, length);
}

std::vector<KernelSocket> kernelSockets()
{
    std::vector<KernelSocket> sockets;
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly | QIODevice::Text))
        return sockets;
    table.readLine(); // the header
    while (!table.atEnd()) {
        // sl local remote st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
        const QList<QByteArray> fields = table.readLine().simplified().split(' ');
        if (fields.size() < 7)
            continue;
        KernelSocket socket;
        parseEndpoint(fields[1], socket.localAddress, socket.localPort);
        parseEndpoint(fields[2], socket.remoteAddress, socket.remotePort);
        socket.state = fields[3].toInt(nullptr, 16);
        const QList<QByteArray> queues = fields[4].split(':');
        socket.sendQueue = queues.value(0).toLongLong(nullptr, 16);
        socket.receiveQueue = queues.value(1).toLongLong(nullptr, 16);
        socket.retransmits = fields[6].toInt(nullptr, 16);
        sockets.push_back(socket);
    }
    return sockets;
}

std::vector<KernelSocket> socketsTowards(const QHostAddress &address, int port)
{
    std::vector<KernelSocket> found;
    for (const KernelSocket &socket : kernelSockets()) {
        if ((socket.state == Established || socket.state == SynSent) && socket.remoteAddress == address
            && socket.remotePort == port)
            found.push_back(socket);
    }
    return found;
}

bool nothingInFlight()
{
    for (const KernelSocket &socket : kernelSockets()) {
        if (socket.state == Established && (socket.sendQueue != 0 || socket.receiveQueue != 0))
            return false;
    }
    return true;
}

} // namespace support
