// The generic transfer calls (ReadFile, WriteFile, FlushFileBuffers,
// GetOverlappedResult) and the completion of overlapped operations.
#include <atomic>

#include "fault_hit.h"
#include "kernel_object.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "platform/win_sync.h"

namespace platform {

namespace {
// OVERLAPPED::Internal is written by the completing thread and polled by
// GetOverlappedResult without a wait; access it atomically.
ULONG_PTR LoadStatus(const OVERLAPPED* lpOv) {
    return __atomic_load_n(&lpOv->Internal, __ATOMIC_ACQUIRE);
}
}  // namespace

bool OverlappedPending(const OVERLAPPED* lpOv) {
    return LoadStatus(lpOv) == kOverlappedPending;
}

DWORD OverlappedError(const OVERLAPPED* lpOv) {
    return static_cast<DWORD>(LoadStatus(lpOv) & ~kOverlappedFailed);
}

void BeginOverlapped(LPOVERLAPPED lpOv) {
    lpOv->InternalHigh = 0;
    std::atomic_ref<ULONG_PTR>(lpOv->Internal).store(kOverlappedPending, std::memory_order_release);
    if (lpOv->hEvent != nullptr)
        ResetEvent(lpOv->hEvent);
}

void CompleteOverlapped(LPOVERLAPPED lpOv, DWORD dwError, DWORD dwCount) {
    HANDLE hEvent = lpOv->hEvent;
    lpOv->InternalHigh = dwCount;
    const ULONG_PTR status = dwError == ERROR_SUCCESS ? 0 : kOverlappedFailed | dwError;
    std::atomic_ref<ULONG_PTR>(lpOv->Internal).store(status, std::memory_order_release);
    if (hEvent != nullptr)
        SetEvent(hEvent);
}

}  // namespace platform

extern "C" BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    if (platform::FaultHit("ReadFile"))
        return FALSE;
    std::shared_ptr<platform::KernelObject> object = platform::LookupObject(hFile);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    return object->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

extern "C" BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    if (platform::FaultHit("WriteFile"))
        return FALSE;
    std::shared_ptr<platform::KernelObject> object = platform::LookupObject(hFile);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    return object->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
}

extern "C" BOOL FlushFileBuffers(HANDLE hFile) {
    if (platform::FaultHit("FlushFileBuffers"))
        return FALSE;
    std::shared_ptr<platform::KernelObject> object = platform::LookupObject(hFile);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->Flush();
}

extern "C" BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                    LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    (void)hFile;  // completion is tracked in the record, whatever the handle
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    while (platform::OverlappedPending(lpOverlapped)) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (lpOverlapped->hEvent == nullptr ||
            WaitForSingleObject(lpOverlapped->hEvent, INFINITE) == WAIT_FAILED) {
            // Without a usable event, poll: completion is still guaranteed
            // (the port or file completes every operation it started).
            Sleep(1);
        }
    }
    // An injected failure is reported only once the operation has completed:
    // the caller may free the record and its buffer after a failed wait, so
    // the platform must be done with them by then.
    if (platform::FaultHit("GetOverlappedResult")) {
        if (lpNumberOfBytesTransferred != nullptr)
            *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
        return FALSE;
    }
    DWORD dwStatus = platform::OverlappedError(lpOverlapped);
    if (lpNumberOfBytesTransferred != nullptr)
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (dwStatus != ERROR_SUCCESS) {
        SetLastError(dwStatus);
        return FALSE;
    }
    return TRUE;
}
