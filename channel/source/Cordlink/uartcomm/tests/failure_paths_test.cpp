// Failure paths of the channel, reached for real through the platform's
// fault seam: each logs its line, sets the code it should, and leaves the
// channel usable.
#include <thread>

#include "channel_fixture.h"
#include "kernel_object.h"

namespace cordlink_test {
namespace {

constexpr UINT kMsgData = WM_USER + 78;

TEST_F(ChannelTest, OpenFailuresBeforeThePortSetTheirCodes) {
    // The log file cannot be opened: its folder does not exist.
    ICommChannel* pChannel = nullptr;
    ASSERT_TRUE(CreateChannel(&pChannel, CHANNEL_TYPE_UART));
    std::wstring badLog = Wide((m_dir / "missing" / "x.log").string());
    ASSERT_TRUE(pChannel->InitLog(badLog.c_str(), 0x7002, 0, nullptr));
    CHANNEL_ATTRIBUTE attr = {CHANNEL_TYPE_UART, m_dwPort, 115200};
    EXPECT_FALSE(pChannel->Open(&attr));
    DWORD dwCode = 0;
    pChannel->GetProperty(0, CH_PROP_ERROR_CODE, &dwCode);
    EXPECT_EQ(dwCode, CH_E_LOG_INIT);
    ReleaseChannel(pChannel);

    // Channel.ini's path cannot be formed: the module name is unavailable
    // (the next call, for the log's opening line, succeeds again).
    platform::InjectFault("GetModuleFileNameW", ERROR_INSUFFICIENT_BUFFER, 0, 1);
    EXPECT_FALSE(OpenChannel());
    EXPECT_EQ(ErrorCode(), CH_E_LOAD_CONFIG);
    EXPECT_EQ(CountLines("Call LoadConfig() fail."), 1);

    platform::InjectFault("CreateEventW", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
    EXPECT_FALSE(OpenChannel());
    EXPECT_EQ(ErrorCode(), 0u);
    EXPECT_EQ(CountLines("Call CreateEvent()  fail. [ErrorCode:0x00000008]"), 1);

    ASSERT_TRUE(OpenChannel());
}

TEST_F(ChannelTest, FailedOpensCloseEveryHandleTheyMade) {
    // A host retries an unopenable port (at every scan) or releases the
    // channel after a failed Open: neither may cost a handle per try.
    const size_t nBase = platform::OpenHandleCount();
    CHANNEL_ATTRIBUTE missing = {CHANNEL_TYPE_UART, m_dwPort + 40, 115200};
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(m_pChannel->Open(&missing));
        EXPECT_EQ(platform::OpenHandleCount(), nBase) << "missing port, try " << i;
    }

    // Each step of Open fails in turn; the receiver makes Open start the
    // thread. The log file is the first CreateFileW, the port the second;
    // the first SetCommMask is Open's own, the second the thread start's.
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId()));
    struct Step {
        const char* lpszCall;
        int nSkip;
    };
    const Step steps[] = {
        {"CreateFileW", 0},  {"GetModuleFileNameW", 0}, {"CreateEventW", 0},    {"CreateEventW", 1},
        {"CreateEventW", 2}, {"CreateFileW", 1},        {"PurgeComm", 0},       {"GetCommState", 0},
        {"SetCommState", 0}, {"SetupComm", 0},          {"SetCommTimeouts", 0}, {"SetCommMask", 0},
        {"SetCommMask", 1},  {"_beginthreadex", 0},
    };
    for (const Step& step : steps) {
        platform::InjectFault(step.lpszCall, ERROR_GEN_FAILURE, step.nSkip, 1);
        EXPECT_FALSE(OpenChannel()) << step.lpszCall << " after " << step.nSkip;
        platform::ClearFaults();
        EXPECT_EQ(platform::OpenHandleCount(), nBase) << step.lpszCall << " after " << step.nSkip;
    }
    ASSERT_TRUE(OpenChannel());
    m_pChannel->Close();
    EXPECT_EQ(platform::OpenHandleCount(), nBase);

    // A channel released right after a failed Open.
    ICommChannel* pChannel = nullptr;
    ASSERT_TRUE(CreateChannel(&pChannel, CHANNEL_TYPE_UART));
    ASSERT_TRUE(
        pChannel->InitLog(Wide((m_dir / "other.log").string()).c_str(), 0x7002, 0, nullptr));
    platform::InjectFault("PurgeComm", ERROR_GEN_FAILURE, 0, 1);
    CHANNEL_ATTRIBUTE attr = {CHANNEL_TYPE_UART, m_dwPort, 115200};
    EXPECT_FALSE(pChannel->Open(&attr));
    ReleaseChannel(pChannel);
    EXPECT_EQ(platform::OpenHandleCount(), nBase);
}

TEST_F(ChannelTest, TransferFailuresAreLoggedAndCounted) {
    WriteChannelIni("[Settings]\nDebugDetailMode=1\n");
    ASSERT_TRUE(OpenChannel());
    char buf[16];

    platform::InjectFault("ClearCommError", ERROR_GEN_FAILURE, 0, 1);
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 10, 0), 0u);
    EXPECT_EQ(ErrorCode(), CH_E_COMM);
    EXPECT_EQ(CountLines("Call ClearCommError() fail, [ErrorCode: 0x0000001F]."), 1);

    PeerSend("abc");
    Sleep(20);
    platform::InjectFault("ReadFile", ERROR_GEN_FAILURE, 0, 1);
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 100, 0), 0u);
    EXPECT_EQ(CountLines("Call ReadFile() fail, [ErrorCode: 0x0000001F]."), 1);
    // The bytes are still there for the next read.
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 100, 0), 3u);

    // A failed error-state read does not stop a write.
    platform::InjectFault("ClearCommError", ERROR_GEN_FAILURE, 0, 1);
    EXPECT_EQ(m_pChannel->Write("xyz", 3, 0), 3u);
    EXPECT_EQ(PeerReceive(3), "xyz");
    EXPECT_EQ(CountLines("Write call ClearCommError() fail, [ErrorCode: 0x0000001F]."), 1);

    // Detail mode adds the quiet lines.
    EXPECT_EQ(m_pChannel->Write(buf, 0, 0), 0u);
    EXPECT_EQ(CountLines("Write() parameters are invalidate."), 1);
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 10, 0), 0u);
    EXPECT_EQ(CountLines("Read Call WaitCommEvent()"), 1);
}

TEST_F(ChannelTest, ClearRetriesOnceAfterAnAbortAndReportsOtherFailures) {
    ASSERT_TRUE(OpenChannel());
    platform::InjectFault("PurgeComm", ERROR_OPERATION_ABORTED, 0, 1);
    EXPECT_TRUE(m_pChannel->Clear());
    platform::InjectFault("PurgeComm", ERROR_ACCESS_DENIED, 0, 1);
    EXPECT_FALSE(m_pChannel->Clear());
    EXPECT_EQ(CountLines("Call Clear() fail, [ErrorCode:0x00000005]."), 1);
}

TEST_F(ChannelTest, ADestroyedReceiverWindowCostsThreeTriesAndTheBuffer) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"CordlinkTestGone";
    RegisterClassW(&wc);
    HWND hWnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(hWnd, nullptr);
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, FALSE,
                                        static_cast<DWORD>(reinterpret_cast<uintptr_t>(hWnd))));
    DestroyWindow(hWnd);
    ASSERT_TRUE(OpenChannel());
    PeerSend("nobody");
    WaitForLine("Try PostMessage() 3 times failed.");
    m_pChannel->Close();
    EXPECT_EQ(CountLines("Try PostMessage() 3 times failed."), 1);
    EXPECT_EQ(CountLines("Call PostMessage() fail, [ErrorCode:0x00000578]."), 3);
}

TEST_F(ChannelTest, AFailedTransferInTheThreadStillDeliversItsBuffer) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId()));
    ASSERT_TRUE(OpenChannel());
    platform::InjectFault("ReadFile", ERROR_GEN_FAILURE, 0, 1);
    PeerSend("abc");
    // First a message with no bytes (its buffer must still come back), then
    // the bytes themselves on the next pass.
    int nEmpty = 0;
    std::string got = PumpBlocks(m_pChannel, kMsgData, 3, 5000, &nEmpty);
    EXPECT_EQ(got, "abc");
    EXPECT_EQ(nEmpty, 1);
    m_pChannel->Close();
    EXPECT_EQ(CountLines("AutoRead call ReadFile() fail, [ErrorCode: 0x0000001F]."), 1);
}

TEST_F(ChannelTest, AFailedCommEventWaitEndsTheThreadAndCloseIsStillPrompt) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    platform::InjectFault("WaitCommEvent", ERROR_GEN_FAILURE, 0, 1);
    ASSERT_TRUE(m_pChannel->SetReceiver(kMsgData, TRUE, GetCurrentThreadId()));
    ASSERT_TRUE(OpenChannel());
    const std::string line =
        "AutoRead Call WaitCommEvent() fail, [ErrorCode:0x0000001F][EventMask:0x00000000].";
    WaitForLine(line);
    EXPECT_EQ(CountLines(line), 1);
    DWORD t0 = GetTickCount();
    m_pChannel->Close();
    EXPECT_LT(GetTickCount() - t0, 1000u);
    // Naming the receiver anew after the stop starts a fresh thread.
    ASSERT_TRUE(OpenChannel());
    PeerSend("back");
    std::string got = PumpBlocks(m_pChannel, kMsgData, 4, 5000);
    EXPECT_EQ(got, "back");
}

}  // namespace
}  // namespace cordlink_test
