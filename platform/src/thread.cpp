// Threads: CreateThread, _beginthreadex, exit codes and thread ids.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "error_from_errno.h"
#include "fault_hit.h"
#include "kernel_object.h"
#include "platform/win_error.h"
#include "platform/win_sync.h"

namespace platform {
namespace {

class ThreadObject : public Waitable {
public:
    ThreadObject() : Waitable(ObjectKind::Thread, true, false) {}

    DWORD (*m_pfnStart)(void*) = nullptr;
    unsigned (*m_pfnCrtStart)(void*) = nullptr;
    void* m_pArg = nullptr;
    DWORD m_dwThreadId = 0;
    DWORD m_dwExitCode = STILL_ACTIVE;  // guarded by SyncLock()
    std::mutex m_startLock;
    std::condition_variable m_startCv;
    bool m_bIdKnown = false;
};

void* ThreadTrampoline(void* pv) {
    // The thread owns one reference to its object until it has signalled.
    std::shared_ptr<ThreadObject>* pHolder = static_cast<std::shared_ptr<ThreadObject>*>(pv);
    std::shared_ptr<ThreadObject> self = std::move(*pHolder);
    delete pHolder;
    {
        std::lock_guard<std::mutex> lock(self->m_startLock);
        self->m_dwThreadId = GetCurrentThreadId();
        self->m_bIdKnown = true;
    }
    self->m_startCv.notify_all();
    DWORD dwExit = self->m_pfnStart != nullptr ? self->m_pfnStart(self->m_pArg)
                                               : self->m_pfnCrtStart(self->m_pArg);
    {
        std::lock_guard<std::mutex> lock(SyncLock());
        self->m_dwExitCode = dwExit;
    }
    self->Set();
    return nullptr;
}

HANDLE StartThread(DWORD (*pfnStart)(void*), unsigned (*pfnCrtStart)(void*), void* pArg,
                   SIZE_T cbStack, LPDWORD lpThreadId) {
    auto object = std::make_shared<ThreadObject>();
    object->m_pfnStart = pfnStart;
    object->m_pfnCrtStart = pfnCrtStart;
    object->m_pArg = pArg;
    HANDLE h = InsertObject(object);
    if (h == nullptr)
        return nullptr;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (cbStack != 0)
        pthread_attr_setstacksize(&attr, cbStack < 65536 ? 65536 : cbStack);
    auto* pHolder = new std::shared_ptr<ThreadObject>(object);
    pthread_t tid;
    int err = pthread_create(&tid, &attr, ThreadTrampoline, pHolder);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        delete pHolder;
        RemoveObject(h);
        SetLastError(err == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ErrorFromErrno(err));
        return nullptr;
    }
    // Thread ids are kernel ids, known only once the thread runs; callers
    // rely on the id being valid when the start call returns.
    {
        std::unique_lock<std::mutex> lock(object->m_startLock);
        object->m_startCv.wait(lock, [&] { return object->m_bIdKnown; });
        if (lpThreadId != nullptr)
            *lpThreadId = object->m_dwThreadId;
    }
    return h;
}

}  // namespace
}  // namespace platform

extern "C" HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                               LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                               DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (platform::FaultHit("CreateThread"))
        return nullptr;
    if (lpStartAddress == nullptr || (dwCreationFlags & CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return platform::StartThread(lpStartAddress, nullptr, lpParameter, dwStackSize, lpThreadId);
}

extern "C" uintptr_t _beginthreadex(void*, unsigned stack_size, unsigned (*start_address)(void*),
                                    void* arglist, unsigned initflag, unsigned* thrdaddr) {
    if (platform::FaultHit("_beginthreadex")) {
        errno = EAGAIN;
        return 0;
    }
    if (start_address == nullptr || (initflag & CREATE_SUSPENDED) != 0) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD dwId = 0;
    HANDLE h = platform::StartThread(nullptr, start_address, arglist, stack_size, &dwId);
    if (h == nullptr) {
        errno = EAGAIN;
        return 0;
    }
    if (thrdaddr != nullptr)
        *thrdaddr = dwId;
    return reinterpret_cast<uintptr_t>(h);
}

extern "C" BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto thread = platform::LookupAs<platform::ThreadObject>(hThread, platform::ObjectKind::Thread);
    if (!thread || lpExitCode == nullptr) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(platform::SyncLock());
    *lpExitCode = thread->m_dwExitCode;
    return TRUE;
}

extern "C" DWORD GetCurrentThreadId() {
    thread_local DWORD t_dwId = static_cast<DWORD>(syscall(SYS_gettid));
    return t_dwId;
}

extern "C" DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}
