// Module path, temporary directory, time, and the console on standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "platform/win_console.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "platform/win_handle.h"
#include "platform/win_shell_path.h"
#include "platform/win_system.h"

namespace {

TEST(SystemInfo, ModuleFileNameIsThisExecutableAndTruncatesTheWindowsWay) {
    wchar_t path[1024];
    DWORD n = GetModuleFileNameW(nullptr, path, 1024);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, wcslen(path));
    EXPECT_STREQ(PathFindFileNameW(path), L"platform_tests");
    EXPECT_FALSE(PathIsRelativeW(path));

    wchar_t small[5];
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::wstring(small), std::wstring(path, 4));
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1234), path, 1024), 0u);
}

TEST(SystemInfo, TempPathFollowsTmpdirWithATrailingSeparator) {
    const char* old = getenv("TMPDIR");
    std::string saved = old != nullptr ? old : "";
    setenv("TMPDIR", "/var/tmp/x", 1);
    wchar_t buf[64];
    EXPECT_EQ(GetTempPathW(64, buf), 11u);
    EXPECT_STREQ(buf, L"/var/tmp/x/");
    EXPECT_EQ(GetTempPathW(5, buf), 12u);  // the size needed, terminator included
    unsetenv("TMPDIR");
    EXPECT_EQ(GetTempPathW(64, buf), 5u);
    EXPECT_STREQ(buf, L"/tmp/");
    if (old != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
}

TEST(SystemInfo, LocalTimeMatchesTheClockWithMilliseconds) {
    time_t before = time(nullptr);
    SYSTEMTIME st;
    GetLocalTime(&st);
    time_t after = time(nullptr);
    struct tm tmv;
    localtime_r(&before, &tmv);
    EXPECT_EQ(st.wYear, tmv.tm_year + 1900);
    EXPECT_GE(st.wMonth, 1);
    EXPECT_LE(st.wMonth, 12);
    EXPECT_LT(st.wMilliseconds, 1000);
    struct tm back = {};
    back.tm_year = st.wYear - 1900;
    back.tm_mon = st.wMonth - 1;
    back.tm_mday = st.wDay;
    back.tm_hour = st.wHour;
    back.tm_min = st.wMinute;
    back.tm_sec = st.wSecond;
    back.tm_isdst = -1;
    time_t t = mktime(&back);
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    EXPECT_LT(utc.wHour, 24);
}

// Redirects standard error into a pipe while it lives.
class StderrCapture {
public:
    StderrCapture() {
        EXPECT_EQ(pipe2(m_fds, O_CLOEXEC), 0);
        m_saved = dup(STDERR_FILENO);
        dup2(m_fds[1], STDERR_FILENO);
    }
    ~StderrCapture() {
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
        close(m_fds[0]);
        close(m_fds[1]);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    std::string Take(size_t n) {
        std::string out(n, '\0');
        size_t got = 0;
        while (got < n) {
            ssize_t r = read(m_fds[0], out.data() + got, n - got);
            if (r <= 0)
                break;
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return out;
    }

private:
    int m_fds[2];
    int m_saved;
};

TEST(Console, OneConsoleWhoseOutputIsStandardError) {
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(AllocConsole());
    EXPECT_FALSE(AllocConsole());
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetConsoleScreenBufferSize(h, COORD{1000, 32766}));
    SMALL_RECT rect = {0, 0, 108, 30};
    EXPECT_TRUE(SetConsoleWindowInfo(h, TRUE, &rect));
    EXPECT_TRUE(SetConsoleTitleW(L"host"));
    EXPECT_EQ(GetConsoleWindow(), nullptr);
    EnableMenuItem(GetSystemMenu(GetConsoleWindow(), FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    ShowWindow(GetConsoleWindow(), SW_HIDE);
    {
        StderrCapture capture;
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, "echo line\r\n", 11, &n, nullptr));
        EXPECT_EQ(n, 11u);
        ASSERT_TRUE(WriteConsoleA(h, "more", 4, &n, nullptr));
        EXPECT_EQ(capture.Take(15), "echo line\r\nmore");
    }
    EXPECT_TRUE(FreeConsole());
    EXPECT_FALSE(FreeConsole());
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), INVALID_HANDLE_VALUE);
    // A console can be had again after it was freed.
    ASSERT_TRUE(AllocConsole());
    EXPECT_TRUE(FreeConsole());
}

}  // namespace
