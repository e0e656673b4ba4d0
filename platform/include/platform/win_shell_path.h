// Shell path helpers. Both '/' and '\' count as separators; a path is
// absolute when it starts with a separator (or a drive letter and colon).
// All are thread-safe; the string helpers only read or cut their argument.
#pragma once

#include "platform/win_types.h"

extern "C" {
// Pointer to the last component of the path (the path itself when it has
// no separator).
PLATFORM_API LPWSTR PathFindFileNameW(LPCWSTR pszPath);
// Pointer to the last "." of the last component, or to the terminator when
// there is none.
PLATFORM_API LPWSTR PathFindExtensionW(LPCWSTR pszPath);
PLATFORM_API BOOL PathIsRelativeW(LPCWSTR pszPath);
// Cuts the path at its last separator (removing the file name). TRUE when
// something was removed.
PLATFORM_API BOOL PathRemoveFileSpecW(LPWSTR pszPath);
PLATFORM_API void PathRemoveExtensionW(LPWSTR pszPath);
// TRUE when the path names an existing file or directory.
PLATFORM_API BOOL PathFileExistsW(LPCWSTR pszPath);
// TRUE when the path names an existing directory.
PLATFORM_API BOOL PathIsDirectoryW(LPCWSTR pszPath);
}
