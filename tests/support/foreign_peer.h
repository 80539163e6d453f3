#pragma once

#include "support/peer_listener.h"

#include <QByteArray>
#include <QTcpSocket>

class Form1;

namespace support {

// A foreign peer: a plain socket that connects into a copy, and a listener on
// its own address that takes the copy's connect-back and keeps what it reads.
class ForeignPeer : public PeerListener {
public:
    explicit ForeignPeer(const char *own);

    // Connects into a copy, which takes it into a slot.
    bool reach(const Form1 &copy, const char *copyAddress);
    void send(const QByteArray &bytes);

    QTcpSocket toCopy;
};

} // namespace support
