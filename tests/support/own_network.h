#pragma once
// The network namespace a test runs in (tests/support/own_network.sh makes
// one for every test that opens sockets), and what the kernel holds in it.
// Inside a test's own namespace every socket the kernel lists is the test's,
// so the list tells for certain that nothing more can happen on the network:
// no connection attempt is left, no byte is still on its way.

#include <QHostAddress>

#include <vector>

namespace support {

// True when this process runs in a network namespace other than the one it
// was started from by own_network.sh. Every test that opens sockets checks
// it first, so that one registered without the launcher fails at once
// instead of meeting whatever else uses the chat's port.
bool inOwnNetwork();
inline constexpr const char *kOwnNetworkAdvice
    = "this test opens sockets: run it in a network namespace of its own, through "
      "tests/support/own_network.sh (as CTest does)";

// The kernel's states of a TCP socket, as /proc/net/tcp numbers them.
enum KernelTcpState {
    Established = 1,
    SynSent = 2,
    SynReceived = 3,
    Listen = 10,
};

struct KernelSocket {
    QHostAddress localAddress;
    int localPort = 0;
    QHostAddress remoteAddress;
    int remotePort = 0;
    int state = 0;
    qint64 sendQueue = 0;    // written but not yet acknowledged by the peer
    qint64 receiveQueue = 0; // arrived but not yet read; for a listener, connections not yet accepted
    int retransmits = 0;     // retransmissions in a row so far: for a connect, the SYN retries
};

// Every IPv4 TCP socket of this network namespace (/proc/net/tcp).
std::vector<KernelSocket> kernelSockets();

// The sockets of this namespace connected, or connecting, to `address`:`port`
// (connections that have begun to close are left out).
std::vector<KernelSocket> socketsTowards(const QHostAddress &address, int port);

// No established connection of this namespace has a byte still on its way:
// every one sent has been acknowledged and every one received has been read.
bool nothingInFlight();

} // namespace support
