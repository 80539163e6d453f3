#include "own_network.h"

#include <QString>

// The Windows tests run under Wine, whose sockets are the Linux kernel's:
// the kernel's own table is read through Wine's drive Z:, which is the Linux
// root, and the namespace's identity comes from the Wine runner.
namespace support {

QString kernelTcpTable() { return QStringLiteral("Z:/proc/net/tcp"); }

// tests/support/wine_test.sh, started by own_network.sh, tells the namespace
// it runs in (VZ_INNER_NETNS) beside the one it was started from.
bool inOwnNetwork()
{
    const QByteArray outer = qgetenv("VZ_OUTER_NETNS");
    const QByteArray inner = qgetenv("VZ_INNER_NETNS");
    return !outer.isEmpty() && !inner.isEmpty() && outer != inner;
}

} // namespace support
