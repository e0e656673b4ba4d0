// The console: a process has at most one, and its output is the process's
// standard error. There is no console window, so the window calls accept
// null and do nothing.
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "error_from_errno.h"
#include "fault_hit.h"
#include "kernel_object.h"
#include "platform/win_console.h"
#include "platform/win_error.h"

namespace platform {
namespace {

class ConsoleObject : public KernelObject {
public:
    ConsoleObject() : KernelObject(ObjectKind::Console) {}

    BOOL Read(LPVOID, DWORD, LPDWORD lpRead, LPOVERLAPPED) override {
        if (lpRead != nullptr)
            *lpRead = 0;
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }

    BOOL Write(LPCVOID lpBuffer, DWORD nBytes, LPDWORD lpWritten, LPOVERLAPPED lpOv) override {
        if (lpWritten != nullptr)
            *lpWritten = 0;
        const char* p = static_cast<const char*>(lpBuffer);
        DWORD done = 0;
        while (done < nBytes) {
            ssize_t n = ::write(STDERR_FILENO, p + done, nBytes - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                DWORD dwError = n < 0 ? ErrorFromErrno(errno) : ERROR_BROKEN_PIPE;
                if (lpOv != nullptr) {
                    BeginOverlapped(lpOv);
                    CompleteOverlapped(lpOv, dwError, done);
                }
                SetLastError(dwError);
                return FALSE;
            }
            done += static_cast<DWORD>(n);
        }
        if (lpOv != nullptr) {
            BeginOverlapped(lpOv);
            CompleteOverlapped(lpOv, ERROR_SUCCESS, done);
        }
        if (lpWritten != nullptr)
            *lpWritten = done;
        return TRUE;
    }

    BOOL Flush() override { return TRUE; }
};

std::mutex g_consoleLock;
HANDLE g_hConsole = nullptr;  // guarded by g_consoleLock; null without a console

bool IsConsoleHandle(HANDLE h) {
    std::lock_guard<std::mutex> lock(g_consoleLock);
    return g_hConsole != nullptr && h == g_hConsole && LookupObject(h) != nullptr;
}

}  // namespace
}  // namespace platform

extern "C" BOOL AllocConsole() {
    if (platform::FaultHit("AllocConsole"))
        return FALSE;
    std::lock_guard<std::mutex> lock(platform::g_consoleLock);
    if (platform::g_hConsole != nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    HANDLE h = platform::InsertObject(std::make_shared<platform::ConsoleObject>());
    if (h == nullptr)
        return FALSE;
    platform::g_hConsole = h;
    return TRUE;
}

extern "C" BOOL FreeConsole() {
    if (platform::FaultHit("FreeConsole"))
        return FALSE;
    std::lock_guard<std::mutex> lock(platform::g_consoleLock);
    if (platform::g_hConsole == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The handle goes with the console; a caller that closed it already
    // leaves nothing to remove.
    platform::RemoveObject(platform::g_hConsole);
    platform::g_hConsole = nullptr;
    return TRUE;
}

extern "C" HANDLE GetStdHandle(DWORD nStdHandle) {
    if (platform::FaultHit("GetStdHandle"))
        return INVALID_HANDLE_VALUE;
    if (nStdHandle != STD_OUTPUT_HANDLE && nStdHandle != STD_ERROR_HANDLE &&
        nStdHandle != STD_INPUT_HANDLE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lock(platform::g_consoleLock);
    if (nStdHandle == STD_INPUT_HANDLE || platform::g_hConsole == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return platform::g_hConsole;
}

extern "C" BOOL SetConsoleScreenBufferSize(HANDLE hConsoleOutput, COORD dwSize) {
    (void)dwSize;
    if (platform::FaultHit("SetConsoleScreenBufferSize"))
        return FALSE;
    if (!platform::IsConsoleHandle(hConsoleOutput)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL SetConsoleWindowInfo(HANDLE hConsoleOutput, BOOL bAbsolute,
                                     const SMALL_RECT* lpConsoleWindow) {
    (void)bAbsolute;
    if (platform::FaultHit("SetConsoleWindowInfo"))
        return FALSE;
    if (!platform::IsConsoleHandle(hConsoleOutput)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpConsoleWindow == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL SetConsoleTitleW(LPCWSTR lpConsoleTitle) {
    if (platform::FaultHit("SetConsoleTitleW"))
        return FALSE;
    std::lock_guard<std::mutex> lock(platform::g_consoleLock);
    if (platform::g_hConsole == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpConsoleTitle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WriteConsoleA(HANDLE hConsoleOutput, const void* lpBuffer,
                              DWORD nNumberOfCharsToWrite, LPDWORD lpNumberOfCharsWritten,
                              LPVOID lpReserved) {
    (void)lpReserved;
    if (platform::FaultHit("WriteConsoleA"))
        return FALSE;
    std::shared_ptr<platform::KernelObject> console =
        platform::LookupAs<platform::KernelObject>(hConsoleOutput, platform::ObjectKind::Console);
    if (!console) {
        if (lpNumberOfCharsWritten != nullptr)
            *lpNumberOfCharsWritten = 0;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfCharsToWrite != 0) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    return console->Write(lpBuffer, nNumberOfCharsToWrite, lpNumberOfCharsWritten, nullptr);
}

extern "C" HWND GetConsoleWindow() {
    return nullptr;
}

extern "C" HMENU GetSystemMenu(HWND hWnd, BOOL bRevert) {
    (void)hWnd;
    (void)bRevert;
    return nullptr;
}

// Returns the item's previous state; without a menu there is no item (-1).
extern "C" BOOL EnableMenuItem(HMENU hMenu, UINT uIDEnableItem, UINT uEnable) {
    (void)hMenu;
    (void)uIDEnableItem;
    (void)uEnable;
    return -1;
}

// Returns whether the window was visible before; there is none.
extern "C" BOOL ShowWindow(HWND hWnd, int nCmdShow) {
    (void)hWnd;
    (void)nCmdShow;
    return FALSE;
}
