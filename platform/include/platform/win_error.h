// The thread's last Windows error.
#pragma once

#include "platform/win_types.h"

extern "C" {
// Returns the calling thread's last error value. Thread-safe (per thread).
PLATFORM_API DWORD GetLastError();
// Stores dwErrCode as the calling thread's last error value.
PLATFORM_API void SetLastError(DWORD dwErrCode);
}

namespace platform {
// Maps a POSIX errno value to the Windows error value of the same meaning
// (ENOENT -> ERROR_FILE_NOT_FOUND, EACCES -> ERROR_ACCESS_DENIED, ...);
// unknown values map to ERROR_GEN_FAILURE.
PLATFORM_API DWORD ErrorFromErrno(int err);
// SetLastError(ErrorFromErrno(err)); returns the stored value.
PLATFORM_API DWORD SetLastErrorFromErrno(int err);
}  // namespace platform
