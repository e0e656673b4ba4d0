// The thread's last Windows error.
#pragma once

#include "platform/win_types.h"

extern "C" {
// Returns the calling thread's last error value. Thread-safe (per thread).
PLATFORM_API DWORD GetLastError();
// Stores dwErrCode as the calling thread's last error value.
PLATFORM_API void SetLastError(DWORD dwErrCode);
}
