// The registry, read only, as far as the serial port list needs it. Only
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM exists: one value per
// COM port present in the COM port map, named after the port's device
// ("/dev/ttyUSB0") and holding its name ("COM3") as REG_SZ. Every other key
// is absent.
#pragma once

#include "platform/win_types.h"

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef LONG LSTATUS;
typedef DWORD REGSAM;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

#define KEY_QUERY_VALUE 0x0001u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_READ 0x20019u

#define REG_NONE 0u
#define REG_SZ 1u

extern "C" {
// Opens a key for reading. The port list is taken once, here: an open key
// enumerates the ports present when it was opened. Returns ERROR_SUCCESS and
// stores the key in *phkResult; ERROR_FILE_NOT_FOUND for any other key;
// ERROR_ACCESS_DENIED when write access is asked; ERROR_INVALID_PARAMETER for
// a null result pointer. Thread-safe.
PLATFORM_API LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                   PHKEY phkResult);
// The value at dwIndex (0, 1, ...): its name into lpValueName (*lpcchValueName
// characters with the terminator on entry, the name's length without it on
// return), its type, and its data into lpData (*lpcbData bytes on entry, the
// data's size with its terminator on return). ERROR_NO_MORE_ITEMS past the
// last value; ERROR_MORE_DATA when a buffer is too small (nothing useful is
// stored then); ERROR_INVALID_HANDLE for a key that is not open. Thread-safe.
PLATFORM_API LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                   LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                   LPBYTE lpData, LPDWORD lpcbData);
// Closes a key from RegOpenKeyExW. ERROR_INVALID_HANDLE for anything else.
PLATFORM_API LSTATUS RegCloseKey(HKEY hKey);
}
