// Window classes and message-only windows: registration, creation and
// destruction, window data, and posting, sending and dispatching to windows.
#include <atomic>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "fault_hit.h"
#include "message_queue.h"
#include "platform/win_error.h"
#include "platform/win_sync.h"

namespace platform {
namespace {

constexpr DWORD kErrorClassHasWindows = 1412;  // ERROR_CLASS_HAS_WINDOWS
constexpr DWORD kErrorInvalidIndex = 1413;     // ERROR_INVALID_INDEX

// Class atoms come from the string-atom range, as on Windows. A name keeps its
// atom for the life of the process, so re-registering it yields the same one.
constexpr ATOM kFirstClassAtom = 0xC000;
constexpr size_t kMaxClassAtoms = 0x4000;

// A window value is (index << 2) | 2: below 2^32, never a multiple of 4 (so
// never a kernel handle value), never 0 nor -1. The index advances with every
// window and wraps only after about a billion, so a destroyed window's value
// does not come back soon.
constexpr uint32_t kFirstWindowIndex = 0x1000;
constexpr uint32_t kLastWindowIndex = 0x3FFFFFF0;

struct WindowClass {
    std::wstring name;
    WNDPROC pfnProc;
    ATOM atom;
    size_t nWindows;  // guarded by the tables' lock
};

class Window {
public:
    Window(HWND hWnd, std::shared_ptr<MessageQueue> queue, std::shared_ptr<WindowClass> cls)
        : m_hWnd(hWnd),
          m_dwThreadId(queue->ThreadId()),
          m_queue(std::move(queue)),
          m_class(std::move(cls)),
          m_pfnProc(m_class->pfnProc) {}
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    const HWND m_hWnd;
    const DWORD m_dwThreadId;
    const std::shared_ptr<MessageQueue> m_queue;
    const std::shared_ptr<WindowClass> m_class;
    std::atomic<WNDPROC> m_pfnProc;
    std::atomic<LONG_PTR> m_lUserData{0};
    std::atomic<bool> m_bDestroying{false};
    bool m_bGone = false;  // guarded by m_queue's lock (see MessageQueue::Post)
};

struct WindowTables {
    std::mutex lock;
    std::unordered_map<std::wstring, std::shared_ptr<WindowClass>> classes;  // by folded name
    std::vector<std::wstring> atomNames;  // folded names, index = atom - kFirstClassAtom
    std::unordered_map<uint32_t, std::shared_ptr<Window>> windows;
    uint32_t nNextIndex = kFirstWindowIndex;
};

// Never destroyed: detached threads may still post while the process exits.
WindowTables& Tables() {
    static WindowTables* s_pTables = new WindowTables;
    return *s_pTables;
}

// Class names compare without regard to case. Folding ASCII only keeps the
// result independent of the process locale.
std::wstring FoldName(LPCWSTR lpsz) {
    std::wstring name(lpsz);
    for (wchar_t& ch : name) {
        if (ch >= L'A' && ch <= L'Z')
            ch = static_cast<wchar_t>(ch - L'A' + L'a');
    }
    return name;
}

// An integer below 0x10000 in place of a name is a class atom.
bool IsAtomName(LPCWSTR lpsz) {
    return reinterpret_cast<uintptr_t>(lpsz) < 0x10000;
}

// Finds a class by name or atom. Tables' lock held.
std::shared_ptr<WindowClass> FindClassLocked(WindowTables& tables, LPCWSTR lpszClass) {
    if (IsAtomName(lpszClass)) {
        uintptr_t atom = reinterpret_cast<uintptr_t>(lpszClass);
        if (atom < kFirstClassAtom || atom - kFirstClassAtom >= tables.atomNames.size()) {
            return nullptr;
        }
        auto it = tables.classes.find(tables.atomNames[atom - kFirstClassAtom]);
        return it != tables.classes.end() ? it->second : nullptr;
    }
    auto it = tables.classes.find(FoldName(lpszClass));
    return it != tables.classes.end() ? it->second : nullptr;
}

std::shared_ptr<Window> LookupWindow(HWND hWnd) {
    uintptr_t value = reinterpret_cast<uintptr_t>(hWnd);
    if (value > 0xFFFFFFFFu || (value & 3) != 2)
        return nullptr;
    WindowTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.lock);
    auto it = tables.windows.find(static_cast<uint32_t>(value));
    return it != tables.windows.end() ? it->second : nullptr;
}

// Finds a live window for a call that must run on the window's own thread;
// null with ERROR_INVALID_WINDOW_HANDLE or ERROR_ACCESS_DENIED otherwise.
std::shared_ptr<Window> LookupOwnWindow(HWND hWnd) {
    std::shared_ptr<Window> window = LookupWindow(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (window->m_dwThreadId != GetCurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return window;
}

// Removes the window from the table. Tables' lock held.
void EraseWindowLocked(WindowTables& tables, const Window& window) {
    tables.windows.erase(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window.m_hWnd)));
    --window.m_class->nWindows;
}

LRESULT CallProc(const Window& window, UINT Msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC pfnProc = window.m_pfnProc.load();
    return pfnProc != nullptr ? pfnProc(window.m_hWnd, Msg, wParam, lParam) : 0;
}

}  // namespace

bool IsWindowOfCurrentThread(HWND hWnd) {
    std::shared_ptr<Window> window = LookupWindow(hWnd);
    return window && window->m_dwThreadId == GetCurrentThreadId();
}

void ForgetThreadWindows(const MessageQueue* pQueue) {
    WindowTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.lock);
    for (auto it = tables.windows.begin(); it != tables.windows.end();) {
        if (it->second->m_queue.get() == pQueue) {
            --it->second->m_class->nWindows;
            it = tables.windows.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace platform

using platform::Window;

// Registers a process-wide class by name (compared without case) and returns
// its atom; 0 with ERROR_CLASS_ALREADY_EXISTS for a name in use, or
// ERROR_INVALID_PARAMETER without a name or procedure. Thread-safe.
extern "C" ATOM RegisterClassW(const WNDCLASSW* lpWndClass) {
    if (platform::FaultHit("RegisterClassW"))
        return 0;
    if (lpWndClass == nullptr || lpWndClass->lpfnWndProc == nullptr ||
        lpWndClass->lpszClassName == nullptr || platform::IsAtomName(lpWndClass->lpszClassName) ||
        lpWndClass->lpszClassName[0] == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    try {
        std::wstring folded = platform::FoldName(lpWndClass->lpszClassName);
        platform::WindowTables& tables = platform::Tables();
        std::lock_guard<std::mutex> lock(tables.lock);
        if (tables.classes.count(folded) != 0) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
        size_t index = 0;
        while (index < tables.atomNames.size() && tables.atomNames[index] != folded)
            ++index;
        if (index == tables.atomNames.size()) {
            if (index >= platform::kMaxClassAtoms) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            tables.atomNames.push_back(folded);
        }
        ATOM atom = static_cast<ATOM>(platform::kFirstClassAtom + index);
        tables.classes.emplace(folded,
                               std::make_shared<platform::WindowClass>(platform::WindowClass{
                                   lpWndClass->lpszClassName, lpWndClass->lpfnWndProc, atom, 0}));
        return atom;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

// Removes a class (by name or atom; hInstance is not used: classes are
// process-wide). FALSE with ERROR_CLASS_DOES_NOT_EXIST, or
// ERROR_CLASS_HAS_WINDOWS while windows of the class exist. Thread-safe.
extern "C" BOOL UnregisterClassW(LPCWSTR lpClassName, HINSTANCE) {
    if (platform::FaultHit("UnregisterClassW"))
        return FALSE;
    if (lpClassName == nullptr) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    try {
        platform::WindowTables& tables = platform::Tables();
        std::lock_guard<std::mutex> lock(tables.lock);
        std::shared_ptr<platform::WindowClass> cls = platform::FindClassLocked(tables, lpClassName);
        if (!cls) {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return FALSE;
        }
        if (cls->nWindows != 0) {
            SetLastError(platform::kErrorClassHasWindows);
            return FALSE;
        }
        tables.classes.erase(platform::FoldName(cls->name.c_str()));
        return TRUE;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

// Creates a message-only window of the class, owned by the calling thread
// (whose queue is created if needed). Position, size, styles, parent, menu and
// lpParam are not used, and WM_CREATE is not sent: the creator sets
// GWLP_USERDATA itself. Null with ERROR_CANNOT_FIND_WND_CLASS for an unknown
// class. Thread-safe.
extern "C" HWND CreateWindowExW(DWORD, LPCWSTR lpClassName, LPCWSTR, DWORD, int, int, int, int,
                                HWND, HMENU, HINSTANCE, LPVOID) {
    if (platform::FaultHit("CreateWindowExW"))
        return nullptr;
    if (lpClassName == nullptr) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    std::shared_ptr<platform::MessageQueue> queue = platform::CurrentQueue();
    if (!queue)
        return nullptr;
    try {
        platform::WindowTables& tables = platform::Tables();
        std::lock_guard<std::mutex> lock(tables.lock);
        std::shared_ptr<platform::WindowClass> cls = platform::FindClassLocked(tables, lpClassName);
        if (!cls) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        constexpr size_t kIndexCount = platform::kLastWindowIndex - platform::kFirstWindowIndex;
        if (tables.windows.size() >= kIndexCount) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        uint32_t value;
        do {
            uint32_t index = tables.nNextIndex;
            tables.nNextIndex =
                index >= platform::kLastWindowIndex ? platform::kFirstWindowIndex : index + 1;
            value = (index << 2) | 2;
        } while (tables.windows.count(value) != 0);
        HWND hWnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
        tables.windows.emplace(value, std::make_shared<Window>(hWnd, std::move(queue), cls));
        ++cls->nWindows;
        return hWnd;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

// Sends WM_DESTROY to the procedure, then removes the window: messages still
// queued for it are dropped and later posts fail with
// ERROR_INVALID_WINDOW_HANDLE. Only the owning thread may destroy a window
// (others get ERROR_ACCESS_DENIED); racing posts from other threads are safe.
extern "C" BOOL DestroyWindow(HWND hWnd) {
    if (platform::FaultHit("DestroyWindow"))
        return FALSE;
    std::shared_ptr<Window> window = platform::LookupOwnWindow(hWnd);
    if (!window)
        return FALSE;
    // A procedure that destroys its window again from WM_DESTROY does not get
    // a second WM_DESTROY; the outer call finishes the job.
    if (window->m_bDestroying.exchange(true))
        return TRUE;
    platform::CallProc(*window, WM_DESTROY, 0, 0);
    {
        platform::WindowTables& tables = platform::Tables();
        std::lock_guard<std::mutex> lock(tables.lock);
        platform::EraseWindowLocked(tables, *window);
    }
    window->m_queue->DropWindow(hWnd, &window->m_bGone);
    return TRUE;
}

// TRUE while hWnd names a live window (of any thread). Thread-safe.
extern "C" BOOL IsWindow(HWND hWnd) {
    return platform::LookupWindow(hWnd) ? TRUE : FALSE;
}

// The default procedure has nothing to do for message-only windows.
extern "C" LRESULT DefWindowProcW(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

// Replaces GWLP_USERDATA or GWLP_WNDPROC and returns the previous value (0
// without touching the last error when it was 0); 0 with
// ERROR_INVALID_WINDOW_HANDLE or ERROR_INVALID_INDEX on failure. Thread-safe.
extern "C" LONG_PTR SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    if (platform::FaultHit("SetWindowLongPtrW"))
        return 0;
    std::shared_ptr<Window> window = platform::LookupWindow(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    switch (nIndex) {
        case GWLP_USERDATA:
            return window->m_lUserData.exchange(dwNewLong);
        case GWLP_WNDPROC:
            return reinterpret_cast<LONG_PTR>(
                window->m_pfnProc.exchange(reinterpret_cast<WNDPROC>(dwNewLong)));
        default:
            SetLastError(platform::kErrorInvalidIndex);
            return 0;
    }
}

// Reads GWLP_USERDATA or GWLP_WNDPROC; 0 with the last error set on failure.
// Thread-safe.
extern "C" LONG_PTR GetWindowLongPtrW(HWND hWnd, int nIndex) {
    if (platform::FaultHit("GetWindowLongPtrW"))
        return 0;
    std::shared_ptr<Window> window = platform::LookupWindow(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    switch (nIndex) {
        case GWLP_USERDATA:
            return window->m_lUserData.load();
        case GWLP_WNDPROC:
            return reinterpret_cast<LONG_PTR>(window->m_pfnProc.load());
        default:
            SetLastError(platform::kErrorInvalidIndex);
            return 0;
    }
}

// Returns the id of the thread that owns the window and stores the process id
// in *lpdwProcessId if given; 0 with ERROR_INVALID_WINDOW_HANDLE. Thread-safe.
extern "C" DWORD GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    if (platform::FaultHit("GetWindowThreadProcessId"))
        return 0;
    std::shared_ptr<Window> window = platform::LookupWindow(hWnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpdwProcessId != nullptr)
        *lpdwProcessId = GetCurrentProcessId();
    return window->m_dwThreadId;
}

// Posts to the window's thread (a null hWnd posts a thread message to the
// calling thread). FALSE with ERROR_INVALID_WINDOW_HANDLE for a destroyed or
// unknown window, ERROR_NOT_ENOUGH_QUOTA when the queue is full. Never
// blocks. Thread-safe.
extern "C" BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (platform::FaultHit("PostMessageW"))
        return FALSE;
    const platform::QueuedMessage msg{hWnd, Msg, wParam, lParam, GetTickCount()};
    DWORD dwError;
    if (hWnd == nullptr) {
        std::shared_ptr<platform::MessageQueue> queue = platform::FindQueue(GetCurrentThreadId());
        dwError = queue ? queue->Post(msg, nullptr) : ERROR_INVALID_THREAD_ID;
    } else {
        std::shared_ptr<Window> window = platform::LookupWindow(hWnd);
        dwError =
            window ? window->m_queue->Post(msg, &window->m_bGone) : ERROR_INVALID_WINDOW_HANDLE;
    }
    if (dwError != ERROR_SUCCESS) {
        SetLastError(dwError);
        return FALSE;
    }
    return TRUE;
}

// Calls the window procedure directly and returns its result. Only from the
// owning thread: from another it fails with 0 and ERROR_ACCESS_DENIED instead
// of blocking; 0 with ERROR_INVALID_WINDOW_HANDLE for an unknown window.
extern "C" LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (platform::FaultHit("SendMessageW"))
        return 0;
    std::shared_ptr<Window> window = platform::LookupOwnWindow(hWnd);
    if (!window)
        return 0;
    return platform::CallProc(*window, Msg, wParam, lParam);
}

// Calls the procedure of lpMsg->hwnd with the message and returns its result;
// 0 for thread messages. A window that is gone or belongs to another thread
// gets nothing (0, last error set).
extern "C" LRESULT DispatchMessageW(const MSG* lpMsg) {
    if (platform::FaultHit("DispatchMessageW"))
        return 0;
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (lpMsg->hwnd == nullptr)
        return 0;
    std::shared_ptr<Window> window = platform::LookupOwnWindow(lpMsg->hwnd);
    if (!window)
        return 0;
    return platform::CallProc(*window, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}
