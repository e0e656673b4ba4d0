// Kernel handles: one table for files, serial ports, events, threads and
// sockets. Handle values fit in 32 bits.
#pragma once

#include "platform/win_types.h"

extern "C" {
// Closes a handle of any kind. On success the value becomes invalid; a
// pending overlapped operation on a closed port or file completes with
// ERROR_OPERATION_ABORTED. FALSE with ERROR_INVALID_HANDLE for an unknown
// or already closed value. Thread-safe.
PLATFORM_API BOOL CloseHandle(HANDLE hObject);
}
