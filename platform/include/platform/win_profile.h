// Private profile (INI) files with the Windows parsing rules: section and
// key names case-insensitive, blanks around names and values trimmed, a
// missing file or key is no error. Integers: optional blanks, an optional
// minus, then decimal digits up to the first non-digit ("01" reads 1,
// "12ab" reads 12, "ab" reads 0); a "0x" prefix reads hexadecimal. Writes
// replace the file atomically (temporary file, then rename). All calls are
// thread-safe; writers in one process are serialised.
#pragma once

#include "platform/win_types.h"

extern "C" {
// The key's integer value, or nDefault when the file, section or key is
// missing or the value is empty.
PLATFORM_API UINT GetPrivateProfileIntW(LPCWSTR lpAppName, LPCWSTR lpKeyName, INT nDefault,
                                        LPCWSTR lpFileName);
// Copies the value (or lpDefault) cut to nSize - 1 characters; returns the
// count copied. A value in matching double or single quotes is unquoted.
// A null section (or key) lists the section (or key) names, each followed by
// a terminator, plus a final one; a cut list returns nSize - 2.
PLATFORM_API DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                                            LPWSTR lpReturnedString, DWORD nSize,
                                            LPCWSTR lpFileName);
// Writes key = value in the section (creating file and section as needed);
// a null value deletes the key, a null key deletes the section. FALSE with
// the last error when the file cannot be replaced, or ERROR_INVALID_PARAMETER
// for a name or value holding a line break; the file is then unchanged.
PLATFORM_API BOOL WritePrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpString,
                                             LPCWSTR lpFileName);
// The same in the ANSI code page, for the narrow-text libraries.
PLATFORM_API UINT GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault,
                                        LPCSTR lpFileName);
PLATFORM_API DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                            LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);
PLATFORM_API BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                             LPCSTR lpFileName);
}
