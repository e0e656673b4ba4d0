// Critical sections: recursive mutexes with an optional spin before
// blocking.
#include <mutex>
#include <thread>

#include "fault_hit.h"
#include "platform/win_sync.h"

namespace {
std::recursive_mutex* Impl(LPCRITICAL_SECTION cs) {
    return static_cast<std::recursive_mutex*>(cs->Impl);
}
}  // namespace

extern "C" void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    lpCriticalSection->Impl = new std::recursive_mutex;
    lpCriticalSection->SpinCount = 0;
}

extern "C" BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                      DWORD dwSpinCount) {
    if (platform::FaultHit("InitializeCriticalSectionAndSpinCount"))
        return FALSE;
    InitializeCriticalSection(lpCriticalSection);
    // The high bit asks Windows to pre-allocate the wait event; here there is
    // nothing to pre-allocate.
    lpCriticalSection->SpinCount = dwSpinCount & 0x00FFFFFFu;
    return TRUE;
}

namespace {

// Tells the core that this is a spin-wait (saves power, yields to the
// sibling hyper-thread); a plain yield where the architecture has no hint.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    __asm__ __volatile__("yield" ::: "memory");
#else
    std::this_thread::yield();
#endif
}

}  // namespace

extern "C" void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    std::recursive_mutex* m = Impl(lpCriticalSection);
    for (DWORD i = 0; i < lpCriticalSection->SpinCount; ++i) {
        if (m->try_lock())
            return;
        CpuRelax();
    }
    m->lock();
}

extern "C" void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Impl(lpCriticalSection)->unlock();
}

extern "C" void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    delete Impl(lpCriticalSection);
    lpCriticalSection->Impl = nullptr;
}
