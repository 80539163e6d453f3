#include "foreign_peer.h"

#include "main_window/form1.h"

#include <QHostAddress>
#include <QTest>

namespace support {

ForeignPeer::ForeignPeer(const char *own)
    : PeerListener(own)
{
    toCopy.bind(QHostAddress(QLatin1String(own)), 0);
}

bool ForeignPeer::reach(const Form1 &copy, const char *copyAddress)
{
    toCopy.connectToHost(QHostAddress(QLatin1String(copyAddress)), Form1::PuertoChat);
    return toCopy.waitForConnected(5000) && QTest::qWaitFor([&] { return copy.slotOcupado(1); });
}

void ForeignPeer::send(const QByteArray &bytes)
{
    toCopy.write(bytes);
    toCopy.flush();
}

} // namespace support
