// Events and waits on waitable objects (events, threads).
#include <algorithm>
#include <chrono>

#include "fault_hit.h"
#include "kernel_object.h"
#include "platform/win_error.h"
#include "platform/win_sync.h"

namespace platform {

std::mutex& SyncLock() {
    static std::mutex s_lock;
    return s_lock;
}

void Waitable::Set() {
    std::lock_guard<std::mutex> lock(SyncLock());
    m_bSignaled = true;
    for (WaitBlock* pBlock : m_waiters)
        pBlock->cv.notify_one();
}

void Waitable::Reset() {
    std::lock_guard<std::mutex> lock(SyncLock());
    m_bSignaled = false;
}

void Waitable::RemoveWaiterLocked(WaitBlock* pBlock) {
    auto it = std::find(m_waiters.begin(), m_waiters.end(), pBlock);
    if (it != m_waiters.end())
        m_waiters.erase(it);
}

namespace {

class EventObject : public Waitable {
public:
    EventObject(bool bManualReset, bool bInitialState)
        : Waitable(ObjectKind::Event, bManualReset, bInitialState) {}
};

std::shared_ptr<Waitable> LookupWaitable(HANDLE h) {
    std::shared_ptr<KernelObject> object = LookupObject(h);
    if (!object)
        return nullptr;
    if (object->Kind() != ObjectKind::Event && object->Kind() != ObjectKind::Thread)
        return nullptr;
    return std::static_pointer_cast<Waitable>(object);
}

}  // namespace
}  // namespace platform

using platform::Waitable;

extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                               LPCWSTR lpName) {
    if (platform::FaultHit("CreateEventW"))
        return nullptr;
    if (lpName != nullptr && lpName[0] != L'\0') {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HANDLE h = platform::InsertObject(
        std::make_shared<platform::EventObject>(bManualReset != FALSE, bInitialState != FALSE));
    if (h != nullptr)
        SetLastError(ERROR_SUCCESS);
    return h;
}

extern "C" BOOL SetEvent(HANDLE hEvent) {
    auto event = platform::LookupAs<Waitable>(hEvent, platform::ObjectKind::Event);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Set();
    return TRUE;
}

extern "C" BOOL ResetEvent(HANDLE hEvent) {
    auto event = platform::LookupAs<Waitable>(hEvent, platform::ObjectKind::Event);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Reset();
    return TRUE;
}

extern "C" DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                        DWORD dwMilliseconds) {
    if (platform::FaultHit("WaitForMultipleObjects"))
        return WAIT_FAILED;
    if (nCount == 0 || nCount > 64 || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // Holding the references keeps each object alive during the wait even if
    // another thread closes its handle.
    std::vector<std::shared_ptr<Waitable>> objects;
    objects.reserve(nCount);
    for (DWORD i = 0; i < nCount; ++i) {
        std::shared_ptr<Waitable> object = platform::LookupWaitable(lpHandles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    platform::WaitBlock block;
    std::unique_lock<std::mutex> lock(platform::SyncLock());
    bool bRegistered = false;
    DWORD dwResult = WAIT_TIMEOUT;
    for (;;) {
        if (bWaitAll) {
            bool bAll = std::all_of(objects.begin(), objects.end(),
                                    [](const auto& o) { return o->SignaledLocked(); });
            if (bAll) {
                for (auto& o : objects)
                    o->ConsumeLocked();
                dwResult = WAIT_OBJECT_0;
                break;
            }
        } else {
            auto it = std::find_if(objects.begin(), objects.end(),
                                   [](const auto& o) { return o->SignaledLocked(); });
            if (it != objects.end()) {
                (*it)->ConsumeLocked();
                dwResult = WAIT_OBJECT_0 + static_cast<DWORD>(it - objects.begin());
                break;
            }
        }
        if (dwMilliseconds == 0)
            break;
        if (!bRegistered) {
            for (auto& o : objects)
                o->AddWaiterLocked(&block);
            bRegistered = true;
        }
        if (dwMilliseconds == INFINITE) {
            block.cv.wait(lock);
        } else if (block.cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: a signal may have raced with the time-out.
            dwMilliseconds = 0;
        }
    }
    if (bRegistered) {
        for (auto& o : objects)
            o->RemoveWaiterLocked(&block);
    }
    return dwResult;
}

extern "C" DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}
