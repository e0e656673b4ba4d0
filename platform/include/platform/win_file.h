// Files and directories, and the generic transfer calls that also serve
// serial ports (ReadFile, WriteFile, GetOverlappedResult).
#pragma once

#include "platform/win_types.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_READONLY 0x1u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define MOVEFILE_REPLACE_EXISTING 0x1u
#define MOVEFILE_WRITE_THROUGH 0x8u

extern "C" {
// Opens or creates a file, or (for "\\.\COMn") a serial port through the COM
// port map. Paths use the native separator; a backslash is also accepted as
// a separator. Returns INVALID_HANDLE_VALUE with the last error on failure.
// Sharing: a file opened without FILE_SHARE_WRITE by one opener refuses a
// second writer with ERROR_SHARING_VIOLATION (within this process).
PLATFORM_API HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                HANDLE hTemplateFile);
// Transfers on files or serial ports. With lpOverlapped on a handle opened
// for overlapped I/O the call either completes at once (TRUE, count stored)
// or returns FALSE with ERROR_IO_PENDING and completes later (the record's
// event is signalled; GetOverlappedResult collects the count).
PLATFORM_API BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                           LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
PLATFORM_API BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                            LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
// Collects the result of an overlapped operation; with bWait TRUE it blocks
// until the operation completes. FALSE with ERROR_IO_INCOMPLETE when not done
// and bWait is FALSE, or with the operation's own error.
PLATFORM_API BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                      LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
// Writes the file's data to disk (fsync). FALSE with the last error.
PLATFORM_API BOOL FlushFileBuffers(HANDLE hFile);
// Moves the file pointer; returns the new position's low part (high part in
// *lpDistanceToMoveHigh), or INVALID_SET_FILE_POINTER with the last error
// (ERROR_NEGATIVE_SEEK before the start). A valid low part of all ones sets
// NO_ERROR. Thread-safe; the pointer is shared by the handle's users.
PLATFORM_API DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                  DWORD dwMoveMethod);
// The size's low part (high part in *lpFileSizeHigh); 0xFFFFFFFF with the
// last error on failure. Thread-safe.
PLATFORM_API DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
// FILE_ATTRIBUTE_DIRECTORY, _READONLY (no write permission bits) or _NORMAL;
// INVALID_FILE_ATTRIBUTES with ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND.
// Thread-safe.
PLATFORM_API DWORD GetFileAttributesW(LPCWSTR lpFileName);
// Creates one directory (not its parents). ERROR_ALREADY_EXISTS when it
// exists, ERROR_PATH_NOT_FOUND when the parent is missing.
PLATFORM_API BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
// Removes a file. FALSE with ERROR_ACCESS_DENIED for a directory, or
// ERROR_SHARING_VIOLATION while an opener without FILE_SHARE_DELETE holds it.
// Thread-safe.
PLATFORM_API BOOL DeleteFileW(LPCWSTR lpFileName);
// Renames a file within its volume, atomically. An existing target is
// replaced only with MOVEFILE_REPLACE_EXISTING (else ERROR_ALREADY_EXISTS),
// and never while an opener without FILE_SHARE_DELETE holds it
// (ERROR_SHARING_VIOLATION) or when it is a directory (ERROR_ACCESS_DENIED).
// MOVEFILE_WRITE_THROUGH returns only once the rename is on disk. Other
// flags: ERROR_INVALID_PARAMETER. Thread-safe.
PLATFORM_API BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);
// Removes an empty directory. FALSE with ERROR_DIR_NOT_EMPTY, or
// ERROR_DIRECTORY when the path is a file. Thread-safe.
PLATFORM_API BOOL RemoveDirectoryW(LPCWSTR lpPathName);
}

// TRUE once an overlapped operation on the record has completed (its status
// is no longer STATUS_PENDING, 0x103; a failure is stored with a mark above
// its 32 bits, so one with ERROR_NO_MORE_ITEMS, also 0x103, reads as
// completed). The platform stores the status atomically.
inline BOOL HasOverlappedIoCompleted(const OVERLAPPED* lpOverlapped) {
    return __atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) != 0x103 ? TRUE : FALSE;
}
