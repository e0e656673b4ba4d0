// Events, waits with time-outs, threads, handles and the fault seam.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/win_error.h"
#include "platform/win_handle.h"
#include "platform/win_sync.h"
#include "platform_testing/fault_injection.h"

namespace {

TEST(EventWait, ManualResetStaysSignalledAutoResetIsConsumed) {
    HANDLE hManual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE hAuto = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(hManual, nullptr);
    ASSERT_NE(hAuto, nullptr);
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(hManual));
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hAuto, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hAuto, 0), WAIT_TIMEOUT);
    HANDLE both[2] = {hAuto, hManual};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(hManual));
    EXPECT_TRUE(CloseHandle(hAuto));
}

TEST(EventWait, TimeoutIsHonouredAndSignalFromAnotherThreadWakes) {
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD t0 = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(hEvent, 50), WAIT_TIMEOUT);
    DWORD elapsed = GetTickCount() - t0;
    EXPECT_GE(elapsed, 49u);
    EXPECT_LT(elapsed, 1000u);

    struct Arg {
        HANDLE h;
    } arg{hEvent};
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](LPVOID pv) -> DWORD {
            Sleep(20);
            SetEvent(static_cast<Arg*>(pv)->h);
            return 7;
        },
        &arg, 0, nullptr);
    ASSERT_NE(hThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(hEvent, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hThread, 5000), WAIT_OBJECT_0);
    DWORD dwExit = 0;
    EXPECT_TRUE(GetExitCodeThread(hThread, &dwExit));
    EXPECT_EQ(dwExit, 7u);
    CloseHandle(hThread);
    CloseHandle(hEvent);
}

TEST(Threads, BeginThreadExReportsTheRunningThreadsId) {
    static std::atomic<DWORD> s_seen{0};
    unsigned id = 0;
    uintptr_t h = _beginthreadex(
        nullptr, 0,
        [](void*) -> unsigned {
            s_seen = GetCurrentThreadId();
            return 0;
        },
        nullptr, 0, &id);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(h), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(s_seen.load(), id);
    EXPECT_NE(id, GetCurrentThreadId());
    CloseHandle(reinterpret_cast<HANDLE>(h));
}

TEST(Handles, ClosedAndForeignValuesFail) {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_LE(reinterpret_cast<uintptr_t>(h), 0xFFFFFFFFu);
    EXPECT_TRUE(CloseHandle(h));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // A new object reusing the slot does not answer to the stale value.
    HANDLE h2 = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CloseHandle(nullptr));
    CloseHandle(h2);
}

TEST(FaultSeam, ArmedCallFailsWithTheChosenErrorAfterSkips) {
    platform::InjectFault("CreateEventW", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    HANDLE h1 = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(h1, nullptr);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    HANDLE h3 = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(h3, nullptr);
    platform::ClearFaults();
    CloseHandle(h1);
    CloseHandle(h3);
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    static CRITICAL_SECTION s_cs;
    static long s_counter = 0;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&s_cs, 0x80000FA0));
    EnterCriticalSection(&s_cs);
    EnterCriticalSection(&s_cs);
    LeaveCriticalSection(&s_cs);
    LeaveCriticalSection(&s_cs);
    auto body = [](LPVOID) -> DWORD {
        for (int i = 0; i < 100000; ++i) {
            EnterCriticalSection(&s_cs);
            ++s_counter;
            LeaveCriticalSection(&s_cs);
        }
        return 0;
    };
    HANDLE t[2] = {CreateThread(nullptr, 0, body, nullptr, 0, nullptr),
                   CreateThread(nullptr, 0, body, nullptr, 0, nullptr)};
    EXPECT_EQ(WaitForMultipleObjects(2, t, TRUE, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(s_counter, 200000);
    CloseHandle(t[0]);
    CloseHandle(t[1]);
    DeleteCriticalSection(&s_cs);
}

}  // namespace
