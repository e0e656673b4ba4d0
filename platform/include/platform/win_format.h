// printf-style formatting with the Windows meanings of the conversions.
//
// In a wide format on Windows "%s" and "%c" take wide arguments and "%S",
// "%hs" narrow ones; glibc reads "%s" in a wide format as narrow. The wide
// functions here translate the format so callers keep the Windows meaning.
// Narrow formats are passed through (glibc and Windows agree on them).
#pragma once

#include <cstdarg>

#include "platform/win_types.h"

#define _TRUNCATE (static_cast<size_t>(-1))

extern "C" {
// Formats into lpBuffer of sizeOfBuffer elements. With count == _TRUNCATE
// the output is cut to fit, always terminated, and -1 is returned when it
// was cut; otherwise the number of characters written. A null buffer or
// format, or sizeOfBuffer 0, returns -1 and writes nothing. No heap
// allocation. Thread-safe.
PLATFORM_API int _vsnwprintf_s(wchar_t* lpBuffer, size_t sizeOfBuffer, size_t count,
                               const wchar_t* lpszFmt, va_list args);
PLATFORM_API int _snwprintf_s(wchar_t* lpBuffer, size_t sizeOfBuffer, size_t count,
                              const wchar_t* lpszFmt, ...);
PLATFORM_API int _vsnprintf_s(char* lpBuffer, size_t sizeOfBuffer, size_t count,
                              const char* lpszFmt, va_list args);
PLATFORM_API int _snprintf_s(char* lpBuffer, size_t sizeOfBuffer, size_t count, const char* lpszFmt,
                             ...);
}
