// Channel.ini: defaults, partial files, and which Open a value governs.
#include <vector>

#include "channel_fixture.h"

namespace cordlink_test {
namespace {

// The dated default log file of a channel on dwPort opened today.
fs::path DefaultLogPath(DWORD dwPort) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return ExeDir() / "ChannelLog" /
           ("UartComm_COM" + std::to_string(dwPort) + "_" + std::to_string(st.wYear) + "_" +
            std::to_string(st.wMonth) + "_" + std::to_string(st.wDay) + ".log");
}

TEST_F(ChannelTest, LogModeFromTheFileGovernsTheOpenThatReadsIt) {
    // A fresh channel, as a host makes for every session, with the default
    // log path: LogMode=0 means no ChannelLog file at all.
    WriteChannelIni("[Settings]\nLogMode=0\n");
    const fs::path defaultLog = DefaultLogPath(m_dwPort);
    fs::remove(defaultLog);
    ICommChannel* pChannel = nullptr;
    ASSERT_TRUE(CreateChannel(&pChannel, CHANNEL_TYPE_UART));
    CHANNEL_ATTRIBUTE attr = {CHANNEL_TYPE_UART, m_dwPort, 115200};
    ASSERT_TRUE(pChannel->Open(&attr));
    EXPECT_EQ(pChannel->Write("x", 1, 0), 1u);
    pChannel->Close();
    ReleaseChannel(pChannel);
    EXPECT_FALSE(fs::exists(defaultLog)) << defaultLog;
    fs::remove(defaultLog);

    // A path given to InitLog is not opened either.
    ASSERT_TRUE(OpenChannel());
    m_pChannel->Close();
    EXPECT_FALSE(fs::exists(m_logPath));

    // Turned on again, the log opens at the very next Open.
    WriteChannelIni("[Settings]\nLogMode=1\n");
    ASSERT_TRUE(OpenChannel());
    m_pChannel->Close();
    EXPECT_EQ(CountLines("Open uart [port: " + std::to_string(m_dwPort) + ", baud: 115200]."), 1);
}

TEST_F(ChannelTest, DebugModeFromTheFileReturnsAtTheNextOpen) {
    WriteChannelIni("[settings]\n  debugmode = 01 \n");
    ASSERT_TRUE(OpenChannel());
    DWORD dwValue = 0;
    EXPECT_TRUE(m_pChannel->GetProperty(0, CH_PROP_DEBUG_MODE, &dwValue));
    EXPECT_EQ(dwValue, 1u);
    dwValue = 0;
    EXPECT_TRUE(m_pChannel->SetProperty(0, CH_PROP_DEBUG_MODE, &dwValue));
    m_pChannel->Close();
    ASSERT_TRUE(OpenChannel());
    EXPECT_TRUE(m_pChannel->GetProperty(0, CH_PROP_DEBUG_MODE, &dwValue));
    EXPECT_EQ(dwValue, 1u);
}

TEST_F(ChannelTest, TimeoutsFromTheFileApplyToThePort) {
    // A write total constant of 100 ms ends a write that the peer does not
    // take after about that long, with a short count; the default (5 s)
    // would hold it for the whole five seconds.
    WriteChannelIni(
        "[CommTimeouts]\nReadIntervalTimeout=0\nReadTotalTimeoutConstant=100\n"
        "WriteTotalTimeoutMultiplier=0\nWriteTotalTimeoutConstant=100\n");
    ASSERT_TRUE(OpenChannel());
    std::vector<char> big(1 << 20, 'w');
    DWORD t0 = GetTickCount();
    DWORD dwWritten = m_pChannel->Write(big.data(), static_cast<DWORD>(big.size()), 0);
    DWORD dwMs = GetTickCount() - t0;
    EXPECT_LT(dwWritten, big.size());
    EXPECT_GE(dwMs, 90u);
    EXPECT_LT(dwMs, 2000u);
    // No byte waiting: the read ends with the comm-event wait.
    char buf[16];
    t0 = GetTickCount();
    EXPECT_EQ(m_pChannel->Read(buf, sizeof(buf), 30, 0), 0u);
    EXPECT_LT(GetTickCount() - t0, 1000u);
    EXPECT_EQ(ErrorCode(), CH_E_TIMEOUT);
}

TEST_F(ChannelTest, TheDefaultLogFileLivesInChannelLogBesideTheExecutable) {
    // A fresh object without InitLog builds the dated default name.
    ICommChannel* pChannel = nullptr;
    ASSERT_TRUE(CreateChannel(&pChannel, CHANNEL_TYPE_UART));
    CHANNEL_ATTRIBUTE attr = {CHANNEL_TYPE_UART, m_dwPort, 115200};
    ASSERT_TRUE(pChannel->Open(&attr));
    pChannel->Close();
    ReleaseChannel(pChannel);
    const fs::path expected = DefaultLogPath(m_dwPort);
    ASSERT_TRUE(fs::exists(expected)) << expected;
    std::string log = ReadFile(expected);
    EXPECT_NE(log.find("Close Channel.\r\n"), std::string::npos);
    fs::remove(expected);
}

}  // namespace
}  // namespace cordlink_test
