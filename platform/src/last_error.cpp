// The thread's last Windows error, and errno mapping.
#include <cerrno>

#include "error_from_errno.h"
#include "platform/win_error.h"

namespace {
thread_local DWORD t_dwLastError = ERROR_SUCCESS;
}

extern "C" DWORD GetLastError() {
    return t_dwLastError;
}

extern "C" void SetLastError(DWORD dwErrCode) {
    t_dwLastError = dwErrCode;
}

namespace platform {

DWORD ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EBUSY:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOSPC:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case EAGAIN:
            return ERROR_BUSY;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case EINTR:
            return ERROR_OPERATION_ABORTED;
        case ENXIO:
        case ENODEV:
            return ERROR_DEVICE_NOT_CONNECTED;
        case EIO:
            return ERROR_GEN_FAILURE;
        case ENOTSUP:
            return ERROR_NOT_SUPPORTED;
        case ENOTTY:
            return ERROR_INVALID_FUNCTION;
        default:
            return ERROR_GEN_FAILURE;
    }
}

DWORD SetLastErrorFromErrno(int err) {
    DWORD dwError = ErrorFromErrno(err);
    SetLastError(dwError);
    return dwError;
}

}  // namespace platform
