// A program's version resource. A program declares it with
// PLATFORM_VERSION_RESOURCE: text lines "Translation=<lang>,<codepage>"
// (four hexadecimal digits each) and "<Name>=<value>" for each string of that
// translation, compiled into a section of its own, so that the version is
// read from the file as a version resource would be:
//
//   PLATFORM_VERSION_RESOURCE("Translation=0804,04b0\n"
//                             "FileVersion=1, 3, 3, 1\n");
//
//   DWORD dwHandle = 0;
//   DWORD cb = GetFileVersionInfoSizeW(szPath, &dwHandle);
//   std::vector<BYTE> block(cb);
//   GetFileVersionInfoW(szPath, dwHandle, cb, block.data());
//   LPVOID pValue = nullptr;
//   UINT cch = 0;
//   VerQueryValueW(block.data(), L"\\StringFileInfo\\080404b0\\FileVersion", &pValue, &cch);
#pragma once

#include "platform/win_types.h"

typedef UINT* PUINT;

#define ERROR_RESOURCE_DATA_NOT_FOUND 1812u
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813u

// The section that holds a program's version resource.
#define PLATFORM_VERSION_SECTION ".rsrc_version"
#define PLATFORM_VERSION_RESOURCE(text)                                 \
    extern "C" __attribute__((section(PLATFORM_VERSION_SECTION), used)) \
    const char g_platformVersionResource[] = text

extern "C" {
// The size of the version block of the program file lptstrFilename, or 0 with
// the last error (ERROR_FILE_NOT_FOUND, ERROR_RESOURCE_TYPE_NOT_FOUND when the
// file has no version resource). *lpdwHandle is set to 0. Thread-safe.
PLATFORM_API DWORD GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle);
// Copies the version block (dwLen bytes at most) into lpData. FALSE with the
// last error as above, or ERROR_INSUFFICIENT_BUFFER. Thread-safe.
PLATFORM_API BOOL GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD dwHandle, DWORD dwLen,
                                      LPVOID lpData);
// Finds lpSubBlock in a block from GetFileVersionInfoW:
// "\VarFileInfo\Translation" gives the (language, code page) pairs as WORDs
// and their size in bytes; "\StringFileInfo\<lang><codepage>\<Name>" gives
// the wide string and its length in characters with the terminator. Names
// are case-insensitive. *lplpBuffer points into the block. FALSE when the
// value does not exist. Thread-safe.
PLATFORM_API BOOL VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer,
                                 PUINT puLen);
}
