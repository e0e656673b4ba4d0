// Channel.ini: the channel's tuning, read from beside the host executable at
// every Open. A missing file or key leaves the default.
#include "uart_comm.h"

BOOL CUartComm::LoadConfig() {
    WCHAR szPath[MAX_PATH] = {};
    static const WCHAR kFileName[] = L"/Channel.ini";
    const DWORD dwNameLen = static_cast<DWORD>(wcslen(kFileName));
    if (!GetModuleDir(szPath, MAX_PATH - dwNameLen))
        return FALSE;
    wcscat(szPath, kFileName);

    m_bDebugMode = static_cast<BOOL>(GetPrivateProfileIntW(L"Settings", L"DebugMode", 0, szPath));
    m_bDebugDetailMode =
        static_cast<BOOL>(GetPrivateProfileIntW(L"Settings", L"DebugDetailMode", 0, szPath));
    m_bLogMode = static_cast<BOOL>(GetPrivateProfileIntW(L"Settings", L"LogMode", 1, szPath));
    m_bUseMempool = static_cast<BOOL>(GetPrivateProfileIntW(L"Settings", L"UseMempool", 1, szPath));
    m_dwCommQueueSize = GetPrivateProfileIntW(L"Settings", L"CommQueueSize", 4096, szPath);
    m_CommTimeouts.ReadIntervalTimeout =
        GetPrivateProfileIntW(L"CommTimeouts", L"ReadIntervalTimeout", -1, szPath);
    m_CommTimeouts.ReadTotalTimeoutMultiplier =
        GetPrivateProfileIntW(L"CommTimeouts", L"ReadTotalTimeoutMultiplier", 0, szPath);
    m_CommTimeouts.ReadTotalTimeoutConstant =
        GetPrivateProfileIntW(L"CommTimeouts", L"ReadTotalTimeoutConstant", 0, szPath);
    m_CommTimeouts.WriteTotalTimeoutMultiplier =
        GetPrivateProfileIntW(L"CommTimeouts", L"WriteTotalTimeoutMultiplier", 0, szPath);
    m_CommTimeouts.WriteTotalTimeoutConstant =
        GetPrivateProfileIntW(L"CommTimeouts", L"WriteTotalTimeoutConstant", 5000, szPath);
    return TRUE;
}
