// Per-thread message queues and the window table's view of them. Internal to
// the platform; the public calls are in platform/win_message.h.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/win_message.h"

namespace platform {

// One posted message as it waits in a queue.
struct QueuedMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
};

// Which messages a Get/Peek takes: hWnd null = all of the thread's messages,
// (HWND)-1 = thread messages only, otherwise that window's; min/max 0/0 = all
// message numbers, otherwise the inclusive range. WM_QUIT passes any range.
struct MessageFilter {
    HWND hWnd;
    UINT uMin;
    UINT uMax;
};

// The queue of one thread. Posting is thread-safe and never blocks; taking
// messages is done by the owning thread only. Non-copyable.
class MessageQueue {
public:
    explicit MessageQueue(DWORD dwThreadId) : m_dwThreadId(dwThreadId) {}
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    DWORD ThreadId() const { return m_dwThreadId; }

    // Appends msg. pbTargetGone, when given, is the target window's "destroyed"
    // flag, read under the queue lock so a post cannot slip in behind
    // DropWindow. Returns ERROR_SUCCESS, or the Windows error: the queue has
    // closed (ERROR_INVALID_THREAD_ID, or ERROR_INVALID_WINDOW_HANDLE for a
    // window post), the window is gone, the queue is full
    // (ERROR_NOT_ENOUGH_QUOTA) or memory ran out. Thread-safe.
    DWORD Post(const QueuedMessage& msg, const bool* pbTargetGone);

    // Marks the thread's quit request; it is delivered as WM_QUIT once no other
    // matching message waits. Owner thread.
    void PostQuit(int nExitCode);

    // Stores the first message that passes the filter in *pMsg, removing it
    // when bRemove; when bWait, blocks until one arrives. Returns false only
    // when !bWait and nothing matches. Owner thread.
    bool Take(LPMSG pMsg, const MessageFilter& filter, bool bRemove, bool bWait);

    // Sets *pbTargetGone and drops every message queued for hWnd, atomically
    // with respect to Post. Thread-safe.
    void DropWindow(HWND hWnd, bool* pbTargetGone);

    // The eventfd that is readable while messages (or a quit request) wait;
    // created on first use. Returns -1 with the last error set on failure.
    // Owner thread.
    int Fd();

    // Ends the queue with its thread: drops what is queued, closes the fd, and
    // makes later posts fail. Thread-safe.
    void Close();

private:
    bool MatchesLocked(const QueuedMessage& msg, const MessageFilter& filter) const;
    // Brings the eventfd in line with whether anything waits.
    void UpdateFdLocked();

    const DWORD m_dwThreadId;
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<QueuedMessage> m_messages;  // guarded by m_lock
    bool m_bQuit = false;                  // guarded by m_lock
    int m_nQuitCode = 0;                   // guarded by m_lock
    bool m_bClosed = false;                // guarded by m_lock
    int m_nWaiters = 0;                    // guarded by m_lock
    int m_fd = -1;                         // guarded by m_lock
    bool m_bFdReadable = false;            // guarded by m_lock
};

// The queue of thread dwThreadId, or null when that thread has none (never
// made one, or has ended). Thread-safe.
std::shared_ptr<MessageQueue> FindQueue(DWORD dwThreadId);

// The calling thread's queue, created if it has none. Null (last error set)
// only while the thread is ending or when memory ran out. Thread-safe.
std::shared_ptr<MessageQueue> CurrentQueue();

// True when hWnd names a live window owned by the calling thread (window.cpp).
bool IsWindowOfCurrentThread(HWND hWnd);
// Forgets every window owned by the queue's thread, which is ending; their
// procedures are not called (window.cpp). Thread-safe.
void ForgetThreadWindows(const MessageQueue* pQueue);

// Test hook: the number of messages one queue may hold before posting fails
// with ERROR_NOT_ENOUGH_QUOTA (default 10,000, the Windows limit). Returns
// the previous limit. Thread-safe.
PLATFORM_API size_t SetMessageQueueLimit(size_t nLimit);

}  // namespace platform
