#pragma once

#include <QtGlobal>

#include <optional>

// What the operating system's sockets tell and do beyond Qt's API, for a
// connection Qt holds (`descriptor` is its socketDescriptor()). POSIX and
// Windows each have a file of their own; the rest of the socket control is
// the same on both.
namespace connections::native_socket {

// Bytes that have reached this host on the connection but are not read yet.
qint64 bytesWaiting(qintptr descriptor);

// Bytes written on the connection and not yet acknowledged by the peer, the
// FIN included once it is sent. Empty where the system does not tell:
// Windows tells only that it is none, once the peer has acknowledged the FIN.
std::optional<qint64> unacknowledged(qintptr descriptor);

// Nothing more will be written: the FIN follows what the kernel holds.
void endSending(qintptr descriptor);

// The coming close resets the connection (RST) instead of ending it in order.
void resetOnClose(qintptr descriptor);

// Whether reading as fast as a peer sends would starve the window: Windows
// serves a socket's messages before the user's input and the window's
// paints, and Qt sends its posted events (the paints among them) once per
// pass of its event loop, so a peer that never stops would freeze it. There
// a turn of reading ends its pass, and the next pass reads on.
bool readsStarveTheWindow();

// How a peer that keeps the host busy is read: in pieces of at most this
// many bytes (what Qt holds unread for one socket), for at most this long in
// one pass of the event loop. Each piece and each pass costs more under
// Windows' sockets and event loop (under Wine, a pass between two turns
// takes 6 to 9 ms): larger pieces and longer turns carry a flood there.
qint64 readPieceBytes();
int readTurnMs();

} // namespace connections::native_socket
