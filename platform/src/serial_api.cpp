// The Windows comm calls: each finds its port in the handle table and
// passes the call on. A handle that is not an open port fails with
// ERROR_INVALID_HANDLE; a null record with ERROR_INVALID_PARAMETER.
#include "fault_hit.h"
#include "platform/win_error.h"
#include "platform/win_serial.h"
#include "serial_port.h"

namespace {

std::shared_ptr<platform::SerialPort> Port(HANDLE hFile) {
    auto port = platform::LookupAs<platform::SerialPort>(hFile, platform::ObjectKind::Serial);
    if (!port)
        SetLastError(ERROR_INVALID_HANDLE);
    return port;
}

template <class T>
bool Present(T* lpRecord) {
    if (lpRecord != nullptr)
        return true;
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

// Checks the fault seam, finds the port, then runs the call on it.
template <class Fn>
BOOL OnPort(const char* lpszCall, HANDLE hFile, Fn&& fn) {
    if (platform::FaultHit(lpszCall))
        return FALSE;
    auto port = Port(hFile);
    if (!port)
        return FALSE;
    return fn(*port);
}

}  // namespace

extern "C" BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    return OnPort("GetCommState", hFile, [&](platform::SerialPort& p) {
        return Present(lpDCB) ? p.GetState(lpDCB) : FALSE;
    });
}

extern "C" BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    return OnPort("SetCommState", hFile, [&](platform::SerialPort& p) {
        return Present(lpDCB) ? p.SetState(lpDCB) : FALSE;
    });
}

extern "C" BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    return OnPort("SetupComm", hFile,
                  [&](platform::SerialPort& p) { return p.Setup(dwInQueue, dwOutQueue); });
}

extern "C" BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return OnPort("GetCommTimeouts", hFile, [&](platform::SerialPort& p) {
        return Present(lpCommTimeouts) ? p.GetTimeouts(lpCommTimeouts) : FALSE;
    });
}

extern "C" BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return OnPort("SetCommTimeouts", hFile, [&](platform::SerialPort& p) {
        return Present(lpCommTimeouts) ? p.SetTimeouts(lpCommTimeouts) : FALSE;
    });
}

extern "C" BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return OnPort("PurgeComm", hFile, [&](platform::SerialPort& p) { return p.Purge(dwFlags); });
}

extern "C" BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    return OnPort("ClearCommError", hFile,
                  [&](platform::SerialPort& p) { return p.ClearError(lpErrors, lpStat); });
}

extern "C" BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return OnPort("SetCommMask", hFile,
                  [&](platform::SerialPort& p) { return p.SetMask(dwEvtMask); });
}

extern "C" BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    return OnPort("GetCommMask", hFile, [&](platform::SerialPort& p) {
        return Present(lpEvtMask) ? p.GetMask(lpEvtMask) : FALSE;
    });
}

extern "C" BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    return OnPort("WaitCommEvent", hFile, [&](platform::SerialPort& p) {
        return Present(lpEvtMask) ? p.WaitEvent(lpEvtMask, lpOverlapped) : FALSE;
    });
}

extern "C" BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    return OnPort("EscapeCommFunction", hFile,
                  [&](platform::SerialPort& p) { return p.Escape(dwFunc); });
}
