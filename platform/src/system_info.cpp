// Process and system information: the executable's path, the temporary
// directory, the local and universal time with milliseconds, the host name.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "error_from_errno.h"
#include "fault_hit.h"
#include "kernel_object.h"
#include "platform/win_error.h"
#include "platform/win_system.h"

namespace {

// Copies text into a buffer of nSize characters with the Windows contract of
// GetModuleFileNameW: on truncation nSize - 1 characters, a terminator, the
// result nSize and ERROR_INSUFFICIENT_BUFFER.
DWORD CopyTruncating(const std::wstring& text, LPWSTR lpOut, DWORD nSize) {
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (text.size() + 1 > nSize) {
        std::wmemcpy(lpOut, text.c_str(), nSize - 1);
        lpOut[nSize - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::wmemcpy(lpOut, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

void FillSystemTime(LPSYSTEMTIME lpSt, bool bLocal) {
    if (lpSt == nullptr)
        return;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t secs = ts.tv_sec;
    struct tm tmv;
    if ((bLocal ? localtime_r(&secs, &tmv) : gmtime_r(&secs, &tmv)) == nullptr) {
        std::memset(lpSt, 0, sizeof *lpSt);
        return;
    }
    lpSt->wYear = static_cast<WORD>(tmv.tm_year + 1900);
    lpSt->wMonth = static_cast<WORD>(tmv.tm_mon + 1);
    lpSt->wDayOfWeek = static_cast<WORD>(tmv.tm_wday);
    lpSt->wDay = static_cast<WORD>(tmv.tm_mday);
    lpSt->wHour = static_cast<WORD>(tmv.tm_hour);
    lpSt->wMinute = static_cast<WORD>(tmv.tm_min);
    // A leap second (tm_sec 60) is shown as the last second of the minute.
    lpSt->wSecond = static_cast<WORD>(tmv.tm_sec > 59 ? 59 : tmv.tm_sec);
    lpSt->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

}  // namespace

extern "C" DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (platform::FaultHit("GetModuleFileNameW"))
        return 0;
    if (hModule != nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (lpFilename == nullptr && nSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char szExe[4096];
    ssize_t n = ::readlink("/proc/self/exe", szExe, sizeof szExe - 1);
    if (n < 0) {
        platform::SetLastErrorFromErrno(errno);
        return 0;
    }
    if (static_cast<size_t>(n) >= sizeof szExe - 1) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    szExe[n] = '\0';
    return CopyTruncating(platform::Utf8ToWide(szExe), lpFilename, nSize);
}

extern "C" DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
    if (platform::FaultHit("GetTempPathW"))
        return 0;
    const char* lpszDir = std::getenv("TMPDIR");
    if (lpszDir == nullptr || *lpszDir == '\0')
        lpszDir = "/tmp";
    std::wstring dir = platform::Utf8ToWide(lpszDir);
    if (dir.back() != L'/')
        dir += L'/';
    if (lpBuffer == nullptr || dir.size() + 1 > nBufferLength)
        return static_cast<DWORD>(dir.size() + 1);
    std::wmemcpy(lpBuffer, dir.c_str(), dir.size() + 1);
    return static_cast<DWORD>(dir.size());
}

extern "C" void GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    FillSystemTime(lpSystemTime, true);
}

extern "C" void GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    FillSystemTime(lpSystemTime, false);
}

extern "C" BOOL GetComputerNameW(LPWSTR lpBuffer, LPDWORD lpnSize) {
    if (lpnSize == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char szHost[256] = {};
    if (gethostname(szHost, sizeof szHost - 1) != 0) {
        platform::SetLastErrorFromErrno(errno);
        return FALSE;
    }
    const std::wstring name = platform::Utf8ToWide(szHost);
    if (lpBuffer == nullptr || name.size() + 1 > *lpnSize) {
        *lpnSize = static_cast<DWORD>(name.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::wmemcpy(lpBuffer, name.c_str(), name.size() + 1);
    *lpnSize = static_cast<DWORD>(name.size());
    return TRUE;
}
