// The channel's open, read, write, clear, property and log behaviour on a
// real pseudo-terminal.
#include <thread>

#include "channel_fixture.h"

namespace cordlink_test {
namespace {

TEST_F(ChannelTest, OpenRejectsBadAttributesWithInvalidParam) {
    // A zero port or baud rate is a precondition: debug builds assert it with
    // its expression, release builds refuse it with the same code as a wrong
    // type.
#ifdef NDEBUG
    CHANNEL_ATTRIBUTE bad[] = {{1, m_dwPort, 115200}, {0, 0, 115200}, {0, m_dwPort, 0}};
#else
    CHANNEL_ATTRIBUTE bad[] = {{1, m_dwPort, 115200}};
    const CHANNEL_ATTRIBUTE noPort = {0, 0, 115200}, noBaud = {0, m_dwPort, 0};
    EXPECT_DEATH(m_pChannel->Open(&noPort), "dwPort > 0");
    EXPECT_DEATH(m_pChannel->Open(&noBaud), "dwBaud > 0");
#endif
    for (const CHANNEL_ATTRIBUTE& attr : bad) {
        EXPECT_FALSE(m_pChannel->Open(&attr));
        EXPECT_EQ(ErrorCode(), CH_E_INVALID_PARAM);
    }
    EXPECT_FALSE(m_pChannel->Open(nullptr));
    EXPECT_EQ(ErrorCode(), CH_E_INVALID_PARAM);
    // Nothing was opened: the peer's bytes are not consumed and Read refuses.
    char buf[4];
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 0, 0), 0u);
    EXPECT_EQ(ErrorCode(), CH_E_INVALID_PARAM);
}

TEST_F(ChannelTest, OpenOfAMissingPortLogsTheDeviceErrorAndKeepsCodeZero) {
    CHANNEL_ATTRIBUTE attr = {CHANNEL_TYPE_UART, m_dwPort + 40, 115200};
    EXPECT_FALSE(m_pChannel->Open(&attr));
    EXPECT_EQ(ErrorCode(), 0u);
    std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("===============================", 0), 0u);
    EXPECT_EQ(lines[1], "Open uart [port: " + std::to_string(m_dwPort + 40) + ", baud: 115200].");
    EXPECT_EQ(lines[2], "Call CreateFile() fail, [ErrorCode:0x00000002].");
}

TEST_F(ChannelTest, SecondOpenIsRefusedAndLeavesThePortWorking) {
    ASSERT_TRUE(OpenChannel());
    EXPECT_FALSE(OpenChannel(9600));
    DWORD dwBaud = 0;
    EXPECT_TRUE(m_pChannel->GetProperty(0, CH_PROP_BAUDRATE, &dwBaud));
    EXPECT_EQ(dwBaud, 115200u);
    EXPECT_EQ(m_pChannel->Write("ping", 4, 0), 4u);
    EXPECT_EQ(PeerReceive(4), "ping");
}

TEST_F(ChannelTest, ReadReturnsWhatIsWaitingAtOnceAndTimesOutOtherwise) {
    ASSERT_TRUE(OpenChannel());
    EXPECT_EQ(ErrorCode(), 0u);
    PeerSend("0123456789");
    // Give the bytes time to cross the pseudo-terminal.
    char buf[100] = {};
    DWORD dwRead = m_pChannel->Read(buf, sizeof(buf), 1000, 0);
    while (dwRead < 10) {
        DWORD more = m_pChannel->Read(buf + dwRead, sizeof(buf) - dwRead, 1000, 0);
        ASSERT_GT(more, 0u);
        dwRead += more;
    }
    EXPECT_EQ(std::string(buf, dwRead), "0123456789");

    DWORD t0 = GetTickCount();
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 50, 0), 0u);
    DWORD elapsed = GetTickCount() - t0;
    EXPECT_GE(elapsed, 45u);
    EXPECT_LT(elapsed, 2000u);
    EXPECT_EQ(ErrorCode(), CH_E_TIMEOUT);
    EXPECT_EQ(CountLines("Read Timeout: 50 (ms)"), 1);

    // A byte that arrives during the wait ends it early.
    std::thread peer([this] {
        Sleep(30);
        m_pty.Write("x", 1);
    });
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 5000, 0), 1u);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(ErrorCode(), 0u);
    peer.join();
}

TEST_F(ChannelTest, ClosedChannelRefusesTransfersAndClearSucceeds) {
    char buf[8] = {};
    EXPECT_EQ(m_pChannel->Write("abc", 3, 0), 0u);
    EXPECT_EQ(ErrorCode(), 0u);  // Write never sets the code
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 10, 0), 0u);
    EXPECT_EQ(ErrorCode(), CH_E_INVALID_PARAM);
    EXPECT_TRUE(m_pChannel->Clear());

    ASSERT_TRUE(OpenChannel());
    EXPECT_EQ(m_pChannel->Write("abc", 0, 0), 0u);
    EXPECT_EQ(m_pChannel->Write(nullptr, 3, 0), 0u);
    EXPECT_EQ(m_pChannel->Read(nullptr, 3, 0, 0), 0u);
    EXPECT_EQ(ErrorCode(), CH_E_INVALID_PARAM);
    PeerSend("stale");
    Sleep(20);
    EXPECT_TRUE(m_pChannel->Clear());
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 20, 0), 0u);
    EXPECT_EQ(ErrorCode(), CH_E_TIMEOUT);
}

TEST_F(ChannelTest, LargeWriteArrivesWhole) {
    ASSERT_TRUE(OpenChannel());
    std::string data(256 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    std::string received;
    std::thread peer([&] { received = PeerReceive(data.size(), 10000); });
    EXPECT_EQ(m_pChannel->Write(data.data(), static_cast<DWORD>(data.size()), 0), data.size());
    peer.join();
    EXPECT_TRUE(received == data);
}

TEST_F(ChannelTest, PropertiesFollowTheirRules) {
    // A baud change on a closed channel reports success and changes nothing.
    DWORD dwValue = 9600;
    EXPECT_TRUE(m_pChannel->SetProperty(0, CH_PROP_BAUDRATE, &dwValue));
    EXPECT_TRUE(m_pChannel->GetProperty(0, CH_PROP_BAUDRATE, &dwValue));
    EXPECT_EQ(dwValue, 0u);

    ASSERT_TRUE(OpenChannel());
    EXPECT_FALSE(m_pChannel->GetProperty(0, CH_PROP_ERROR_CODE, nullptr));
    EXPECT_FALSE(m_pChannel->GetProperty(0, 7, &dwValue));
    dwValue = 1;
    EXPECT_FALSE(m_pChannel->SetProperty(0, CH_PROP_ERROR_CODE, &dwValue));
    EXPECT_FALSE(m_pChannel->SetProperty(0, CH_PROP_DEBUG_MODE, nullptr));

    dwValue = 57600;
    EXPECT_TRUE(m_pChannel->SetProperty(0, CH_PROP_BAUDRATE, &dwValue));
    EXPECT_TRUE(m_pChannel->GetProperty(0, CH_PROP_BAUDRATE, &dwValue));
    EXPECT_EQ(dwValue, 57600u);
    // The rate already in use: success without touching the port.
    EXPECT_TRUE(m_pChannel->SetProperty(0, CH_PROP_BAUDRATE, &dwValue));
    dwValue = 1;
    EXPECT_TRUE(m_pChannel->SetProperty(0, CH_PROP_DEBUG_MODE, &dwValue));
    EXPECT_TRUE(m_pChannel->GetProperty(0, CH_PROP_DEBUG_MODE, &dwValue));
    EXPECT_EQ(dwValue, 1u);

    EXPECT_EQ(CountLines("Call GetProperty() fail, [prameter 3 error]."), 1);
    EXPECT_EQ(CountLines("Call GetProperty() fail, [unkown property ID: 7]."), 1);
    EXPECT_EQ(CountLines("Call SetProperty() Fail, [unkown property ID: 1]."), 1);
    EXPECT_EQ(CountLines("Call SetProperty() fail, [NULL property value]."), 1);
    EXPECT_EQ(CountLines("Call SetProperty( Baudrate: 57600 ) success."), 2);
    EXPECT_EQ(CountLines("Call SetProperty( DebugMode: 1 ) success."), 1);
}

TEST_F(ChannelTest, DebugModeLogsEveryTransferWithADump) {
    WriteChannelIni("[Settings]\r\nDebugMode=1\r\n");
    ASSERT_TRUE(OpenChannel());
    EXPECT_EQ(m_pChannel->Write("0123456789ABCDEFGHIJ", 20, 0), 20u);
    PeerReceive(20);
    m_pChannel->Close();
    std::string log = ReadFile(m_logPath);
    const std::string indent(27, ' ');
    std::string expected = "Want to write to channel 20 bytes.\r\n";
    EXPECT_NE(log.find(expected), std::string::npos);
    EXPECT_NE(log.find("] --> 20(0x00000014) Bytes\r\n" + indent +
                       "00000000h: 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45 46 ; "
                       "0123456789ABCDEF\r\n" +
                       indent + "00000010h: 47 48 49 4A " + std::string(36, ' ') + "; GHIJ\r\n"),
              std::string::npos)
        << log;
}

TEST_F(ChannelTest, InitLogIsRefusedWhileOpenAndForOverlongPaths) {
    ASSERT_TRUE(OpenChannel());
    fs::path other = m_dir / "other.log";
    EXPECT_FALSE(m_pChannel->InitLog(Wide(other.string()).c_str(), 0x7002, 0, nullptr));
    m_pChannel->Close();
    EXPECT_FALSE(fs::exists(other));

    std::wstring longPath = Wide(m_dir.string()) + L"/" + std::wstring(300, L'a') + L".log";
    EXPECT_FALSE(m_pChannel->InitLog(longPath.c_str(), 0x7002, 0, nullptr));
    ASSERT_TRUE(OpenChannel());
    m_pChannel->Close();
    // Still the earlier file: two opens appended to one log.
    EXPECT_EQ(CountLines("Close Channel."), 2);
}

TEST_F(ChannelTest, FailingPlatformCallsAreLoggedAndUndone) {
    platform::InjectFault("PurgeComm", ERROR_ACCESS_DENIED, 0, 1);
    EXPECT_FALSE(OpenChannel());
    EXPECT_EQ(CountLines("Call PurgeComm() fail, [ErrorCode:0x00000005]."), 1);

    platform::InjectFault("SetCommMask", ERROR_GEN_FAILURE, 0, 1);
    EXPECT_FALSE(OpenChannel());
    EXPECT_EQ(CountLines("Call SetCommMask()  fail, [ErrorCode:0x0000001F]."), 1);

    platform::InjectFault("SetCommTimeouts", ERROR_INVALID_PARAMETER, 0, 1);
    EXPECT_FALSE(OpenChannel());
    EXPECT_EQ(CountLines("Call SetCommTimeouts()  fail. [ErrorCode:0x00000057]"), 1);

    platform::InjectFault("GetCommState", ERROR_INVALID_HANDLE, 0, 1);
    EXPECT_FALSE(OpenChannel());
    EXPECT_EQ(CountLines("Call GetCommState() fail.[ErrorCode:0x00000006]"), 1);

    // Each failure closed the port again: it opens now.
    ASSERT_TRUE(OpenChannel());
    EXPECT_EQ(m_pChannel->Write("ok", 2, 0), 2u);
    EXPECT_EQ(PeerReceive(2), "ok");
}

}  // namespace
}  // namespace cordlink_test

namespace cordlink_test {
namespace {

TEST_F(ChannelTest, ABaudChangeThatCannotReadThePortSettingsFails) {
    ASSERT_TRUE(OpenChannel());
    platform::InjectFault("GetCommState", ERROR_DEVICE_NOT_CONNECTED, 0, 1);
    DWORD dwValue = 9600;
    EXPECT_FALSE(m_pChannel->SetProperty(0, CH_PROP_BAUDRATE, &dwValue));
    EXPECT_TRUE(m_pChannel->GetProperty(0, CH_PROP_BAUDRATE, &dwValue));
    EXPECT_EQ(dwValue, 115200u);
    EXPECT_EQ(CountLines("Call SetProperty( Baudrate: 9600 ) fail."), 1);
}

TEST_F(ChannelTest, ATimedOutReadLeavesTheEventMaskUsable) {
    ASSERT_TRUE(OpenChannel());
    char buf[8];
    // The cancel cannot read the mask: it must not write 0 over it.
    platform::InjectFault("GetCommMask", ERROR_GEN_FAILURE, 0, 1);
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 20, 0), 0u);
    EXPECT_EQ(ErrorCode(), CH_E_TIMEOUT);
    std::thread peer([this] {
        Sleep(30);
        m_pty.Write("z", 1);
    });
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 5000, 0), 1u);
    peer.join();
}

}  // namespace
}  // namespace cordlink_test
