// Waiting on a file descriptor that a library outside the platform owns (a
// database client's socket), with a time bound.
#pragma once

#include "platform/win_types.h"

namespace platform {

// Waits up to dwMilliseconds for fd to be readable (bForWrite FALSE) or
// writable (TRUE); an error or hang-up on fd counts as ready, so the owner's
// next call reports it. Returns 1 when ready, 0 on time-out
// (ERROR_TIMEOUT), -1 on failure (a bad descriptor: ERROR_INVALID_HANDLE).
PLATFORM_API int WaitForDescriptor(int fd, BOOL bForWrite, DWORD dwMilliseconds);

}  // namespace platform
