// Channel.ini: defaults, partial files, and which Open a value governs.
#include "channel_fixture.h"

namespace cordlink_test {
namespace {

TEST_F(ChannelTest, LogModeZeroGovernsTheNextOpenNotThisOne) {
    WriteChannelIni("[Settings]\nLogMode=0\n");
    ASSERT_TRUE(OpenChannel());
    m_pChannel->Close();
    const int nOpenLines =
        CountLines("Open uart [port: " + std::to_string(m_dwPort) + ", baud: 115200].");
    EXPECT_EQ(nOpenLines, 1);
    ASSERT_TRUE(OpenChannel());
    m_pChannel->Close();
    // The second Open opened no log file: nothing more reached it.
    EXPECT_EQ(CountLines("Open uart [port: " + std::to_string(m_dwPort) + ", baud: 115200]."),
              nOpenLines);
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

TEST_F(ChannelTest, ReadTimeoutsFromTheFileApplyToThePort) {
    // With the interval off and a total constant, a read of more than is
    // there waits the constant for the rest instead of returning at once.
    WriteChannelIni("[CommTimeouts]\nReadIntervalTimeout=0\nReadTotalTimeoutConstant=100\n");
    ASSERT_TRUE(OpenChannel());
    char buf[16];
    DWORD t0 = GetTickCount();
    // No byte waiting and the comm-event wait times out first.
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
    SYSTEMTIME st;
    GetLocalTime(&st);
    fs::path expected =
        ExeDir() / "ChannelLog" /
        ("UartComm_COM" + std::to_string(m_dwPort) + "_" + std::to_string(st.wYear) + "_" +
         std::to_string(st.wMonth) + "_" + std::to_string(st.wDay) + ".log");
    ASSERT_TRUE(fs::exists(expected)) << expected;
    std::string log = ReadFile(expected);
    EXPECT_NE(log.find("Close Channel.\r\n"), std::string::npos);
    fs::remove(expected);
}

}  // namespace
}  // namespace cordlink_test
