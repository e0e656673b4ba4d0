// The Windows comm calls: each finds its port in the handle table and
// passes the call on. A handle that is not an open port fails with
// ERROR_INVALID_HANDLE; a null record with ERROR_INVALID_PARAMETER.
#include "platform/fault_injection.h"
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

}  // namespace

extern "C" BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (platform::FaultHit("GetCommState"))
        return FALSE;
    auto port = Port(hFile);
    if (!port || !Present(lpDCB))
        return FALSE;
    return port->GetState(lpDCB);
}

extern "C" BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (platform::FaultHit("SetCommState"))
        return FALSE;
    auto port = Port(hFile);
    if (!port || !Present(lpDCB))
        return FALSE;
    return port->SetState(lpDCB);
}

extern "C" BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    if (platform::FaultHit("SetupComm"))
        return FALSE;
    auto port = Port(hFile);
    if (!port)
        return FALSE;
    return port->Setup(dwInQueue, dwOutQueue);
}

extern "C" BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (platform::FaultHit("GetCommTimeouts"))
        return FALSE;
    auto port = Port(hFile);
    if (!port || !Present(lpCommTimeouts))
        return FALSE;
    return port->GetTimeouts(lpCommTimeouts);
}

extern "C" BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (platform::FaultHit("SetCommTimeouts"))
        return FALSE;
    auto port = Port(hFile);
    if (!port || !Present(lpCommTimeouts))
        return FALSE;
    return port->SetTimeouts(lpCommTimeouts);
}

extern "C" BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    if (platform::FaultHit("PurgeComm"))
        return FALSE;
    auto port = Port(hFile);
    if (!port)
        return FALSE;
    return port->Purge(dwFlags);
}

extern "C" BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    if (platform::FaultHit("ClearCommError"))
        return FALSE;
    auto port = Port(hFile);
    if (!port)
        return FALSE;
    return port->ClearError(lpErrors, lpStat);
}

extern "C" BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    if (platform::FaultHit("SetCommMask"))
        return FALSE;
    auto port = Port(hFile);
    if (!port)
        return FALSE;
    return port->SetMask(dwEvtMask);
}

extern "C" BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (platform::FaultHit("GetCommMask"))
        return FALSE;
    auto port = Port(hFile);
    if (!port || !Present(lpEvtMask))
        return FALSE;
    return port->GetMask(lpEvtMask);
}

extern "C" BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    if (platform::FaultHit("WaitCommEvent"))
        return FALSE;
    auto port = Port(hFile);
    if (!port || !Present(lpEvtMask))
        return FALSE;
    return port->WaitEvent(lpEvtMask, lpOverlapped);
}

extern "C" BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    if (platform::FaultHit("EscapeCommFunction"))
        return FALSE;
    auto port = Port(hFile);
    if (!port)
        return FALSE;
    return port->Escape(dwFunc);
}
