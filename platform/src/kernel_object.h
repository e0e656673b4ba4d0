// The platform's internal object model: every handle names a KernelObject
// in one process-wide table. Waitable objects (events, threads) share one
// synchronisation lock so that a wait on several objects is atomic.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace platform {

enum class ObjectKind { Event, Thread, File, Serial, Socket, Console };

class KernelObject {
public:
    explicit KernelObject(ObjectKind kind) : m_kind(kind) {}
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    ObjectKind Kind() const { return m_kind; }

    // Called once, when CloseHandle removes the object from the table (other
    // threads may still hold references). Ports abort pending operations here.
    virtual void OnClose() {}

    // Transfers for ReadFile / WriteFile / FlushFileBuffers. The defaults
    // fail with ERROR_INVALID_HANDLE (the object takes no transfers).
    virtual BOOL Read(LPVOID lpBuffer, DWORD nBytes, LPDWORD lpRead, LPOVERLAPPED lpOv);
    virtual BOOL Write(LPCVOID lpBuffer, DWORD nBytes, LPDWORD lpWritten, LPOVERLAPPED lpOv);
    virtual BOOL Flush();

private:
    const ObjectKind m_kind;
};

// The one lock that guards the signalled state of every waitable object.
std::mutex& SyncLock();

// One waiting thread's wake-up channel, registered with every object it
// waits on.
struct WaitBlock {
    std::condition_variable cv;
};

class Waitable : public KernelObject {
public:
    Waitable(ObjectKind kind, bool bManualReset, bool bInitialState)
        : KernelObject(kind), m_bManualReset(bManualReset), m_bSignaled(bInitialState) {}

    void Set();
    void Reset();

    // The following run with SyncLock() held.
    bool SignaledLocked() const { return m_bSignaled; }
    // An auto-reset object is cleared by the wait that consumes it.
    void ConsumeLocked() {
        if (!m_bManualReset)
            m_bSignaled = false;
    }
    void AddWaiterLocked(WaitBlock* pBlock) { m_waiters.push_back(pBlock); }
    void RemoveWaiterLocked(WaitBlock* pBlock);

private:
    const bool m_bManualReset;
    bool m_bSignaled;
    std::vector<WaitBlock*> m_waiters;
};

// Handle table. Values are multiples of 4 below 2^32, with a generation so a
// stale value does not reach a newer object. Thread-safe.
HANDLE InsertObject(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupObject(HANDLE h);
// Removes the object from the table and returns it (null if unknown).
std::shared_ptr<KernelObject> RemoveObject(HANDLE h);
// Test hook: the number of handles open in the table, so tests can tell that
// a failure path closed what it opened. Thread-safe.
PLATFORM_API size_t OpenHandleCount();

template <class T>
std::shared_ptr<T> LookupAs(HANDLE h, ObjectKind kind) {
    std::shared_ptr<KernelObject> object = LookupObject(h);
    if (!object || object->Kind() != kind)
        return nullptr;
    return std::static_pointer_cast<T>(object);
}

// OVERLAPPED::Internal holds STATUS_PENDING (0x103) while an operation is in
// progress, as on Windows, so that HasOverlappedIoCompleted reads it. A
// finished operation holds 0 for success, or its Windows error with
// kOverlappedFailed set above the error's 32 bits: ERROR_NO_MORE_ITEMS is
// 0x103 too, and stored bare it would read as "still pending" for ever. The
// byte count goes to InternalHigh.
constexpr ULONG_PTR kOverlappedPending = 0x103;
constexpr ULONG_PTR kOverlappedFailed = ULONG_PTR{1} << 32;
static_assert(sizeof(ULONG_PTR) > sizeof(DWORD), "the failure mark needs bits above a DWORD");

// Whether the operation on the record is still in progress, and once it is
// not, its Windows error (0 for success). The status is read as the
// completing thread stored it.
bool OverlappedPending(const OVERLAPPED* lpOv);
DWORD OverlappedError(const OVERLAPPED* lpOv);

// Marks an operation as started (pending) and clears its event.
void BeginOverlapped(LPOVERLAPPED lpOv);
// Completes an overlapped operation: stores the result, then signals the
// record's event. After this returns the platform never touches lpOv again.
void CompleteOverlapped(LPOVERLAPPED lpOv, DWORD dwError, DWORD dwCount);

// Opens "\\.\COMn" (serial_port.cpp). lpszName is the full device name.
HANDLE OpenSerialDevice(LPCWSTR lpszName, DWORD dwDesiredAccess, DWORD dwShareMode,
                        DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes);

// Converts wide text to UTF-8 and back (for native paths and environment
// values); invalid input becomes U+FFFD. In codepage.cpp.
std::string WideToUtf8(LPCWSTR lpsz);
std::wstring Utf8ToWide(const char* lpsz);

}  // namespace platform
