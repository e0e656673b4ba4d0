// Window messages: one queue per thread, hidden message windows with a
// class, a window procedure and user data.
//
// A thread gets its queue on its first message call (GetMessageW,
// PeekMessageW, CreateWindowExW, or platform::GetMessageQueueFd of
// platform/ext/message_queue_fd.h). Posting to
// a thread without a queue fails with ERROR_INVALID_THREAD_ID; posting to a
// destroyed window fails with ERROR_INVALID_WINDOW_HANDLE.
#pragma once

#include "platform/win_types.h"

#define WM_NULL 0x0000u
#define WM_CREATE 0x0001u
#define WM_DESTROY 0x0002u
#define WM_CLOSE 0x0010u
#define WM_QUIT 0x0012u
#define WM_TIMER 0x0113u
#define WM_USER 0x0400u
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u
#define GWLP_USERDATA (-21)
#define GWLP_WNDPROC (-4)
#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<intptr_t>(-3)))

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef WORD ATOM;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

typedef struct tagWNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HANDLE hIcon;
    HANDLE hCursor;
    HANDLE hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
} WNDCLASSW;

extern "C" {
// Posts to the window's owning thread. Never blocks. Thread-safe.
PLATFORM_API BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
PLATFORM_API BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
// Blocks until a message for the calling thread arrives (hWnd null and
// filters 0: any). Returns 0 for WM_QUIT, -1 on error, else non-zero.
PLATFORM_API BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
PLATFORM_API BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                               UINT wRemoveMsg);
// Calls the window procedure of lpMsg->hwnd (nothing for thread messages).
PLATFORM_API LRESULT DispatchMessageW(const MSG* lpMsg);
PLATFORM_API BOOL TranslateMessage(const MSG* lpMsg);
PLATFORM_API void PostQuitMessage(int nExitCode);
// Sends synchronously: only from the window's own thread (calls the
// procedure directly); from another thread it fails with 0 and
// ERROR_ACCESS_DENIED rather than blocking.
PLATFORM_API LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

PLATFORM_API ATOM RegisterClassW(const WNDCLASSW* lpWndClass);
PLATFORM_API BOOL UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance);
// Creates a window owned by the calling thread; only message-only windows
// (any parent, typically HWND_MESSAGE) exist here. WM_CREATE is not sent.
PLATFORM_API HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName,
                                  DWORD dwStyle, int X, int Y, int nWidth, int nHeight,
                                  HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                                  LPVOID lpParam);
// Destroys the window; messages still queued for it are dropped.
PLATFORM_API BOOL DestroyWindow(HWND hWnd);
PLATFORM_API BOOL IsWindow(HWND hWnd);
PLATFORM_API LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
PLATFORM_API LONG_PTR SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong);
PLATFORM_API LONG_PTR GetWindowLongPtrW(HWND hWnd, int nIndex);
PLATFORM_API DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);
}
