// Sleeping and tick counts.
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/win_sync.h"

extern "C" void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;)
            pause();
    }
    struct timespec ts;
    ts.tv_sec = dwMilliseconds / 1000;
    ts.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

extern "C" DWORD SleepEx(DWORD dwMilliseconds, BOOL) {
    Sleep(dwMilliseconds);
    return 0;
}

extern "C" DWORD GetTickCount() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const ULONGLONG ullMs = static_cast<ULONGLONG>(ts.tv_sec) * 1000ull +
                            static_cast<ULONGLONG>(ts.tv_nsec) / 1000000ull;
    return static_cast<DWORD>(ullMs);
}
