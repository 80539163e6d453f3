#include "connections/local_address.h"

#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QUdpSocket>

namespace connections {

namespace {

bool isWildcard(const QHostAddress &address)
{
    return address.isNull() || address == QHostAddress::Any || address == QHostAddress::AnyIPv4
        || address == QHostAddress::AnyIPv6;
}

// An address beyond every local network (TEST-NET-2, which no network uses),
// so that reaching it takes the default route.
const QHostAddress kFueraDeLaRed(QStringLiteral("198.51.100.1"));

// The address this host sends from on its IPv4 default route: a UDP socket
// "connected" to an outside address takes the source address of the route
// the kernel would use, and no packet is sent. Empty without such a route.
QString defaultRouteAddress()
{
    QUdpSocket probe;
    probe.setProxy(QNetworkProxy::NoProxy);
    probe.connectToHost(kFueraDeLaRed, 9);
    if (probe.state() != QAbstractSocket::ConnectedState)
        return {};
    const QHostAddress local = probe.localAddress();
    if (local.protocol() != QAbstractSocket::IPv4Protocol || local.isLoopback() || isWildcard(local))
        return {};
    return local.toString();
}

QString firstIPv4(const QNetworkInterface &interface)
{
    for (const QNetworkAddressEntry &entry : interface.addressEntries()) {
        const QHostAddress ip = entry.ip();
        if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback())
            return ip.toString();
    }
    return {};
}

bool isUsable(const QNetworkInterface &interface)
{
    const auto flags = interface.flags();
    return flags.testFlag(QNetworkInterface::IsUp) && flags.testFlag(QNetworkInterface::IsRunning)
        && !flags.testFlag(QNetworkInterface::IsLoopBack);
}

} // namespace

QString addressText(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        return QHostAddress(ipv4).toString();
    return address.toString();
}

QString localIPv4(const QHostAddress &bindAddress)
{
    if (!isWildcard(bindAddress))
        return addressText(bindAddress);

    const QString routed = defaultRouteAddress();
    if (!routed.isEmpty())
        return routed;
    for (const QNetworkInterface &interface : QNetworkInterface::allInterfaces()) {
        if (!isUsable(interface))
            continue;
        const QString ip = firstIPv4(interface);
        if (!ip.isEmpty())
            return ip;
    }
    return QStringLiteral("127.0.0.1");
}

} // namespace connections
