// CUartComm: opening, configuring, reading, writing, clearing and closing a
// COM port, and the channel's log set-up.
#include "uart_comm.h"

#include <cassert>
#include <new>

#include "vx_log.h"

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

}  // namespace

CUartComm::CUartComm()
    : m_hUart(INVALID_HANDLE_VALUE),
      m_bOpened(FALSE),
      m_dwPort(0),
      m_dwBaud(0),
      m_hUartThread(nullptr),
      m_ovRead{},
      m_ovAutoRead{},
      m_ovWrite{},
      m_uMsgId(0),
      m_bThreadMsg(TRUE),
      m_dwThreadId(0),
      m_hWnd(0),
      m_pLogUtil(nullptr),
      m_szLogFile{},
      m_dwLogFlags(0x7002),
      m_bRunThread(FALSE),
      m_CommTimeouts{0xFFFFFFFFu, 0, 0, 0, 5000},
      m_dwCommQueueSize(4096),
      m_bDebugMode(FALSE),
      m_bDebugDetailMode(FALSE),
      m_bLogMode(TRUE),
      m_bUseMempool(TRUE),
      m_dwErrorCode(0) {}

CUartComm::~CUartComm() {
    if (m_hUart.load() != INVALID_HANDLE_VALUE || m_hUartThread != nullptr)
        Close();
    CloseEvents();
    if (m_pLogUtil != nullptr) {
        CloseLog();
        m_pLogUtil->Release();
        m_pLogUtil = nullptr;
    }
}

BOOL CUartComm::InitLog(LPCWSTR lpszLogFile, DWORD dwLogFlags, DWORD /*dwReserved*/, IVxLog* pLog) {
    if (m_bOpened.load())
        return FALSE;
    // A path that does not fit would silently name a different file: refuse
    // it before anything changes.
    if (lpszLogFile != nullptr && wcslen(lpszLogFile) >= MAX_PATH)
        return FALSE;

    if (m_pLogUtil != nullptr && m_pLogUtil != pLog) {
        m_pLogUtil->Close();
        m_pLogUtil->Release();
        m_pLogUtil = nullptr;
    }
    if (pLog != nullptr) {
        m_pLogUtil = pLog;
    } else if (m_pLogUtil == nullptr) {
        // On failure no log object is held; OpenLog tries again at Open.
        m_pLogUtil = new (std::nothrow) CVxLog;
    }
    if (lpszLogFile != nullptr && lpszLogFile[0] != L'\0') {
        wcscpy(m_szLogFile, lpszLogFile);
    }
    m_dwLogFlags = dwLogFlags;
    m_dwErrorCode = 0;
    return TRUE;
}

BOOL CUartComm::GetModuleDir(LPWSTR lpszDir, DWORD dwCapacity) {
    WCHAR szModule[MAX_PATH] = {};
    DWORD dwLen = GetModuleFileNameW(nullptr, szModule, MAX_PATH);
    if (dwLen == 0 || dwLen >= MAX_PATH)
        return FALSE;
    LPWSTR pszName = PathFindFileNameW(szModule);
    if (pszName == szModule)
        return FALSE;
    pszName[-1] = L'\0';
    if (wcslen(szModule) >= dwCapacity)
        return FALSE;
    wcscpy(lpszDir, szModule);
    return TRUE;
}

BOOL CUartComm::OpenLog(DWORD dwPort) {
    CloseLog();
    if (m_pLogUtil == nullptr) {
        m_pLogUtil = new (std::nothrow) CVxLog;
        if (m_pLogUtil == nullptr)
            return FALSE;
    }
    assert(NULL != m_pLogUtil);
    if (!m_bLogMode)
        return TRUE;

    if (m_szLogFile[0] == L'\0') {
        WCHAR szDir[MAX_PATH] = {};
        if (!GetModuleDir(szDir, MAX_PATH))
            return FALSE;
        WCHAR szFolder[MAX_PATH] = {};
        if (_snwprintf_s(szFolder, MAX_PATH, _TRUNCATE, L"%s/ChannelLog", szDir) < 0)
            return FALSE;
        CreateDirectoryW(szFolder, nullptr);
        SYSTEMTIME st;
        GetLocalTime(&st);
        WCHAR szPath[MAX_PATH] = {};
        if (_snwprintf_s(szPath, MAX_PATH, _TRUNCATE, L"%s/%sCOM%d_%d_%d_%d.log", szFolder,
                         L"UartComm_", dwPort, st.wYear, st.wMonth, st.wDay) < 0) {
            return FALSE;
        }
        wcscpy(m_szLogFile, szPath);
    }
    if (!m_pLogUtil->Open(m_szLogFile, m_dwLogFlags))
        return FALSE;

    WCHAR szModule[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, szModule, MAX_PATH);
    LogLine(L"===============================%s", szModule);
    return TRUE;
}

void CUartComm::CloseLog() {
    if (m_pLogUtil != nullptr)
        m_pLogUtil->Close();
}

BOOL CUartComm::Open(const CHANNEL_ATTRIBUTE* pAttribute) {
    // A second Open would replace the port, events and thread under the
    // running receive thread: refuse it and leave everything as it is.
    if (m_bOpened.load())
        return FALSE;

    if (pAttribute == nullptr || pAttribute->ChannelType != CHANNEL_TYPE_UART) {
        m_dwErrorCode = CH_E_INVALID_PARAM;
        return FALSE;
    }
    m_dwErrorCode = 0;
    const DWORD dwPort = pAttribute->dwPort;
    const DWORD dwBaud = pAttribute->dwBaud;
    assert(dwPort > 0);
    assert(dwBaud > 0);
    if (dwPort == 0 || dwBaud == 0) {
        m_dwErrorCode = CH_E_INVALID_PARAM;
        return FALSE;
    }

    // Channel.ini first: its LogMode decides whether this Open opens the log
    // file, so a fresh channel (a host's new session) honours it too. When
    // the file's path cannot be formed the settings stay as they were, and
    // the log still opens to record that failure.
    const BOOL bConfigLoaded = LoadConfig();
    if (!OpenLog(dwPort)) {
        m_dwErrorCode = bConfigLoaded ? CH_E_LOG_INIT : CH_E_LOAD_CONFIG;
        // A log that opened one of its files before failing keeps it open.
        CloseLog();
        return FALSE;
    }
    if (!bConfigLoaded) {
        m_dwErrorCode = CH_E_LOAD_CONFIG;
        LogLine(L"Call LoadConfig() fail.");
        CloseLog();
        return FALSE;
    }
    m_MemMgr.Init(m_bUseMempool);
    if (!CreateEvents()) {
        CloseLog();
        return FALSE;
    }
    LogLine(L"Open uart [port: %d, baud: %d].", dwPort, dwBaud);

    WCHAR szDevice[32] = {};
    _snwprintf_s(szDevice, 32, _TRUNCATE, L"\\\\.\\COM%d", dwPort);
    HANDLE hUart = CreateFileW(szDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    if (hUart == INVALID_HANDLE_VALUE) {
        LogLine(L"Call CreateFile() fail, [ErrorCode:0x%08X].", GetLastError());
        return AbandonOpen(hUart);
    }
    if (!PurgeComm(hUart, kPurgeAll)) {
        LogLine(L"Call PurgeComm() fail, [ErrorCode:0x%08X].", GetLastError());
        return AbandonOpen(hUart);
    }
    if (!SetupPort(hUart, dwBaud) || !SetTimeouts(hUart))
        return AbandonOpen(hUart);
    if (!SetCommMask(hUart, EV_RXCHAR)) {
        LogLine(L"Call SetCommMask()  fail, [ErrorCode:0x%08X].", GetLastError());
        return AbandonOpen(hUart);
    }

    // The port and the open flag are in place before the receive thread
    // starts: its loop runs only while the flag is set and reads the port.
    m_dwPort = dwPort;
    m_dwBaud = dwBaud;
    m_hUart = hUart;
    m_bOpened = TRUE;

    if (HasReceiver() && !StartAutoRead(hUart)) {
        m_bOpened = FALSE;
        m_hUart = INVALID_HANDLE_VALUE;
        return AbandonOpen(hUart);
    }
    return TRUE;
}

BOOL CUartComm::AbandonOpen(HANDLE hUart) {
    if (hUart != INVALID_HANDLE_VALUE)
        CloseHandle(hUart);
    CloseEvents();
    CloseLog();
    return FALSE;
}

BOOL CUartComm::SetupPort(HANDLE hUart, DWORD dwBaud) {
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(hUart, &dcb)) {
        LogLine(L"Call GetCommState() fail.[ErrorCode:0x%08X]", GetLastError());
        return FALSE;
    }
    dcb.BaudRate = dwBaud;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(hUart, &dcb) || !SetupComm(hUart, m_dwCommQueueSize, m_dwCommQueueSize)) {
        LogLine(L"Call SetCommState() or SetupComm() fail.[ErrorCode:0x%08X]", GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CUartComm::SetTimeouts(HANDLE hUart) {
    COMMTIMEOUTS timeouts = m_CommTimeouts;
    if (!SetCommTimeouts(hUart, &timeouts)) {
        LogLine(L"Call SetCommTimeouts()  fail. [ErrorCode:0x%08X]", GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CUartComm::CreateEvents() {
    CloseEvents();
    OVERLAPPED* records[3] = {&m_ovRead, &m_ovAutoRead, &m_ovWrite};
    for (OVERLAPPED* pOv : records)
        *pOv = OVERLAPPED{};
    for (OVERLAPPED* pOv : records) {
        pOv->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (pOv->hEvent == nullptr) {
            DWORD dwError = GetLastError();
            CloseEvents();
            LogLine(L"Call CreateEvent()  fail. [ErrorCode:0x%08X]", dwError);
            return FALSE;
        }
    }
    return TRUE;
}

void CUartComm::CloseEvents() {
    for (OVERLAPPED* pOv : {&m_ovRead, &m_ovAutoRead, &m_ovWrite}) {
        if (pOv->hEvent != nullptr) {
            CloseHandle(pOv->hEvent);
            pOv->hEvent = nullptr;
        }
    }
}

void CUartComm::CancelCommWait(HANDLE hUart, LPOVERLAPPED lpOv) {
    // Writing the mask completes a pending comm-event wait at once. Keep the
    // mask as it is (EV_RXCHAR when it cannot be read), and do not leave
    // while the wait is still registered: it points at the caller's record
    // and mask variable, which are about to go away.
    for (;;) {
        DWORD dwMask = EV_RXCHAR;
        if (!GetCommMask(hUart, &dwMask))
            dwMask = EV_RXCHAR;
        SetCommMask(hUart, dwMask);
        if (HasOverlappedIoCompleted(lpOv))
            return;
        Sleep(1);
    }
}

void CUartComm::Close() {
    m_bOpened = FALSE;
    BOOL bThreadEnded = StopAutoRead();

    HANDLE hUart = m_hUart.load();
    if (hUart != INVALID_HANDLE_VALUE) {
        SetCommMask(hUart, 0);
        CloseHandle(hUart);
        m_hUart = INVALID_HANDLE_VALUE;
    }
    // A thread that outlived StopAutoRead's wait still uses the events and
    // this object: closing the port aborted whatever it waited on, so wait
    // for it to end before anything it uses goes away.
    if (!bThreadEnded)
        JoinAutoRead();

    LogLine(L"Close Channel.");
    CloseEvents();
    CloseLog();
}

DWORD CUartComm::Read(LPVOID lpBuffer, DWORD dwSize, DWORD dwTimeout, DWORD /*dwReserved*/) {
    HANDLE hUart = m_hUart.load();
    if (hUart == INVALID_HANDLE_VALUE || lpBuffer == nullptr || dwSize == 0) {
        m_dwErrorCode = CH_E_INVALID_PARAM;
        return 0;
    }
    m_dwErrorCode = 0;
    DWORD dwErrors = 0;
    COMSTAT stat = {};
    if (!ClearCommError(hUart, &dwErrors, &stat)) {
        m_dwErrorCode = CH_E_COMM;
        LogLine(L"Call ClearCommError() fail, [ErrorCode: 0x%08X].", GetLastError());
        return 0;
    }

    OVERLAPPED ovWait = {};
    ovWait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD dwEventMask = 0;
    if (stat.cbInQue == 0) {
        if (m_bDebugDetailMode)
            LogLine(L"Read Call WaitCommEvent()");
        if (!WaitCommEvent(hUart, &dwEventMask, &ovWait)) {
            DWORD dwError = GetLastError();
            if (dwError == ERROR_IO_PENDING) {
                DWORD dwWait = WaitForSingleObject(ovWait.hEvent, dwTimeout);
                if (dwWait != WAIT_OBJECT_0)
                    CancelCommWait(hUart, &ovWait);
                if (dwWait == WAIT_TIMEOUT) {
                    m_dwErrorCode = CH_E_TIMEOUT;
                    CloseHandle(ovWait.hEvent);
                    LogLine(L"Read Timeout: %d (ms)", dwTimeout);
                    return 0;
                }
                if (m_bDebugDetailMode) {
                    LogLine(
                        L"Read Call WaitForSingleObject() and not return WAIT_TIMEOUT, "
                        L"[Return:0x%08X][EventMask:0x%08X].",
                        dwWait, dwEventMask);
                }
            } else if (m_bDebugDetailMode) {
                LogLine(L"Read Call WaitCommEvent() fail, [ErrorCode: 0x%08X],", dwError);
            }
        }
    }
    if (ovWait.hEvent != nullptr)
        CloseHandle(ovWait.hEvent);
    ResetEvent(m_ovRead.hEvent);

    if (!ClearCommError(hUart, &dwErrors, &stat)) {
        m_dwErrorCode = CH_E_COMM;
        LogLine(L"Call ClearCommError() fail, [ErrorCode: 0x%08X].", GetLastError());
        return 0;
    }
    DWORD dwToRead = stat.cbInQue < dwSize ? stat.cbInQue : dwSize;
    if (dwToRead == 0)
        dwToRead = dwSize;

    DWORD dwRead = 0;
    if (!ReadFile(hUart, lpBuffer, dwToRead, &dwRead, &m_ovRead)) {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_IO_PENDING) {
            DWORD dwMore = 0;
            BOOL bDone = GetOverlappedResult(hUart, &m_ovRead, &dwMore, TRUE);
            DWORD dwWaitError = GetLastError();
            dwRead += dwMore;
            if (!bDone && m_bDebugDetailMode) {
                LogLine(L"Call GetOverlappedResult() fail, [ErrorCode: 0x%08X].", dwWaitError);
            }
        } else {
            LogLine(L"Call ReadFile() fail, [ErrorCode: 0x%08X].", dwError);
        }
    }
    if (m_bDebugMode && m_pLogUtil != nullptr) {
        LogLine(L"Want to read from channel %d bytes.", dwSize);
        m_pLogUtil->WriteDump(lpBuffer, dwRead, DUMP_READ);
    }
    return dwRead;
}

DWORD CUartComm::Write(LPCVOID lpBuffer, DWORD dwSize, DWORD /*dwReserved*/) {
    if (lpBuffer == nullptr || dwSize == 0) {
        if (m_bDebugDetailMode)
            LogLine(L"Write() parameters are invalidate.");
        return 0;
    }
    HANDLE hUart = m_hUart.load();
    if (hUart == INVALID_HANDLE_VALUE)
        return 0;

    DWORD dwErrors = 0;
    COMSTAT stat = {};
    if (!ClearCommError(hUart, &dwErrors, &stat)) {
        LogLine(L"Write call ClearCommError() fail, [ErrorCode: 0x%08X].", GetLastError());
    }
    DWORD dwWritten = 0;
    if (!WriteFile(hUart, lpBuffer, dwSize, &dwWritten, &m_ovWrite)) {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_IO_PENDING) {
            DWORD dwMore = 0;
            BOOL bDone = GetOverlappedResult(hUart, &m_ovWrite, &dwMore, TRUE);
            DWORD dwWaitError = GetLastError();
            dwWritten += dwMore;
            if (!bDone && m_bDebugDetailMode) {
                LogLine(L"Write call GetOverlappedResult() fail, [ErrorCode: 0x%08X].",
                        dwWaitError);
            }
        } else {
            LogLine(L"Call WriteFile() fail, [ErrorCode: 0x%08X].", dwError);
        }
    }
    if (m_bDebugMode && m_pLogUtil != nullptr) {
        LogLine(L"Want to write to channel %d bytes.", dwSize);
        m_pLogUtil->WriteDump(lpBuffer, dwWritten, DUMP_WRITE);
    }
    return dwWritten;
}

BOOL CUartComm::Clear() {
    HANDLE hUart = m_hUart.load();
    if (hUart == INVALID_HANDLE_VALUE)
        return TRUE;
    if (PurgeComm(hUart, kPurgeAll))
        return TRUE;
    DWORD dwError = GetLastError();
    if (dwError == ERROR_OPERATION_ABORTED) {
        DWORD dwErrors = 0;
        COMSTAT stat = {};
        ClearCommError(hUart, &dwErrors, &stat);
        return PurgeComm(hUart, kPurgeAll);
    }
    LogLine(L"Call Clear() fail, [ErrorCode:0x%08X].", dwError);
    return FALSE;
}

BOOL CUartComm::GetProperty(DWORD /*dwReserved*/, DWORD dwPropId, DWORD* pdwValue) {
    if (pdwValue == nullptr) {
        LogLine(L"Call GetProperty() fail, [prameter 3 error].");
        return FALSE;
    }
    switch (dwPropId) {
        case CH_PROP_BAUDRATE:
            *pdwValue = m_dwBaud;
            return TRUE;
        case CH_PROP_DEBUG_MODE:
            *pdwValue = static_cast<DWORD>(m_bDebugMode.load());
            return TRUE;
        case CH_PROP_ERROR_CODE:
            *pdwValue = m_dwErrorCode;
            return TRUE;
        default:
            LogLine(L"Call GetProperty() fail, [unkown property ID: %d].", dwPropId);
            return FALSE;
    }
}

BOOL CUartComm::SetProperty(DWORD /*dwReserved*/, DWORD dwPropId, const DWORD* pdwValue) {
    if (pdwValue == nullptr) {
        LogLine(L"Call SetProperty() fail, [NULL property value].");
        return FALSE;
    }
    switch (dwPropId) {
        case CH_PROP_BAUDRATE: {
            const DWORD dwBaud = *pdwValue;
            DCB dcb = {};
            dcb.DCBlength = sizeof(DCB);
            HANDLE hUart = m_hUart.load();
            BOOL bHaveState = hUart != INVALID_HANDLE_VALUE && GetCommState(hUart, &dcb);
            if (hUart != INVALID_HANDLE_VALUE && !bHaveState) {
                // An open port whose settings cannot be read did not change.
                LogLine(L"Call SetProperty( Baudrate: %d ) fail.", dwBaud);
                return FALSE;
            }
            if (bHaveState && dcb.BaudRate != dwBaud) {
                dcb.BaudRate = dwBaud;
                if (!SetCommState(hUart, &dcb)) {
                    LogLine(L"Call SetProperty( Baudrate: %d ) fail.", dwBaud);
                    return FALSE;
                }
                m_dwBaud = dwBaud;
            }
            LogLine(L"Call SetProperty( Baudrate: %d ) success.", dwBaud);
            return TRUE;
        }
        case CH_PROP_DEBUG_MODE:
            m_bDebugMode = static_cast<BOOL>(*pdwValue);
            LogLine(L"Call SetProperty( DebugMode: %d ) success.", *pdwValue);
            return TRUE;
        default:
            LogLine(L"Call SetProperty() Fail, [unkown property ID: %d].", dwPropId);
            return FALSE;
    }
}
