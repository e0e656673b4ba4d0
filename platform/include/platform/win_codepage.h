// Code-page conversions between wide text (wchar_t) and narrow text in the
// ANSI code page (default 936, GBK) or UTF-8. iconv does the work.
#pragma once

#include "platform/win_types.h"

#define CP_ACP 0u
#define CP_OEMCP 1u
#define CP_UTF8 65001u
#define MB_ERR_INVALID_CHARS 0x8u
#define WC_NO_BEST_FIT_CHARS 0x400u

extern "C" {
// The Windows semantics: cchWideChar / cbMultiByte of -1 means "up to and
// including the terminator"; an output size of 0 returns the size needed.
// Characters without a mapping become the default character ('?') and set
// *lpUsedDefaultChar. Returns the count written, 0 on failure
// (ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER,
// ERROR_NO_UNICODE_TRANSLATION). Thread-safe; no heap allocation after the
// thread's first conversion in a code page.
PLATFORM_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                     int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                     LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);
PLATFORM_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                     int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);
PLATFORM_API UINT GetACP();
}
