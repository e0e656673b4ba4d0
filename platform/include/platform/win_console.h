// The console: the process's standard error stands in for a console window.
// All calls are thread-safe.
#pragma once

#include "platform/win_types.h"

#define STD_INPUT_HANDLE (static_cast<DWORD>(-10))
#define STD_OUTPUT_HANDLE (static_cast<DWORD>(-11))
#define STD_ERROR_HANDLE (static_cast<DWORD>(-12))
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define SC_CLOSE 0xF060u
#define MF_BYCOMMAND 0x0u
#define MF_GRAYED 0x1u

typedef struct _COORD {
    short X;
    short Y;
} COORD;
typedef struct _SMALL_RECT {
    short Left;
    short Top;
    short Right;
    short Bottom;
} SMALL_RECT;

extern "C" {
// AllocConsole succeeds once per process until FreeConsole; a second call
// fails with ERROR_ACCESS_DENIED, as on Windows.
PLATFORM_API BOOL AllocConsole();
PLATFORM_API BOOL FreeConsole();
// STD_OUTPUT_HANDLE after AllocConsole: a handle whose writes go to standard
// error. INVALID_HANDLE_VALUE without a console.
PLATFORM_API HANDLE GetStdHandle(DWORD nStdHandle);
PLATFORM_API BOOL SetConsoleScreenBufferSize(HANDLE hConsoleOutput, COORD dwSize);
PLATFORM_API BOOL SetConsoleWindowInfo(HANDLE hConsoleOutput, BOOL bAbsolute,
                                       const SMALL_RECT* lpConsoleWindow);
PLATFORM_API BOOL SetConsoleTitleW(LPCWSTR lpConsoleTitle);
PLATFORM_API BOOL WriteConsoleA(HANDLE hConsoleOutput, const void* lpBuffer,
                                DWORD nNumberOfCharsToWrite, LPDWORD lpNumberOfCharsWritten,
                                LPVOID lpReserved);
// There is no console window here: null. The window calls below accept
// null and do nothing.
PLATFORM_API HWND GetConsoleWindow();
PLATFORM_API HMENU GetSystemMenu(HWND hWnd, BOOL bRevert);
PLATFORM_API BOOL EnableMenuItem(HMENU hMenu, UINT uIDEnableItem, UINT uEnable);
PLATFORM_API BOOL ShowWindow(HWND hWnd, int nCmdShow);
}
