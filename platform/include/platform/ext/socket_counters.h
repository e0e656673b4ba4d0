// Counters of the socket layer (winsock.h), for tests that check sockets are
// neither leaked nor closed twice.
#pragma once

#include "platform/win_types.h"

namespace platform {

// Outstanding WSAStartup calls, sockets created, sockets closed, closesocket
// calls that found no socket.
struct SocketCounters {
    int nStartups;
    unsigned nCreated;
    unsigned nClosed;
    unsigned nBadCloses;
};
PLATFORM_API SocketCounters GetSocketCounters();

}  // namespace platform
