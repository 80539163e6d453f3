#include "connections/native_socket.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace connections::native_socket {

qint64 bytesWaiting(qintptr descriptor)
{
    int count = 0;
    if (descriptor == -1 || ::ioctl(int(descriptor), FIONREAD, &count) != 0)
        return 0;
    return count;
}

std::optional<qint64> unacknowledged(qintptr descriptor)
{
    int count = 0;
    if (descriptor == -1 || ::ioctl(int(descriptor), SIOCOUTQ, &count) != 0)
        return 0;
    return count;
}

void endSending(qintptr descriptor) { ::shutdown(int(descriptor), SHUT_WR); }

void resetOnClose(qintptr descriptor)
{
    const linger now{1, 0};
    ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &now, sizeof now);
}

// The event loop here takes turns between the sockets, the timers and the
// posted events.
bool readsStarveTheWindow() { return false; }

qint64 readPieceBytes() { return 16 * 1024; }
int readTurnMs() { return 4; }

} // namespace connections::native_socket
