#pragma once

#include <QHostAddress>
#include <QString>

namespace connections {

// Text of an address as peers write it: IPv4 in dotted form, also when it
// arrived IPv4-mapped on a dual-stack socket.
QString addressText(const QHostAddress &address);

// This machine's IPv4 address as its peers see it: the address it sends from
// on its default route, else the first non-loopback IPv4 address of an
// interface that is up, else 127.0.0.1. A socket bound to one address
// answers with it.
QString localIPv4(const QHostAddress &bindAddress);

} // namespace connections
