// POSIX errno values as Windows errors, for the platform's own calls.
#pragma once

#include "platform/win_types.h"

namespace platform {

// Maps a POSIX errno value to the Windows error value of the same meaning
// (ENOENT -> ERROR_FILE_NOT_FOUND, EACCES -> ERROR_ACCESS_DENIED, ...);
// unknown values map to ERROR_GEN_FAILURE.
DWORD ErrorFromErrno(int err);
// SetLastError(ErrorFromErrno(err)); returns the stored value.
DWORD SetLastErrorFromErrno(int err);

}  // namespace platform
