// Serial ports on "\\.\COMn". (Placeholder until the serial layer lands.)
#include "kernel_object.h"
#include "platform/win_error.h"

namespace platform {

HANDLE OpenSerialDevice(LPCWSTR, DWORD, DWORD, DWORD, DWORD) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

}  // namespace platform
