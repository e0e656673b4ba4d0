// The receive thread: every byte reaches the host's thread or window as
// posted messages, in order, and every buffer goes back through FreeMem.
#include <atomic>
#include <thread>

#include "channel_fixture.h"

namespace cordlink_test {
namespace {

constexpr UINT kMsgData = WM_USER + 77;

std::string Pump(ICommChannel* pChannel, size_t want, DWORD dwTimeoutMs) {
    return PumpBlocks(pChannel, kMsgData, want, dwTimeoutMs);
}

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed + i / 977) & 0xFF);
    return s;
}

TEST_F(ChannelTest, ThreadReceiverGetsEveryByteInOrder) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // make this thread's queue
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId()));
    ASSERT_TRUE(OpenChannel());
    const std::string data = Pattern(1 << 20, 3);
    std::thread peer([&] {
        for (size_t off = 0; off < data.size(); off += 1000) {
            size_t n = std::min<size_t>(1000, data.size() - off);
            m_pty.Write(data.data() + off, static_cast<DWORD>(n));
        }
    });
    std::string got = Pump(m_pChannel, data.size(), 20000);
    peer.join();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    m_pChannel->Close();
}

LRESULT CALLBACK CollectProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == kMsgData) {
        auto* pState = reinterpret_cast<std::pair<ICommChannel*, std::string>*>(
            GetWindowLongPtrW(hWnd, GWLP_USERDATA));
        pState->second.append(reinterpret_cast<const char*>(wParam), static_cast<size_t>(lParam));
        pState->first->FreeMem(reinterpret_cast<void*>(wParam));
        return 0;
    }
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

TEST_F(ChannelTest, WindowReceiverNamedBeforeOpenGetsTheBytesAfterOpen) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = CollectProc;
    wc.lpszClassName = L"CordlinkTestCollector";
    RegisterClassW(&wc);
    HWND hWnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(hWnd, nullptr);
    std::pair<ICommChannel*, std::string> state{m_pChannel, {}};
    SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
    const DWORD dwWnd = static_cast<DWORD>(reinterpret_cast<uintptr_t>(hWnd));

    ASSERT_TRUE(m_pChannel->SetReceiver(5, FALSE, dwWnd));
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, FALSE, dwWnd));
    UINT uId = 0;
    BOOL bThread = TRUE;
    DWORD dwReceiver = 0;
    m_pChannel->GetReceiver(&uId, &bThread, &dwReceiver);
    EXPECT_EQ(uId, kMsgData);
    EXPECT_FALSE(bThread);
    EXPECT_EQ(dwReceiver, dwWnd);

    ASSERT_TRUE(OpenChannel());
    PeerSend("hello, window");
    DWORD dwStart = GetTickCount();
    MSG msg;
    while (state.second.size() < 13 && GetTickCount() - dwStart < 5000) {
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        } else {
            Sleep(1);
        }
    }
    EXPECT_EQ(state.second, "hello, window");
    m_pChannel->Close();
    DestroyWindow(hWnd);
}

TEST_F(ChannelTest, SetReceiverStartsAndStopsTheThreadOnAnOpenChannel) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ASSERT_TRUE(OpenChannel());
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId()));
    PeerSend("pushed");
    EXPECT_EQ(Pump(m_pChannel, 6, 5000), "pushed");

    DWORD t0 = GetTickCount();
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, 0));
    EXPECT_LT(GetTickCount() - t0, 1000u);
    // Without a receiver the host pulls with Read again.
    PeerSend("pulled");
    char buf[16];
    DWORD n = 0;
    while (n < 6) {
        DWORD got = m_pChannel->Read(buf + n, sizeof(buf) - n, 2000, 0);
        ASSERT_GT(got, 0u);
        n += got;
    }
    EXPECT_EQ(std::string(buf, n), "pulled");
}

TEST_F(ChannelTest, AReceiverThreadThatDoesNotExistCostsThreeTriesAndTheBuffer) {
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, 0x7FFFFFF0));
    ASSERT_TRUE(OpenChannel());
    PeerSend("lost");
    WaitForLine("Try PostThreadMessage() 3 times failed");
    m_pChannel->Close();
    EXPECT_EQ(CountLines("Try PostThreadMessage() 3 times failed"), 1);
    EXPECT_EQ(CountLines("Call PostThreadMessage() fail.[ErrorCode:0x000005A4]"), 3);
}

TEST_F(ChannelTest, AHostThatStopsPumpingDuringAFloodHoldsAtMostTheQueueLimit) {
    // The host's queue takes 10,000 messages, as on Windows. A busy host
    // already has work queued; the peer floods the port meanwhile.
    constexpr int kQueueLimit = 10000;
    constexpr int kOwnWork = kQueueLimit - 10;
    constexpr UINT kMsgWork = WM_USER + 500;
    const DWORD self = GetCurrentThreadId();
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    // Buffers from the heap, so the leak checker sees one that is not freed.
    WriteChannelIni("[Settings]\nUseMempool=0\n");
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, self));
    ASSERT_TRUE(OpenChannel());
    for (int i = 0; i < kOwnWork; ++i)
        ASSERT_TRUE(PostThreadMessageW(self, kMsgWork, 0, 0));

    std::atomic<bool> bStop{false};
    std::thread flood([&] {
        const std::string chunk(512, 'x');
        while (!bStop)
            m_pty.Write(chunk.data(), static_cast<DWORD>(chunk.size()), 100);
    });
    // Once the queue is full every block costs three tries and goes back to
    // the allocator.
    WaitForLine("Try PostThreadMessage() 3 times failed", 10000);
    bStop = true;
    flood.join();
    EXPECT_GE(CountLines("Try PostThreadMessage() 3 times failed"), 1);
    EXPECT_GE(CountLines("Call PostThreadMessage() fail.[ErrorCode:0x00000718]"), 3);

    // Nothing beyond the limit waits: the queue refuses the host's own post.
    EXPECT_FALSE(PostThreadMessageW(self, kMsgWork, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));

    // The host pumps again: it finds its own work and the blocks that fitted
    // (more may slip in as it makes room), then fresh bytes arrive as before
    // (flood bytes still in the driver may come first).
    int nWork = 0;
    int nData = 0;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == kMsgWork) {
            ++nWork;
        } else if (msg.message == kMsgData) {
            ++nData;
            m_pChannel->FreeMem(reinterpret_cast<void*>(msg.wParam));
        }
    }
    EXPECT_EQ(nWork, kOwnWork);
    EXPECT_GE(nData, kQueueLimit - kOwnWork);
    PeerSend("fresh");
    std::string got;
    const DWORD dwStart = GetTickCount();
    while (got.size() < 5 || got.compare(got.size() - 5, 5, "fresh") != 0) {
        ASSERT_LT(GetTickCount() - dwStart, 5000u) << "no fresh data after the flood";
        got += Pump(m_pChannel, 1, 100);
    }
    EXPECT_EQ(got.find_first_not_of('x'), got.size() - 5);
}

TEST_F(ChannelTest, CloseAndReleaseWithARunningThreadReturnPromptly) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId()));
    ASSERT_TRUE(OpenChannel());
    DWORD t0 = GetTickCount();
    m_pChannel->Close();
    EXPECT_LT(GetTickCount() - t0, 1000u);
    // The receiver survives Close: the next Open starts the thread again.
    ASSERT_TRUE(OpenChannel());
    PeerSend("again");
    EXPECT_EQ(Pump(m_pChannel, 5, 5000), "again");
    t0 = GetTickCount();
    ReleaseChannel(m_pChannel);
    m_pChannel = nullptr;
    EXPECT_LT(GetTickCount() - t0, 1000u);
}

TEST_F(ChannelTest, ASlowHostLosesNothing) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId()));
    ASSERT_TRUE(OpenChannel());
    const std::string data = Pattern(300000, 9);
    for (size_t off = 0; off < data.size(); off += 3000) {
        m_pty.Write(data.data() + off, 3000);
    }
    Sleep(1500);  // the host does not pump for a while
    std::string got = Pump(m_pChannel, data.size(), 10000);
    EXPECT_TRUE(got == data);
}

TEST_F(ChannelTest, BuffersHeldAcrossAPoolSettingChangeGoBackToTheirOwnAllocator) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId()));
    ASSERT_TRUE(OpenChannel());  // pool on (default)
    PeerSend("from the pool");
    std::vector<MSG> held;
    DWORD dwStart = GetTickCount();
    size_t bytes = 0;
    while (bytes < 13 && GetTickCount() - dwStart < 5000) {
        if (PeekMessageW(&msg, nullptr, kMsgData, kMsgData, PM_REMOVE)) {
            held.push_back(msg);
            bytes += static_cast<size_t>(msg.lParam);
        } else {
            Sleep(1);
        }
    }
    m_pChannel->Close();
    WriteChannelIni("[Settings]\nUseMempool=0\n");
    ASSERT_TRUE(OpenChannel());
    PeerSend("from the heap");
    EXPECT_EQ(Pump(m_pChannel, 13, 5000), "from the heap");
    // The pool's buffers come back after the switch; under the sanitizers a
    // wrong allocator would be reported.
    for (const MSG& m : held)
        m_pChannel->FreeMem(reinterpret_cast<void*>(m.wParam));
}

TEST_F(ChannelTest, AFailedThreadStartFailsOpenAndClosesThePort) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId()));
    platform::InjectFault("_beginthreadex", ERROR_NOT_ENOUGH_MEMORY, 0, 1);
    EXPECT_FALSE(OpenChannel());
    EXPECT_EQ(CountLines("Call _beginthreadex()  fail. [ErrorCode:0x00000008]"), 1);
    ASSERT_TRUE(OpenChannel());
    PeerSend("works");
    EXPECT_EQ(Pump(m_pChannel, 5, 5000), "works");
}

}  // namespace
}  // namespace cordlink_test

namespace cordlink_test {
namespace {

TEST_F(ChannelTest, CloseWaitsForTheThreadEvenWhenWaitsFail) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId()));
    ASSERT_TRUE(OpenChannel());
    // Failed waits must not be taken for an ended thread: the events and the
    // object stay alive until it really ended (the sanitizers would see it).
    platform::InjectFault("WaitForMultipleObjects", ERROR_INVALID_HANDLE, 0, 3);
    m_pChannel->Close();
    platform::ClearFaults();
    ASSERT_TRUE(OpenChannel());
    PeerSend("still");
    EXPECT_EQ(Pump(m_pChannel, 5, 5000), "still");
}

}  // namespace
}  // namespace cordlink_test
