// Process and system information: module file name, temporary directory,
// local time, host name.
#pragma once

#include "platform/win_types.h"

extern "C" {
// hModule must be null (the process's executable). Copies the executable's
// full path (at most nSize - 1 characters plus a terminator; on truncation
// returns nSize with ERROR_INSUFFICIENT_BUFFER). Returns the length, 0 on
// failure.
PLATFORM_API DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
// The temporary directory with a trailing separator ($TMPDIR or /tmp).
// Returns the length, or the size needed when nBufferLength is too small.
PLATFORM_API DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer);
// The local / universal time with milliseconds. Thread-safe.
PLATFORM_API void GetLocalTime(LPSYSTEMTIME lpSystemTime);
PLATFORM_API void GetSystemTime(LPSYSTEMTIME lpSystemTime);
// The machine's host name. On entry *lpnSize is the buffer's size in
// characters; on success it is the name's length and the name is
// terminated. A buffer too small: FALSE, ERROR_BUFFER_OVERFLOW and the size
// needed (with the terminator) in *lpnSize.
PLATFORM_API BOOL GetComputerNameW(LPWSTR lpBuffer, LPDWORD lpnSize);
}
