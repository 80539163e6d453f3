#include "own_network.h"

#include <QFile>
#include <QtEndian>

namespace support {

// Where this system shows the kernel's table of TCP sockets, in the format
// of Linux's /proc/net/tcp (own_network_posix.cpp, own_network_wine.cpp).
QString kernelTcpTable();

namespace {

// "0100007F:C1A9": the address as the kernel's 32-bit word in network order,
// printed in this machine's byte order, then the port.
void parseEndpoint(const QByteArray &text, QHostAddress &address, int &port)
{
    const QList<QByteArray> parts = text.split(':');
    address = QHostAddress(qFromBigEndian(quint32(parts.value(0).toULong(nullptr, 16))));
    port = parts.value(1).toInt(nullptr, 16);
}

} // namespace

std::vector<KernelSocket> kernelSockets()
{
    std::vector<KernelSocket> sockets;
    QFile table(kernelTcpTable());
    if (!table.open(QIODevice::ReadOnly))
        return sockets;
    QList<QByteArray> lines = table.readAll().split('\n');
    if (!lines.isEmpty())
        lines.removeFirst(); // the header
    for (const QByteArray &line : std::as_const(lines)) {
        // sl local remote st tx_queue:rx_queue tr:tm->when retrnsmt uid ...
        const QList<QByteArray> fields = line.simplified().split(' ');
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
