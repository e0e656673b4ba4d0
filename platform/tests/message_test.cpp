// Thread message queues, message-only windows and the queue's pollable fd.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "message_queue.h"
#include "platform/ext/message_queue_fd.h"
#include "platform/win_error.h"
#include "platform/win_message.h"
#include "platform/win_sync.h"
#include "platform_testing/fault_injection.h"

namespace {

// A step counter that threads wait on, with a deadline.
class Steps {
public:
    void Reach(int n) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_nStep = n;
        m_cv.notify_all();
    }
    bool WaitFor(int n) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return m_nStep >= n; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cv;
    int m_nStep = 0;
};

bool Readable(int fd, int nTimeoutMs = 0) {
    pollfd pfd{fd, POLLIN, 0};
    return poll(&pfd, 1, nTimeoutMs) == 1 && (pfd.revents & POLLIN) != 0;
}

struct ProcLog {
    std::vector<MSG> calls;
};

LRESULT CALLBACK RecordingProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    auto* pLog = reinterpret_cast<ProcLog*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (pLog != nullptr)
        pLog->calls.push_back(MSG{hWnd, uMsg, wParam, lParam, 0, {0, 0}});
    return uMsg == WM_USER + 7 ? 42 : 1;
}

LRESULT CALLBACK OtherProc(HWND, UINT, WPARAM, LPARAM) {
    return 99;
}

ATOM Register(LPCWSTR lpszName, WNDPROC pfnProc = RecordingProc) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = pfnProc;
    wc.lpszClassName = lpszName;
    return RegisterClassW(&wc);
}

HWND Create(LPCWSTR lpszClass) {
    return CreateWindowExW(0, lpszClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                           nullptr);
}

// Tests that use the main thread's queue start and end with it empty.
class MainQueue : public ::testing::Test {
protected:
    void SetUp() override { Drain(); }
    void TearDown() override {
        Drain();
        platform::ClearFaults();
    }
    static void Drain() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
};

TEST(ThreadQueue, ExistsFromTheFirstMessageCallUntilTheThreadEnds) {
    Steps steps;
    std::atomic<DWORD> tid{0};
    MSG got{};
    std::thread consumer([&] {
        tid = GetCurrentThreadId();
        steps.Reach(1);
        steps.WaitFor(2);
        MSG msg;
        EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
        steps.Reach(3);
        steps.WaitFor(4);
        EXPECT_EQ(GetMessageW(&got, nullptr, 0, 0), TRUE);
        // The second message is still queued when the thread ends.
    });
    ASSERT_TRUE(steps.WaitFor(1));
    EXPECT_FALSE(PostThreadMessageW(tid, WM_USER, 1, 2));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
    steps.Reach(2);
    ASSERT_TRUE(steps.WaitFor(3));
    EXPECT_TRUE(PostThreadMessageW(tid, WM_USER, 1, 2));
    EXPECT_TRUE(PostThreadMessageW(tid, WM_USER + 1, 3, 4));
    steps.Reach(4);
    consumer.join();
    EXPECT_EQ(got.hwnd, nullptr);
    EXPECT_EQ(got.message, WM_USER);
    EXPECT_EQ(got.wParam, 1u);
    EXPECT_EQ(got.lParam, 2);
    EXPECT_FALSE(PostThreadMessageW(tid, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST(ThreadQueue, KeepsEachPostersOrderAndLosesNothing) {
    constexpr int kPerPoster = 50000;
    Steps steps;
    std::atomic<DWORD> tid{0};
    int received[2] = {0, 0};
    bool bInOrder = true;
    std::thread consumer([&] {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        tid = GetCurrentThreadId();
        steps.Reach(1);
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            int k = static_cast<int>(msg.message - WM_USER);
            if (k < 0 || k > 1 || msg.wParam != static_cast<WPARAM>(received[k]))
                bInOrder = false;
            if (k >= 0 && k <= 1)
                ++received[k];
        }
    });
    ASSERT_TRUE(steps.WaitFor(1));
    std::atomic<int> nFailed{0};
    auto post = [&](UINT uMsg) {
        for (int i = 0; i < kPerPoster; ++i) {
            // Two posters outrun one consumer: a full queue refuses the post
            // until the consumer has made room.
            while (!PostThreadMessageW(tid, uMsg, static_cast<WPARAM>(i), 0)) {
                if (GetLastError() != ERROR_NOT_ENOUGH_QUOTA) {
                    ++nFailed;
                    break;
                }
                std::this_thread::yield();
            }
        }
    };
    std::thread first(post, WM_USER);
    std::thread second(post, WM_USER + 1);
    first.join();
    second.join();
    EXPECT_TRUE(PostThreadMessageW(tid, WM_QUIT, 0, 0));
    consumer.join();
    EXPECT_EQ(nFailed.load(), 0);
    EXPECT_TRUE(bInOrder);
    EXPECT_EQ(received[0], kPerPoster);
    EXPECT_EQ(received[1], kPerPoster);
}

TEST(ThreadQueue, GetMessageWakesOnAPostFromAnotherThread) {
    Steps steps;
    std::atomic<DWORD> tid{0};
    std::atomic<bool> bDone{false};
    std::thread consumer([&] {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        tid = GetCurrentThreadId();
        steps.Reach(1);
        EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
        EXPECT_EQ(msg.message, WM_USER + 9);
        bDone = true;
        steps.Reach(2);
    });
    ASSERT_TRUE(steps.WaitFor(1));
    // Give the consumer the chance to block in GetMessageW before the post.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(bDone.load());
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(PostThreadMessageW(tid, WM_USER + 9, 0, 0));
    EXPECT_TRUE(steps.WaitFor(2));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    consumer.join();
}

TEST_F(MainQueue, FiltersByWindowAndRangeAndDeliversQuitLast) {
    ASSERT_NE(Register(L"FilterClass"), 0);
    HWND hWnd = Create(L"FilterClass");
    ASSERT_NE(hWnd, nullptr);
    const DWORD self = GetCurrentThreadId();
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 1, 1, 0));
    ASSERT_TRUE(PostMessageW(hWnd, WM_USER + 3, 3, 0));
    ASSERT_TRUE(PostMessageW(nullptr, WM_USER + 5, 5, 0));  // a thread message to self
    PostQuitMessage(7);

    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_USER + 2, WM_USER + 4, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER + 3);
    EXPECT_EQ(msg.hwnd, hWnd);
    ASSERT_TRUE(PeekMessageW(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER + 1);
    ASSERT_TRUE(PeekMessageW(&msg, hWnd, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 3);
    // Nothing left for the window but the quit request, which passes any filter.
    ASSERT_TRUE(PeekMessageW(&msg, hWnd, WM_USER, WM_USER + 10, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_QUIT);
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.wParam, 1u);
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.wParam, 5u);
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 7u);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    // A posted WM_QUIT passes any message range too.
    ASSERT_TRUE(PostThreadMessageW(self, WM_QUIT, 3, 0));
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 3u);

    // A filter naming a window of another thread, or none, is an error rather
    // than a wait that never ends.
    Steps steps;
    HWND hForeign = nullptr;
    std::thread owner([&] {
        hForeign = Create(L"FilterClass");
        steps.Reach(1);
        steps.WaitFor(2);
    });
    ASSERT_TRUE(steps.WaitFor(1));
    EXPECT_EQ(GetMessageW(&msg, hForeign, 0, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PeekMessageW(&msg, hForeign, 0, 0, PM_REMOVE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    steps.Reach(2);
    owner.join();
    EXPECT_EQ(GetMessageW(&msg, reinterpret_cast<HWND>(0x12346), 0, 0), -1);
    EXPECT_TRUE(DestroyWindow(hWnd));
    EXPECT_EQ(GetMessageW(&msg, hWnd, 0, 0), -1);
    EXPECT_TRUE(UnregisterClassW(L"FilterClass", nullptr));
}

TEST_F(MainQueue, DispatchReachesTheProcedureWithItsUserData) {
    ASSERT_NE(Register(L"DispatchClass"), 0);
    HWND hWnd = Create(L"DispatchClass");
    ASSERT_NE(hWnd, nullptr);
    EXPECT_LE(reinterpret_cast<uintptr_t>(hWnd), 0xFFFFFFFFu);
    ProcLog log;
    EXPECT_EQ(SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&log)), 0);
    EXPECT_EQ(GetWindowLongPtrW(hWnd, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&log));
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(hWnd, &pid), GetCurrentThreadId());
    EXPECT_EQ(pid, GetCurrentProcessId());

    std::thread([&] {
        EXPECT_TRUE(PostMessageW(hWnd, WM_USER + 1, 10, 20));
        EXPECT_EQ(SendMessageW(hWnd, WM_USER + 7, 0, 0), 0);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_FALSE(DestroyWindow(hWnd));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }).join();
    MSG msg;
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_FALSE(TranslateMessage(&msg));
    EXPECT_EQ(DispatchMessageW(&msg), 1);
    EXPECT_EQ(SendMessageW(hWnd, WM_USER + 7, 1, 2), 42);
    ASSERT_EQ(log.calls.size(), 2u);
    EXPECT_EQ(log.calls[0].hwnd, hWnd);
    EXPECT_EQ(log.calls[0].message, WM_USER + 1);
    EXPECT_EQ(log.calls[0].wParam, 10u);
    EXPECT_EQ(log.calls[0].lParam, 20);
    EXPECT_EQ(log.calls[1].message, WM_USER + 7);

    // A replaced procedure takes over dispatch; thread messages dispatch nowhere.
    EXPECT_EQ(SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(OtherProc)),
              reinterpret_cast<LONG_PTR>(RecordingProc));
    EXPECT_EQ(SendMessageW(hWnd, WM_USER, 0, 0), 99);
    SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingProc));
    MSG thread{nullptr, WM_USER, 0, 0, 0, {0, 0}};
    EXPECT_EQ(DispatchMessageW(&thread), 0);

    EXPECT_TRUE(DestroyWindow(hWnd));
    ASSERT_EQ(log.calls.size(), 3u);
    EXPECT_EQ(log.calls[2].message, WM_DESTROY);
    EXPECT_FALSE(IsWindow(hWnd));
    EXPECT_TRUE(UnregisterClassW(L"DispatchClass", nullptr));
}

TEST_F(MainQueue, DestroyedWindowLosesItsQueuedMessagesAndRefusesPosts) {
    ASSERT_NE(Register(L"DestroyClass"), 0);
    HWND hWnd = Create(L"DestroyClass");
    ASSERT_NE(hWnd, nullptr);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(PostMessageW(hWnd, WM_USER, i, 0));
    ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_USER + 2, 0, 0));
    ASSERT_TRUE(DestroyWindow(hWnd));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 2);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(PostMessageW(hWnd, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(DestroyWindow(hWnd));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    MSG stale{hWnd, WM_USER, 0, 0, 0, {0, 0}};
    EXPECT_EQ(DispatchMessageW(&stale), 0);
    HWND hNext = Create(L"DestroyClass");
    EXPECT_NE(hNext, hWnd);
    EXPECT_TRUE(DestroyWindow(hNext));
    EXPECT_TRUE(UnregisterClassW(L"DestroyClass", nullptr));
}

TEST_F(MainQueue, DestroyingWhileAnotherThreadPostsLeavesNothingBehind) {
    ASSERT_NE(Register(L"RaceClass"), 0);
    HWND hWnd = Create(L"RaceClass");
    ASSERT_NE(hWnd, nullptr);
    std::atomic<DWORD> dwLastError{0};
    std::thread poster([&] {
        // A full queue refuses a post until the owner takes a message.
        while (PostMessageW(hWnd, WM_USER, 0, 0) || GetLastError() == ERROR_NOT_ENOUGH_QUOTA) {
        }
        dwLastError = GetLastError();
    });
    MSG msg;
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(GetMessageW(&msg, hWnd, 0, 0), TRUE);
    ASSERT_TRUE(DestroyWindow(hWnd));
    poster.join();
    EXPECT_EQ(dwLastError.load(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(UnregisterClassW(L"RaceClass", nullptr));
}

TEST(Windows, EndWithTheirThread) {
    ASSERT_NE(Register(L"ThreadEndClass"), 0);
    HWND hWnd = nullptr;
    std::thread([&] {
        hWnd = Create(L"ThreadEndClass");
        PostMessageW(hWnd, WM_USER, 0, 0);
    }).join();
    ASSERT_NE(hWnd, nullptr);
    EXPECT_FALSE(IsWindow(hWnd));
    EXPECT_FALSE(PostMessageW(hWnd, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_TRUE(UnregisterClassW(L"ThreadEndClass", nullptr));
}

TEST_F(MainQueue, ClassesAreProcessWideByNameWithoutCase) {
    ATOM atom = Register(L"CaseClass");
    ASSERT_NE(atom, 0);
    EXPECT_EQ(Register(L"CASECLASS"), 0);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    EXPECT_EQ(Create(L"NoSuchClass"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);

    HWND hWnd = Create(reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(atom)));
    ASSERT_NE(hWnd, nullptr);
    EXPECT_FALSE(UnregisterClassW(L"caseclass", nullptr));
    EXPECT_EQ(GetLastError(), 1412u);  // the class still has windows
    EXPECT_TRUE(DestroyWindow(hWnd));
    EXPECT_TRUE(UnregisterClassW(L"caseclass", nullptr));
    EXPECT_FALSE(UnregisterClassW(L"CaseClass", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
    EXPECT_EQ(Create(L"CaseClass"), nullptr);
    EXPECT_EQ(Register(L"CaseClass"), atom);
    EXPECT_TRUE(UnregisterClassW(L"CaseClass", nullptr));
}

TEST_F(MainQueue, FdIsReadableExactlyWhileMessagesWait) {
    int fd = platform::GetMessageQueueFd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(platform::GetMessageQueueFd(), fd);
    EXPECT_FALSE(Readable(fd));
    const DWORD self = GetCurrentThreadId();
    std::thread([&] { EXPECT_TRUE(PostThreadMessageW(self, WM_USER, 0, 0)); }).join();
    EXPECT_TRUE(Readable(fd, 5000));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_TRUE(Readable(fd));
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 1, 0, 0));
    ASSERT_EQ(GetMessageW(&msg, nullptr, WM_USER + 1, WM_USER + 1), TRUE);
    EXPECT_TRUE(Readable(fd));  // WM_USER still waits
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(Readable(fd));
    PostQuitMessage(0);
    EXPECT_TRUE(Readable(fd));
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 0);
    EXPECT_FALSE(Readable(fd));

    // An fd made while messages already wait is readable at once.
    std::thread([] {
        PostQuitMessage(1);
        int fdOther = platform::GetMessageQueueFd();
        ASSERT_GE(fdOther, 0);
        EXPECT_TRUE(Readable(fdOther));
    }).join();
}

TEST_F(MainQueue, HoldsTenThousandMessagesAsWindowsDoesThenRefusesPosts) {
    // A thread that does not pump while others post: the queue stops at the
    // Windows limit for thread and window posts alike, and taking one
    // message makes room for one more.
    const DWORD self = GetCurrentThreadId();
    ASSERT_NE(Register(L"QuotaClass"), 0);
    HWND hWnd = Create(L"QuotaClass");
    ASSERT_NE(hWnd, nullptr);
    std::thread poster([&] {
        for (int i = 0; i < 5000; ++i) {
            ASSERT_TRUE(PostThreadMessageW(self, WM_USER, i, 0));
            ASSERT_TRUE(PostMessageW(hWnd, WM_USER + 1, i, 0));
        }
        EXPECT_FALSE(PostThreadMessageW(self, WM_USER, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
        EXPECT_FALSE(PostMessageW(hWnd, WM_USER + 1, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    });
    poster.join();
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER));
    EXPECT_TRUE(PostThreadMessageW(self, WM_USER + 2, 0, 0));
    EXPECT_FALSE(PostThreadMessageW(self, WM_USER + 2, 0, 0));
    int nQueued = 0;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        ++nQueued;
    EXPECT_EQ(nQueued, 10000);
    EXPECT_TRUE(DestroyWindow(hWnd));
    EXPECT_TRUE(UnregisterClassW(L"QuotaClass", nullptr));
}

TEST_F(MainQueue, FullQueueAndInjectedFaultsFailWithTheirErrors) {
    const DWORD self = GetCurrentThreadId();
    size_t nOld = platform::SetMessageQueueLimit(3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(PostThreadMessageW(self, WM_USER, i, 0));
    EXPECT_FALSE(PostThreadMessageW(self, WM_USER, 3, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(PostThreadMessageW(self, WM_USER, 4, 0));
    platform::SetMessageQueueLimit(nOld);
    Drain();

    platform::InjectFault("PostThreadMessageW", ERROR_NOT_ENOUGH_MEMORY, 0, 1);
    EXPECT_FALSE(PostThreadMessageW(self, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(PostThreadMessageW(self, WM_USER, 0, 0));
    platform::InjectFault("GetMessageW", ERROR_INVALID_PARAMETER, 0, 1);
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
