// Thread message queues: posting to threads, GetMessageW / PeekMessageW,
// WM_QUIT, and the pollable descriptor a host's own event loop can watch.
#include "message_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <unordered_map>

#include "error_from_errno.h"
#include "fault_hit.h"
#include "platform/ext/message_queue_fd.h"
#include "platform/win_error.h"
#include "platform/win_sync.h"

namespace platform {
namespace {

// A host that stops pumping (a modal dialog, a long computation) must not
// grow its queue without bound while others keep posting: Windows refuses
// posts beyond 10,000 waiting messages with ERROR_NOT_ENOUGH_QUOTA, and so
// does this layer, so a poster's give-up path (the channel's receive thread
// frees the block it could not deliver) runs here as it does there.
constexpr size_t kDefaultQueueLimit = 10'000;
std::atomic<size_t> g_nQueueLimit{kDefaultQueueLimit};

struct QueueRegistry {
    std::mutex lock;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
};

// Never destroyed: detached threads may still post while the process exits.
QueueRegistry& Registry() {
    static QueueRegistry* s_pRegistry = new QueueRegistry;
    return *s_pRegistry;
}

// Set once the thread's queue holder has been destroyed. Trivially
// destructible, so it stays readable during the rest of the thread's exit,
// when other thread-local destructors may still make message calls.
thread_local bool t_bThreadEnding = false;

// Owns the thread's queue; its destructor ends the queue with the thread.
struct QueueHolder {
    std::shared_ptr<MessageQueue> queue;

    QueueHolder() = default;
    QueueHolder(const QueueHolder&) = delete;
    QueueHolder& operator=(const QueueHolder&) = delete;
    ~QueueHolder() {
        t_bThreadEnding = true;
        if (!queue)
            return;
        {
            QueueRegistry& registry = Registry();
            std::lock_guard<std::mutex> lock(registry.lock);
            auto it = registry.queues.find(queue->ThreadId());
            if (it != registry.queues.end() && it->second == queue)
                registry.queues.erase(it);
        }
        queue->Close();
        ForgetThreadWindows(queue.get());
    }
};

thread_local QueueHolder t_holder;

}  // namespace

MessageQueue::~MessageQueue() {
    if (m_fd >= 0)
        close(m_fd);
}

DWORD MessageQueue::Post(const QueuedMessage& msg, const bool* pbTargetGone) {
    bool bWake;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_bClosed) {
            return pbTargetGone != nullptr ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_THREAD_ID;
        }
        if (pbTargetGone != nullptr && *pbTargetGone)
            return ERROR_INVALID_WINDOW_HANDLE;
        if (m_messages.size() >= g_nQueueLimit.load(std::memory_order_relaxed)) {
            return ERROR_NOT_ENOUGH_QUOTA;
        }
        try {
            m_messages.push_back(msg);
        } catch (const std::bad_alloc&) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        if (m_messages.size() == 1)
            UpdateFdLocked();
        bWake = m_nWaiters > 0;
    }
    // Only the owner ever waits, so one wake-up is enough.
    if (bWake)
        m_cv.notify_one();
    return ERROR_SUCCESS;
}

void MessageQueue::PostQuit(int nExitCode) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bQuit = true;
    m_nQuitCode = nExitCode;
    UpdateFdLocked();
}

bool MessageQueue::MatchesLocked(const QueuedMessage& msg, const MessageFilter& filter) const {
    if (filter.hWnd == reinterpret_cast<HWND>(static_cast<intptr_t>(-1))) {
        if (msg.hwnd != nullptr)
            return false;
    } else if (filter.hWnd != nullptr && msg.hwnd != filter.hWnd) {
        return false;
    }
    if (msg.message == WM_QUIT || (filter.uMin == 0 && filter.uMax == 0))
        return true;
    return msg.message >= filter.uMin && msg.message <= filter.uMax;
}

bool MessageQueue::Take(LPMSG pMsg, const MessageFilter& filter, bool bRemove, bool bWait) {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        auto it = std::find_if(m_messages.begin(), m_messages.end(),
                               [&](const QueuedMessage& m) { return MatchesLocked(m, filter); });
        if (it != m_messages.end()) {
            *pMsg = MSG{it->hwnd, it->message, it->wParam, it->lParam, it->time, POINT{0, 0}};
            if (bRemove) {
                m_messages.erase(it);
                UpdateFdLocked();
            }
            return true;
        }
        // The quit request comes after every posted message, whatever the filter.
        if (m_bQuit) {
            *pMsg = MSG{
                nullptr, WM_QUIT,        static_cast<WPARAM>(static_cast<intptr_t>(m_nQuitCode)),
                0,       GetTickCount(), POINT{0, 0}};
            if (bRemove) {
                m_bQuit = false;
                UpdateFdLocked();
            }
            return true;
        }
        if (!bWait)
            return false;
        ++m_nWaiters;
        m_cv.wait(lock);
        --m_nWaiters;
    }
}

void MessageQueue::DropWindow(HWND hWnd, bool* pbTargetGone) {
    std::lock_guard<std::mutex> lock(m_lock);
    *pbTargetGone = true;
    std::erase_if(m_messages, [hWnd](const QueuedMessage& m) { return m.hwnd == hWnd; });
    UpdateFdLocked();
}

int MessageQueue::Fd() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_bClosed) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return -1;
    }
    if (m_fd < 0) {
        int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd < 0) {
            SetLastErrorFromErrno(errno);
            return -1;
        }
        m_fd = fd;
        m_bFdReadable = false;
        UpdateFdLocked();
    }
    return m_fd;
}

void MessageQueue::UpdateFdLocked() {
    if (m_fd < 0)
        return;
    const bool bWant = !m_messages.empty() || m_bQuit;
    if (bWant == m_bFdReadable)
        return;
    // The counter only ever moves between 0 and 1 here, so neither call can
    // meet a full or an empty counter; EINTR is the only retry.
    uint64_t value = 1;
    ssize_t n;
    do {
        n = bWant ? write(m_fd, &value, sizeof value) : read(m_fd, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
    m_bFdReadable = bWant;
}

void MessageQueue::Close() {
    std::deque<QueuedMessage> dropped;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bClosed = true;
        m_bQuit = false;
        dropped.swap(m_messages);
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
        m_bFdReadable = false;
    }
}

std::shared_ptr<MessageQueue> FindQueue(DWORD dwThreadId) {
    QueueRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.lock);
    auto it = registry.queues.find(dwThreadId);
    return it != registry.queues.end() ? it->second : nullptr;
}

std::shared_ptr<MessageQueue> CurrentQueue() {
    if (t_bThreadEnding) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return nullptr;
    }
    QueueHolder& holder = t_holder;
    if (holder.queue)
        return holder.queue;
    try {
        auto queue = std::make_shared<MessageQueue>(GetCurrentThreadId());
        QueueRegistry& registry = Registry();
        std::lock_guard<std::mutex> lock(registry.lock);
        // A stale entry can only belong to an ended thread whose id the
        // kernel has handed out again.
        registry.queues[queue->ThreadId()] = queue;
        holder.queue = queue;
        return queue;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

size_t SetMessageQueueLimit(size_t nLimit) {
    return g_nQueueLimit.exchange(nLimit);
}

int GetMessageQueueFd() {
    if (FaultHit("GetMessageQueueFd"))
        return -1;
    std::shared_ptr<MessageQueue> queue = CurrentQueue();
    return queue ? queue->Fd() : -1;
}

namespace {

// A window filter must name one of the calling thread's windows; a foreign
// or dead window would otherwise make GetMessageW wait forever.
bool FilterWindowValid(HWND hWnd) {
    return hWnd == nullptr || hWnd == reinterpret_cast<HWND>(static_cast<intptr_t>(-1)) ||
           IsWindowOfCurrentThread(hWnd);
}

}  // namespace
}  // namespace platform

// Posts to the thread's queue; FALSE with ERROR_INVALID_THREAD_ID when the
// thread has no queue (never made one, or ended), ERROR_NOT_ENOUGH_QUOTA when
// it is full. Never blocks. Thread-safe.
extern "C" BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (platform::FaultHit("PostThreadMessageW"))
        return FALSE;
    std::shared_ptr<platform::MessageQueue> queue = platform::FindQueue(idThread);
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    DWORD dwError = queue->Post({nullptr, Msg, wParam, lParam, GetTickCount()}, nullptr);
    if (dwError != ERROR_SUCCESS) {
        SetLastError(dwError);
        return FALSE;
    }
    return TRUE;
}

// Waits for a matching message of the calling thread and removes it into
// *lpMsg. Returns 0 for WM_QUIT, TRUE for others, -1 (last error set) for a
// null lpMsg or a window filter that is not one of the thread's windows.
extern "C" BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (platform::FaultHit("GetMessageW"))
        return -1;
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!platform::FilterWindowValid(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    std::shared_ptr<platform::MessageQueue> queue = platform::CurrentQueue();
    if (!queue)
        return -1;
    queue->Take(lpMsg, {hWnd, wMsgFilterMin, wMsgFilterMax}, true, true);
    return lpMsg->message == WM_QUIT ? 0 : TRUE;
}

// Stores the first matching message in *lpMsg (removed with PM_REMOVE) and
// returns TRUE; FALSE when none waits or the arguments are invalid (then the
// last error is set). Never blocks.
extern "C" BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                             UINT wRemoveMsg) {
    if (platform::FaultHit("PeekMessageW"))
        return FALSE;
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!platform::FilterWindowValid(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::shared_ptr<platform::MessageQueue> queue = platform::CurrentQueue();
    if (!queue)
        return FALSE;
    return queue->Take(lpMsg, {hWnd, wMsgFilterMin, wMsgFilterMax}, (wRemoveMsg & PM_REMOVE) != 0,
                       false)
               ? TRUE
               : FALSE;
}

// Asks the calling thread's loop to end: WM_QUIT with nExitCode in wParam is
// delivered once no other matching message waits.
extern "C" void PostQuitMessage(int nExitCode) {
    std::shared_ptr<platform::MessageQueue> queue = platform::CurrentQueue();
    if (queue)
        queue->PostQuit(nExitCode);
}

// There are no keyboard messages to translate.
extern "C" BOOL TranslateMessage(const MSG*) {
    return FALSE;
}
