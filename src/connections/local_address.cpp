#include "connections/local_address.h"

#include <QFile>
#include <QNetworkInterface>

namespace connections {

namespace {

bool isWildcard(const QHostAddress &address)
{
    return address.isNull() || address == QHostAddress::Any || address == QHostAddress::AnyIPv4
        || address == QHostAddress::AnyIPv6;
}

// Name of the interface of the IPv4 default route, from the kernel's table.
QString defaultRouteInterface()
{
    QFile routes(QStringLiteral("/proc/net/route"));
    if (!routes.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    routes.readLine(); // header
    while (!routes.atEnd()) {
        const QList<QByteArray> fields = routes.readLine().simplified().split(' ');
        if (fields.size() > 2 && fields[1] == "00000000")
            return QString::fromLatin1(fields[0]);
    }
    return {};
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

    const QString routed = defaultRouteInterface();
    if (!routed.isEmpty()) {
        const QString ip = firstIPv4(QNetworkInterface::interfaceFromName(routed));
        if (!ip.isEmpty())
            return ip;
    }
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
