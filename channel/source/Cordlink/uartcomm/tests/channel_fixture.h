// Shared set-up for the channel tests: a temporary COM port map with a
// pseudo-terminal registered in it, a private log file, and helpers to read
// the log's lines and write Channel.ini beside the test executable.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cordlink/cordlink.h"
#include "platform/ext/pseudo_terminal.h"
#include "platform/windows.h"
#include "platform_testing/fault_injection.h"

namespace cordlink_test {

namespace fs = std::filesystem;

inline fs::path ExeDir() {
    return fs::read_symlink("/proc/self/exe").parent_path();
}

inline std::wstring Wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// Pumps the calling thread's queue until `want` bytes arrived in messages
// uMsgId or the deadline passed; returns every buffer with FreeMem and the
// bytes in arrival order. Other messages are dispatched. Counts the
// messages that carried no bytes in *pnEmpty when given.
inline std::string PumpBlocks(ICommChannel* pChannel, UINT uMsgId, size_t want, DWORD dwTimeoutMs,
                              int* pnEmpty = nullptr) {
    std::string got;
    DWORD dwStart = GetTickCount();
    MSG msg;
    while (got.size() < want && GetTickCount() - dwStart < dwTimeoutMs) {
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            Sleep(1);
            continue;
        }
        if (msg.message != uMsgId) {
            DispatchMessageW(&msg);
            continue;
        }
        EXPECT_NE(msg.wParam, 0u);
        got.append(reinterpret_cast<const char*>(msg.wParam), static_cast<size_t>(msg.lParam));
        if (msg.lParam == 0 && pnEmpty != nullptr)
            ++*pnEmpty;
        pChannel->FreeMem(reinterpret_cast<void*>(msg.wParam));
    }
    return got;
}

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/cordlink-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("COMPORT_MAP_DIR", (m_dir / "comports").c_str(), 1);
        fs::remove(ExeDir() / "Channel.ini");
        ASSERT_TRUE(m_pty.Open(0));
        m_dwPort = m_pty.Port();
        ASSERT_TRUE(CreateChannel(&m_pChannel, CHANNEL_TYPE_UART));
        m_logPath = m_dir / "channel.log";
        ASSERT_TRUE(m_pChannel->InitLog(Wide(m_logPath.string()).c_str(), 0x7002, 0, nullptr));
    }

    void TearDown() override {
        platform::ClearFaults();
        ReleaseChannel(m_pChannel);
        m_pty.Close();
        fs::remove(ExeDir() / "Channel.ini");
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    BOOL OpenChannel(DWORD dwBaud = 115200) {
        CHANNEL_ATTRIBUTE attr = {CHANNEL_TYPE_UART, m_dwPort, dwBaud};
        return m_pChannel->Open(&attr);
    }

    DWORD ErrorCode() {
        DWORD dwCode = 0xDEADBEEF;
        EXPECT_TRUE(m_pChannel->GetProperty(0, CH_PROP_ERROR_CODE, &dwCode));
        return dwCode;
    }

    static void WriteChannelIni(const std::string& text) {
        std::ofstream(ExeDir() / "Channel.ini") << text;
    }

    static std::string ReadFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // The log's lines without their CR LF and without the timestamp prefix
    // "[yyyy-mm-dd hh:mm:ss:mmmm] " (27 characters).
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::string text = ReadFile(m_logPath);
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find("\r\n", pos);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(pos, end - pos);
            if (line.size() >= 27 && line[0] == '[' && line[25] == ']')
                line = line.substr(27);
            lines.push_back(line);
            pos = end + 2;
        }
        return lines;
    }

    int CountLines(const std::string& line) const {
        int n = 0;
        for (const std::string& l : LogLines())
            n += (l == line) ? 1 : 0;
        return n;
    }

    // Waits until the log holds the line (the receive thread writes it).
    void WaitForLine(const std::string& line, DWORD dwTimeoutMs = 5000) const {
        DWORD dwStart = GetTickCount();
        while (CountLines(line) < 1 && GetTickCount() - dwStart < dwTimeoutMs)
            Sleep(5);
    }

    // Sends bytes from the peer and waits until the driver reports them.
    void PeerSend(const std::string& data) {
        ASSERT_EQ(m_pty.Write(data.data(), static_cast<DWORD>(data.size())), data.size());
    }

    std::string PeerReceive(size_t n, DWORD dwTimeoutMs = 2000) {
        std::string out;
        DWORD dwStart = GetTickCount();
        while (out.size() < n && GetTickCount() - dwStart < dwTimeoutMs) {
            char buf[4096];
            DWORD got = m_pty.Read(buf, sizeof(buf), 50);
            out.append(buf, got);
        }
        return out;
    }

    fs::path m_dir;
    fs::path m_logPath;
    platform::PseudoTerminal m_pty;
    DWORD m_dwPort = 0;
    ICommChannel* m_pChannel = nullptr;
};

}  // namespace cordlink_test
