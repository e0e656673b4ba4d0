// Serial ports on real pseudo-terminals mapped as COM ports: opening and
// exclusivity, line settings, time-outs, overlapped transfers, comm events,
// purging, closing with work pending, a vanishing device, bulk transfers.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <fcntl.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ext/com_port_map.h"
#include "platform/ext/pseudo_terminal.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "platform/win_handle.h"
#include "platform/win_serial.h"
#include "platform/win_sync.h"
#include "platform_testing/fault_injection.h"
#include "temp_com_map.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kAllOnes = 0xFFFFFFFFu;

std::wstring ComName(DWORD dwPort) {
    return L"\\\\.\\COM" + std::to_wstring(dwPort);
}

HANDLE OpenCom(DWORD dwPort, DWORD dwFlags = FILE_FLAG_OVERLAPPED) {
    return CreateFileW(ComName(dwPort).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, dwFlags, nullptr);
}

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// An OVERLAPPED record with its own manual-reset event, as the channel uses.
struct Overlapped {
    OVERLAPPED ov{};
    Overlapped() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(ov.hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    bool Signalled(DWORD dwMs) { return WaitForSingleObject(ov.hEvent, dwMs) == WAIT_OBJECT_0; }
};

// Another process opening the port runs this test binary again with
// SERIAL_CHILD_PORT set: before any test runs, it opens the port and exits
// with the open's last error; with SERIAL_CHILD_HOLD set it keeps the port
// instead, says so with one byte on its standard output, and waits to be
// killed.
[[maybe_unused]] const bool g_bChildOpener = [] {
    const char* lpszPort = getenv("SERIAL_CHILD_PORT");
    if (lpszPort == nullptr)
        return false;
    HANDLE h = OpenCom(static_cast<DWORD>(atoi(lpszPort)));
    if (h == INVALID_HANDLE_VALUE || getenv("SERIAL_CHILD_HOLD") == nullptr)
        _exit(h == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0);
    if (write(STDOUT_FILENO, "o", 1) != 1)
        _exit(1);
    for (;;)
        pause();
}();

// A process that opens a COM port (see g_bChildOpener). With bAsNobody and
// a root test run it runs as the user 'nobody': root ignores a tty's
// exclusive flag, so only an ordinary user sees whether one was left set.
class ChildOpener {
public:
    ChildOpener(DWORD dwPort, const std::string& mapDir, bool bHold, bool bAsNobody) {
        std::string self(4096, '\0');
        ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
        int fds[2];
        if (n <= 0 || pipe(fds) != 0)
            return;
        self.resize(static_cast<size_t>(n));
        uid_t uid = 0;
        gid_t gid = 0;
        bool bDrop = bAsNobody && geteuid() == 0;
        if (bDrop) {
            const struct passwd* pw = getpwnam("nobody");
            if (pw == nullptr)
                return;
            uid = pw->pw_uid;
            gid = pw->pw_gid;
        }
        std::string port = "SERIAL_CHILD_PORT=" + std::to_string(dwPort);
        std::string map = "COMPORT_MAP_DIR=" + mapDir;
        std::string hold = "SERIAL_CHILD_HOLD=1";
        char* argv[] = {self.data(), nullptr};
        char* envp[] = {port.data(), map.data(), bHold ? hold.data() : nullptr, nullptr};
        m_pid = fork();
        if (m_pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            if (dup2(fds[1], STDOUT_FILENO) < 0 ||
                (bDrop && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)))
                _exit(126);
            execve(self.c_str(), argv, envp);
            _exit(127);
        }
        close(fds[1]);
        m_nOut = fds[0];
    }
    ~ChildOpener() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_nOut >= 0)
            close(m_nOut);
    }
    ChildOpener(const ChildOpener&) = delete;
    ChildOpener& operator=(const ChildOpener&) = delete;

    bool Started() const { return m_pid > 0; }
    // A holding child: true once it has the port open (false if it exited).
    bool Opened() {
        char c = 0;
        ssize_t n;
        do {
            n = read(m_nOut, &c, 1);
        } while (n < 0 && errno == EINTR);
        return n == 1;
    }
    // Kills the child with SIGKILL, as a crash or the task manager would.
    void Kill() { Wait(SIGKILL); }
    // The exit status of a child that does not hold: the open's last error.
    int ExitCode() { return Wait(0); }

private:
    int Wait(int nSignal) {
        if (m_pid <= 0)
            return -1;
        if (nSignal != 0)
            kill(m_pid, nSignal);
        int status = 0;
        pid_t pid;
        do {
            pid = waitpid(m_pid, &status, 0);
        } while (pid < 0 && errno == EINTR);
        m_pid = -1;
        return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t m_pid = -1;
    int m_nOut = -1;
};

// One pseudo-terminal registered in a private map and opened as a COM port.
class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_pty.Open(0));
        m_hPort = OpenCom(m_pty.Port());
        ASSERT_NE(m_hPort, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (m_hPort != INVALID_HANDLE_VALUE)
            CloseHandle(m_hPort);
        platform::ClearFaults();
    }
    void SetTimeouts(DWORD ri, DWORD rm, DWORD rc, DWORD wm = 0, DWORD wc = 0) {
        COMMTIMEOUTS t = {ri, rm, rc, wm, wc};
        ASSERT_TRUE(SetCommTimeouts(m_hPort, &t));
    }
    // Waits (bounded) until the driver reports at least cb bytes waiting.
    DWORD WaitInQueue(DWORD cb) {
        COMSTAT stat{};
        auto deadline = Clock::now() + std::chrono::seconds(5);
        do {
            DWORD dwErrors = 0;
            if (!ClearCommError(m_hPort, &dwErrors, &stat))
                return 0;
            if (stat.cbInQue >= cb)
                break;
            std::this_thread::yield();
        } while (Clock::now() < deadline);
        return stat.cbInQue;
    }
    // Reads and drops whatever is waiting now.
    void Drain() {
        COMMTIMEOUTS keep{}, now = {kAllOnes, 0, 0, 0, 0};
        ASSERT_TRUE(GetCommTimeouts(m_hPort, &keep));
        ASSERT_TRUE(SetCommTimeouts(m_hPort, &now));
        char buf[256];
        DWORD n = 0;
        do {
            ASSERT_TRUE(ReadFile(m_hPort, buf, sizeof buf, &n, nullptr));
        } while (n > 0);
        ASSERT_TRUE(SetCommTimeouts(m_hPort, &keep));
    }

    TempComMap m_map;
    platform::PseudoTerminal m_pty;
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
};

TEST_F(SerialPortTest, MissingPortsAndNonTtysAreNotFound) {
    std::vector<platform::ComPortEntry> taken = platform::ListComPorts();
    DWORD n = taken.back().dwPort + 1;
    SetLastError(0);
    EXPECT_EQ(OpenCom(n), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileW(L"\\\\.\\COM0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileW(L"\\\\.\\COM1x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    // An entry naming something that is not a terminal is no port.
    ASSERT_EQ(platform::RegisterComPort(n, "/dev/null"), n);
    EXPECT_EQ(OpenCom(n), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SerialPortTest, SecondOpenIsDeniedUntilTheFirstCloses) {
    SetLastError(0);
    EXPECT_EQ(OpenCom(m_pty.Port()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // The same device under a second number (an entry made by hand) is the
    // same port.
    DWORD alias = platform::ListComPorts().back().dwPort + 1;
    ASSERT_EQ(
        symlink(m_pty.SlavePath().c_str(), (m_map.Dir() + "/COM" + std::to_string(alias)).c_str()),
        0);
    EXPECT_EQ(OpenCom(alias), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CloseHandle(m_hPort));
    m_hPort = OpenCom(alias);
    EXPECT_NE(m_hPort, INVALID_HANDLE_VALUE);
}

TEST_F(SerialPortTest, SecondProcessIsDenied) {
    auto runChild = [&]() {
        ChildOpener child(m_pty.Port(), m_map.Dir(), false, false);
        return child.ExitCode();
    };
    EXPECT_EQ(runChild(), static_cast<int>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(CloseHandle(m_hPort));
    m_hPort = INVALID_HANDLE_VALUE;
    EXPECT_EQ(runChild(), 0);
}

// Exclusivity ends with the process that held the port, even when it is
// killed and cannot close it: an ordinary user (and root) opens the port
// again at once.
TEST_F(SerialPortTest, AKilledOpenerLeavesThePortFree) {
    if (geteuid() == 0 && getpwnam("nobody") == nullptr)
        GTEST_SKIP() << "running as root without a user 'nobody' to open the port as";
    ASSERT_TRUE(CloseHandle(m_hPort));
    m_hPort = INVALID_HANDLE_VALUE;
    if (geteuid() == 0) {
        // The unprivileged children must reach the map and the device.
        ASSERT_EQ(chmod(m_map.Dir().c_str(), 0755), 0);
        ASSERT_EQ(chmod(m_pty.SlavePath().c_str(), 0666), 0);
    }
    ChildOpener holder(m_pty.Port(), m_map.Dir(), true, true);
    ASSERT_TRUE(holder.Started());
    ASSERT_TRUE(holder.Opened()) << "the child could not open the port";
    // While it lives, every other opener is refused.
    EXPECT_EQ(OpenCom(m_pty.Port()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    {
        ChildOpener second(m_pty.Port(), m_map.Dir(), false, true);
        EXPECT_EQ(second.ExitCode(), static_cast<int>(ERROR_ACCESS_DENIED));
    }
    holder.Kill();
    {
        ChildOpener again(m_pty.Port(), m_map.Dir(), false, true);
        EXPECT_EQ(again.ExitCode(), 0) << "the killed opener left the port locked";
    }
    m_hPort = OpenCom(m_pty.Port());
    EXPECT_NE(m_hPort, INVALID_HANDLE_VALUE) << GetLastError();
}

TEST_F(SerialPortTest, LineSettingsRoundTripAndReachTheTty) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(m_hPort, &dcb));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.fBinary, 1u);
    dcb.BaudRate = CBR_115200;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fParity = 0;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonLim = 1234;
    dcb.EvtChar = 0x7E;
    dcb.fAbortOnError = 1;
    ASSERT_TRUE(SetCommState(m_hPort, &dcb));  // no modem lines on a pty: still TRUE
    DCB back{};
    ASSERT_TRUE(GetCommState(m_hPort, &back));
    EXPECT_EQ(std::memcmp(&dcb, &back, sizeof dcb), 0);

    // The tty itself is raw 8N1 at the new rate. (The master reads the
    // slave's settings: the slave itself is held exclusively by the port.)
    struct termios tio;
    ASSERT_EQ(tcgetattr(m_pty.MasterFd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);

    // A rate outside the standard table goes through the kernel's custom rate.
    dcb.BaudRate = 250000;
    EXPECT_TRUE(SetCommState(m_hPort, &dcb));
    ASSERT_TRUE(GetCommState(m_hPort, &back));
    EXPECT_EQ(back.BaudRate, 250000u);

    // Refused settings change nothing.
    DCB bad = back;
    bad.BaudRate = 0;
    EXPECT_FALSE(SetCommState(m_hPort, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    bad = back;
    bad.ByteSize = 9;
    EXPECT_FALSE(SetCommState(m_hPort, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(GetCommState(m_hPort, &dcb));
    EXPECT_EQ(std::memcmp(&dcb, &back, sizeof dcb), 0);

    EXPECT_TRUE(EscapeCommFunction(m_hPort, CLRDTR));
}

TEST_F(SerialPortTest, FlowControlIsSetFromTheRecordNotInherited) {
    // An earlier opener left hardware and software flow control on.
    ASSERT_TRUE(CloseHandle(m_hPort));
    struct termios tio;
    ASSERT_EQ(tcgetattr(m_pty.MasterFd(), &tio), 0);
    tio.c_cflag |= CRTSCTS;
    tio.c_iflag |= IXON | IXOFF | IXANY;
    ASSERT_EQ(tcsetattr(m_pty.MasterFd(), TCSANOW, &tio), 0);
    m_hPort = OpenCom(m_pty.Port());
    ASSERT_NE(m_hPort, INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(m_hPort, &dcb));
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    ASSERT_EQ(tcgetattr(m_pty.MasterFd(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u);
    // Each flag follows the record both ways.
    dcb.fInX = 1;
    dcb.fOutX = 1;
    ASSERT_TRUE(SetCommState(m_hPort, &dcb));
    ASSERT_EQ(tcgetattr(m_pty.MasterFd(), &tio), 0);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), static_cast<tcflag_t>(IXON | IXOFF));
    tio.c_iflag |= IXANY;  // set behind the port's back
    ASSERT_EQ(tcsetattr(m_pty.MasterFd(), TCSANOW, &tio), 0);
    dcb.fInX = 0;
    dcb.fOutX = 0;
    ASSERT_TRUE(SetCommState(m_hPort, &dcb));
    ASSERT_EQ(tcgetattr(m_pty.MasterFd(), &tio), 0);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u);
}

TEST_F(SerialPortTest, AFailedModemLineCallLeavesTheLineAsItWas) {
    DCB before{};
    ASSERT_TRUE(GetCommState(m_hPort, &before));
    struct termios tioBefore;
    ASSERT_EQ(tcgetattr(m_pty.MasterFd(), &tioBefore), 0);
    DCB dcb = before;
    dcb.BaudRate = 19200;
    dcb.Parity = 2;  // even
    dcb.fParity = 1;
    platform::InjectFault("SetModemLine", ERROR_GEN_FAILURE, 0, 1);
    EXPECT_FALSE(SetCommState(m_hPort, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    DCB after{};
    ASSERT_TRUE(GetCommState(m_hPort, &after));
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    struct termios tio;
    ASSERT_EQ(tcgetattr(m_pty.MasterFd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), cfgetospeed(&tioBefore));
    EXPECT_EQ(tio.c_cflag, tioBefore.c_cflag);
    EXPECT_EQ(tio.c_iflag, tioBefore.c_iflag);
}

TEST_F(SerialPortTest, PseudoTerminalIsRawBeforeAnyoneReads) {
    // Control characters, CR/LF and 8-bit bytes pass unchanged, and nothing
    // is echoed back to the peer.
    const unsigned char sent[] = {0x03, '\r', '\n', 0x7F, 0x00, 0xFF, 0x1A, 0x11, 0x13, 0x04};
    ASSERT_EQ(m_pty.Write(sent, sizeof sent), sizeof sent);
    SetTimeouts(0, 0, 5000);
    unsigned char got[sizeof sent] = {};
    DWORD dwRead = 0;
    Overlapped o;
    BOOL bOk = ReadFile(m_hPort, got, sizeof got, &dwRead, &o.ov);
    if (!bOk) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(m_hPort, &o.ov, &dwRead, TRUE));
    }
    ASSERT_EQ(dwRead, sizeof sent);
    EXPECT_EQ(std::memcmp(got, sent, sizeof sent), 0);
    char echo[16];
    EXPECT_EQ(m_pty.Read(echo, sizeof echo, 20), 0u);
}

TEST_F(SerialPortTest, ReadTimeoutRules) {
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(m_hPort, &t));
    char buf[100];
    DWORD dwRead = 77;
    Overlapped o;

    // Interval all-ones, totals 0: at once with what is there, even nothing.
    SetTimeouts(kAllOnes, 0, 0, 0, 5000);
    EXPECT_TRUE(ReadFile(m_hPort, buf, sizeof buf, &dwRead, &o.ov));
    EXPECT_EQ(dwRead, 0u);
    ASSERT_EQ(m_pty.Write("0123456789", 10), 10u);
    ASSERT_EQ(WaitInQueue(10), 10u);
    EXPECT_TRUE(ReadFile(m_hPort, buf, sizeof buf, &dwRead, &o.ov));
    EXPECT_EQ(dwRead, 10u);
    EXPECT_TRUE(o.Signalled(0));
    EXPECT_EQ(std::memcmp(buf, "0123456789", 10), 0);

    // Interval and multiplier all-ones: wait up to the constant for the
    // first byte, then return it.
    SetTimeouts(kAllOnes, kAllOnes, 80);
    auto t0 = Clock::now();
    ASSERT_FALSE(ReadFile(m_hPort, buf, sizeof buf, &dwRead, &o.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(GetOverlappedResult(m_hPort, &o.ov, &dwRead, TRUE));
    EXPECT_EQ(dwRead, 0u);
    EXPECT_GE(ElapsedMs(t0), 79);
    ASSERT_FALSE(ReadFile(m_hPort, buf, sizeof buf, &dwRead, &o.ov));
    ASSERT_EQ(m_pty.Write("ab", 2), 2u);
    EXPECT_TRUE(GetOverlappedResult(m_hPort, &o.ov, &dwRead, TRUE));
    EXPECT_GE(dwRead, 1u);

    // Total = multiplier x n + constant: the short count after the limit.
    Drain();
    SetTimeouts(0, 1, 40);
    ASSERT_EQ(m_pty.Write("xyz", 3), 3u);
    ASSERT_EQ(WaitInQueue(3), 3u);
    t0 = Clock::now();
    ASSERT_FALSE(ReadFile(m_hPort, buf, 10, &dwRead, &o.ov));
    EXPECT_TRUE(GetOverlappedResult(m_hPort, &o.ov, &dwRead, TRUE));
    EXPECT_GE(ElapsedMs(t0), 49);  // 1 x 10 + 40
    EXPECT_EQ(dwRead, 3u);
    EXPECT_EQ(std::memcmp(buf, "xyz", 3), 0);

    // Interval only: ends once the line stays quiet that long after a byte.
    SetTimeouts(30, 0, 0);
    ASSERT_FALSE(ReadFile(m_hPort, buf, sizeof buf, &dwRead, &o.ov));
    EXPECT_FALSE(o.Signalled(40));  // no byte yet: no interval limit either
    ASSERT_EQ(m_pty.Write("12345", 5), 5u);
    ASSERT_TRUE(o.Signalled(5000));
    EXPECT_TRUE(GetOverlappedResult(m_hPort, &o.ov, &dwRead, FALSE));
    EXPECT_EQ(dwRead, 5u);

    // All zero: only the full count ends the read.
    SetTimeouts(0, 0, 0);
    ASSERT_FALSE(ReadFile(m_hPort, buf, 8, &dwRead, &o.ov));
    ASSERT_EQ(m_pty.Write("abc", 3), 3u);
    EXPECT_FALSE(o.Signalled(50));
    EXPECT_FALSE(GetOverlappedResult(m_hPort, &o.ov, &dwRead, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    ASSERT_EQ(m_pty.Write("defgh", 5), 5u);
    EXPECT_TRUE(GetOverlappedResult(m_hPort, &o.ov, &dwRead, TRUE));
    EXPECT_EQ(dwRead, 8u);
    EXPECT_EQ(std::memcmp(buf, "abcdefgh", 8), 0);
}

TEST_F(SerialPortTest, WriteTimeoutCompletesWithTheShortCount) {
    // Nobody reads the peer side, so the pseudo-terminal fills up.
    SetTimeouts(kAllOnes, 0, 0, 0, 100);
    std::vector<char> data(1 << 20, 'w');
    Overlapped o;
    DWORD dwWritten = 0;
    auto t0 = Clock::now();
    if (!WriteFile(m_hPort, data.data(), static_cast<DWORD>(data.size()), &dwWritten, &o.ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_TRUE(GetOverlappedResult(m_hPort, &o.ov, &dwWritten, TRUE));
    }
    EXPECT_GE(ElapsedMs(t0), 99);
    EXPECT_LT(ElapsedMs(t0), 3000);
    EXPECT_GT(dwWritten, 0u);
    EXPECT_LT(dwWritten, data.size());
    COMSTAT stat{};
    EXPECT_TRUE(ClearCommError(m_hPort, nullptr, &stat));
}

TEST_F(SerialPortTest, OverlappedReadAndWriteSignalTheirEvents) {
    SetTimeouts(0, 0, 0, 0, 5000);
    char in[6] = {};
    DWORD dwRead = 0;
    Overlapped r;
    ASSERT_FALSE(ReadFile(m_hPort, in, 5, &dwRead, &r.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    // A write runs while the read is outstanding.
    Overlapped w;
    DWORD dwWritten = 0;
    if (!WriteFile(m_hPort, "ping", 4, &dwWritten, &w.ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(m_hPort, &w.ov, &dwWritten, TRUE));
    }
    EXPECT_EQ(dwWritten, 4u);
    EXPECT_TRUE(w.Signalled(0));
    char out[8] = {};
    EXPECT_EQ(m_pty.Read(out, sizeof out, 5000), 4u);
    EXPECT_STREQ(out, "ping");
    EXPECT_FALSE(r.Signalled(0));
    ASSERT_EQ(m_pty.Write("hello", 5), 5u);
    ASSERT_TRUE(r.Signalled(5000));
    ASSERT_TRUE(GetOverlappedResult(m_hPort, &r.ov, &dwRead, FALSE));
    EXPECT_EQ(dwRead, 5u);
    EXPECT_STREQ(in, "hello");
}

// ERROR_NO_MORE_ITEMS has the value of the pending status (0x103): an
// operation that ends with it is complete, with that error, for a caller
// that polls the record, waits on it, or blocks.
TEST_F(SerialPortTest, AnOperationEndingWithError0x103IsCompleteNotPending) {
    SetTimeouts(kAllOnes, kAllOnes, 5000);  // wait up to 5 s for the first byte
    char buf[8];
    DWORD n = 0;
    Overlapped r;
    // The first attempt finds nothing and pends; the I/O thread's next one
    // fails.
    platform::InjectFault("SerialPort::Transfer", ERROR_NO_MORE_ITEMS, 1, 1);
    ASSERT_FALSE(ReadFile(m_hPort, buf, sizeof buf, &n, &r.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(r.Signalled(5000));
    ASSERT_TRUE(HasOverlappedIoCompleted(&r.ov));
    EXPECT_FALSE(GetOverlappedResult(m_hPort, &r.ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_FALSE(GetOverlappedResult(m_hPort, &r.ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

    ASSERT_TRUE(CloseHandle(m_hPort));
    m_hPort = OpenCom(m_pty.Port(), 0);
    ASSERT_NE(m_hPort, INVALID_HANDLE_VALUE);
    SetTimeouts(kAllOnes, kAllOnes, 5000);
    platform::InjectFault("SerialPort::Transfer", ERROR_NO_MORE_ITEMS, 1, 1);
    EXPECT_FALSE(ReadFile(m_hPort, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
}

TEST_F(SerialPortTest, BlockingHandleReadsAndTimesOut) {
    ASSERT_TRUE(CloseHandle(m_hPort));
    m_hPort = OpenCom(m_pty.Port(), 0);
    ASSERT_NE(m_hPort, INVALID_HANDLE_VALUE);
    SetTimeouts(0, 0, 60);
    char buf[4];
    DWORD dwRead = 9;
    auto t0 = Clock::now();
    EXPECT_TRUE(ReadFile(m_hPort, buf, sizeof buf, &dwRead, nullptr));
    EXPECT_EQ(dwRead, 0u);
    EXPECT_GE(ElapsedMs(t0), 59);
    std::thread peer([this] { m_pty.Write("data", 4); });
    SetTimeouts(0, 0, 0);
    EXPECT_TRUE(ReadFile(m_hPort, buf, sizeof buf, &dwRead, nullptr));
    EXPECT_EQ(dwRead, 4u);
    peer.join();
    DWORD dwWritten = 0;
    EXPECT_TRUE(WriteFile(m_hPort, "ok", 2, &dwWritten, nullptr));
    EXPECT_EQ(dwWritten, 2u);
}

TEST_F(SerialPortTest, WaitCommEventPendsUntilACharacterArrives) {
    ASSERT_TRUE(SetCommMask(m_hPort, EV_RXCHAR));
    DWORD dwMask = 0xDEAD;
    Overlapped o;
    ASSERT_FALSE(WaitCommEvent(m_hPort, &dwMask, &o.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(o.Signalled(20));
    // Only one wait per port.
    DWORD dwOther = 0;
    Overlapped o2;
    EXPECT_FALSE(WaitCommEvent(m_hPort, &dwOther, &o2.ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_EQ(m_pty.Write("!", 1), 1u);
    ASSERT_TRUE(o.Signalled(5000));
    DWORD dwCount = 0;
    EXPECT_TRUE(GetOverlappedResult(m_hPort, &o.ov, &dwCount, FALSE));
    EXPECT_EQ(dwMask, EV_RXCHAR);

    // With a byte already waiting, the wait completes at once.
    dwMask = 0;
    EXPECT_TRUE(WaitCommEvent(m_hPort, &dwMask, &o.ov));
    EXPECT_EQ(dwMask, EV_RXCHAR);
    COMSTAT stat{};
    DWORD dwErrors = 1;
    ASSERT_TRUE(ClearCommError(m_hPort, &dwErrors, &stat));
    EXPECT_EQ(dwErrors, 0u);
    EXPECT_EQ(stat.cbInQue, 1u);
}

TEST_F(SerialPortTest, SetCommMaskEndsTheWaitBeforeItReturns) {
    ASSERT_TRUE(SetCommMask(m_hPort, EV_RXCHAR));
    // The caller frees its record and mask right after SetCommMask returns;
    // the sanitizer build catches any later access.
    auto pOv = std::make_unique<OVERLAPPED>();
    auto pMask = std::make_unique<DWORD>(0xDEAD);
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pOv->hEvent = hEvent;
    ASSERT_FALSE(WaitCommEvent(m_hPort, pMask.get(), pOv.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(SetCommMask(m_hPort, EV_RXCHAR));
    EXPECT_EQ(WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(*pMask, 0u);
    DWORD dwCount = 0;
    EXPECT_TRUE(GetOverlappedResult(m_hPort, pOv.get(), &dwCount, FALSE));
    pOv.reset();
    pMask.reset();
    CloseHandle(hEvent);
    ASSERT_EQ(m_pty.Write("late", 4), 4u);
    EXPECT_EQ(WaitInQueue(4), 4u);
    DWORD dwMask = 0;
    EXPECT_TRUE(GetCommMask(m_hPort, &dwMask));
    EXPECT_EQ(dwMask, EV_RXCHAR);
}

TEST_F(SerialPortTest, PurgeAbortsPendingWorkAndClearsQueues) {
    SetTimeouts(0, 0, 0);
    ASSERT_TRUE(SetCommMask(m_hPort, EV_RXCHAR));
    char buf[16];
    DWORD dwRead = 0, dwMask = 0;
    Overlapped r, e;
    ASSERT_FALSE(WaitCommEvent(m_hPort, &dwMask, &e.ov));
    ASSERT_FALSE(ReadFile(m_hPort, buf, sizeof buf, &dwRead, &r.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(PurgeComm(m_hPort, PURGE_RXABORT | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_TRUE(r.Signalled(0));
    EXPECT_TRUE(e.Signalled(0));
    EXPECT_FALSE(GetOverlappedResult(m_hPort, &r.ov, &dwRead, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(GetOverlappedResult(m_hPort, &e.ov, &dwRead, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    ASSERT_EQ(m_pty.Write("stale", 5), 5u);
    ASSERT_EQ(WaitInQueue(5), 5u);
    ASSERT_TRUE(PurgeComm(m_hPort, PURGE_RXCLEAR));
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(m_hPort, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_FALSE(PurgeComm(m_hPort, 0x10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // The seam makes PurgeComm fail once with the chosen error.
    platform::InjectFault("PurgeComm", ERROR_OPERATION_ABORTED, 0, 1);
    EXPECT_FALSE(PurgeComm(m_hPort, 0x0F));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(PurgeComm(m_hPort, 0x0F));
}

TEST_F(SerialPortTest, CloseAbortsPendingWorkAndReleasesThePort) {
    SetTimeouts(0, 0, 0);
    ASSERT_TRUE(SetCommMask(m_hPort, EV_RXCHAR));
    char buf[16];
    DWORD dwRead = 0, dwMask = 0;
    Overlapped r, e;
    ASSERT_FALSE(ReadFile(m_hPort, buf, sizeof buf, &dwRead, &r.ov));
    ASSERT_FALSE(WaitCommEvent(m_hPort, &dwMask, &e.ov));
    HANDLE hClosed = m_hPort;
    ASSERT_TRUE(CloseHandle(m_hPort));
    m_hPort = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(r.Signalled(0));
    EXPECT_TRUE(e.Signalled(0));
    EXPECT_FALSE(GetOverlappedResult(hClosed, &r.ov, &dwRead, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(GetOverlappedResult(hClosed, &e.ov, &dwRead, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    // The port is free again, and a blocking read on another thread is
    // released by the close.
    HANDLE hSync = OpenCom(m_pty.Port(), 0);
    ASSERT_NE(hSync, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t = {0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(hSync, &t));
    std::atomic<BOOL> bResult{TRUE};
    std::atomic<DWORD> dwError{0};
    std::thread reader([&] {
        char b[4];
        DWORD n = 0;
        bResult = ReadFile(hSync, b, sizeof b, &n, nullptr);
        dwError = GetLastError();
    });
    // Give the reader time to block; if it has not, its read fails with
    // ERROR_INVALID_HANDLE instead, which is also correct.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(CloseHandle(hSync));
    reader.join();
    EXPECT_FALSE(bResult.load());
    EXPECT_TRUE(dwError == ERROR_OPERATION_ABORTED || dwError == ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ClearCommError(hSync, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A close waits for output only as long as the line needs to send it: with
// a peer that takes nothing it returns promptly and the rest is gone; with a
// peer that reads, bytes written just before the close arrive whole.
TEST_F(SerialPortTest, CloseIsBoundedWithAStalledPeerAndCompleteWithAReadingOne) {
    std::vector<char> big(1 << 20, 'x');
    DWORD dwWritten = 0;
    Overlapped w;
    ASSERT_FALSE(WriteFile(m_hPort, big.data(), static_cast<DWORD>(big.size()), &dwWritten, &w.ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    auto start = Clock::now();
    ASSERT_TRUE(CloseHandle(m_hPort));
    m_hPort = INVALID_HANDLE_VALUE;
    EXPECT_LT(ElapsedMs(start), 250);
    size_t cbArrived = 0;
    char buf[65536];
    while (DWORD n = m_pty.Read(buf, sizeof buf, 20))
        cbArrived += n;
    EXPECT_LT(cbArrived, big.size());

    m_hPort = OpenCom(m_pty.Port(), 0);  // blocking: each write is handed over whole
    ASSERT_NE(m_hPort, INVALID_HANDLE_VALUE);
    std::vector<char> sent(200000);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i * 7);
    std::string got;
    std::thread peer([&] {
        while (got.size() < sent.size()) {
            DWORD n = m_pty.Read(buf, sizeof buf, 2000);
            if (n == 0)
                break;
            got.append(buf, n);
        }
    });
    ASSERT_TRUE(
        WriteFile(m_hPort, sent.data(), static_cast<DWORD>(sent.size()), &dwWritten, nullptr));
    ASSERT_TRUE(CloseHandle(m_hPort));
    m_hPort = INVALID_HANDLE_VALUE;
    peer.join();
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == std::string(sent.begin(), sent.end()));
}

TEST_F(SerialPortTest, VanishingWhileIdleIsNoticedByTheNextCall) {
    m_pty.Close();
    EXPECT_FALSE(PurgeComm(m_hPort, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(SerialPortTest, VanishedDeviceFailsEverythingWithoutBlocking) {
    ASSERT_TRUE(SetCommMask(m_hPort, EV_RXCHAR));
    SetTimeouts(0, 0, 0);
    DWORD dwMask = 0;
    Overlapped e;
    ASSERT_FALSE(WaitCommEvent(m_hPort, &dwMask, &e.ov));
    m_pty.Close();  // the peer goes away: the device vanishes
    ASSERT_TRUE(e.Signalled(5000));
    DWORD dwCount = 0;
    EXPECT_FALSE(GetOverlappedResult(m_hPort, &e.ov, &dwCount, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    auto t0 = Clock::now();
    char buf[8];
    DWORD n = 0;
    Overlapped o;
    EXPECT_FALSE(ReadFile(m_hPort, buf, sizeof buf, &n, &o.ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(WriteFile(m_hPort, "x", 1, &n, &o.ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ClearCommError(m_hPort, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    DCB dcb{};
    EXPECT_FALSE(GetCommState(m_hPort, &dcb));
    EXPECT_FALSE(WaitCommEvent(m_hPort, &dwMask, &o.ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(ElapsedMs(t0), 1000);
    EXPECT_TRUE(CloseHandle(m_hPort));
    m_hPort = INVALID_HANDLE_VALUE;
}

// Bytes i of the stream: a sequence that reveals loss, duplication and
// reordering alike.
unsigned char Pattern(size_t i, unsigned seed) {
    return static_cast<unsigned char>((i * 131u + (i >> 9) * 7u + seed) & 0xFF);
}

TEST_F(SerialPortTest, FourMebibytesEachWayArriveCompleteAndInOrder) {
    constexpr size_t kTotal = 4u << 20;
    SetTimeouts(kAllOnes, 0, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(m_hPort, EV_RXCHAR));
    std::vector<unsigned char> toPort(kTotal), toPeer(kTotal);
    for (size_t i = 0; i < kTotal; ++i) {
        toPort[i] = Pattern(i, 1);
        toPeer[i] = Pattern(i, 5);
    }
    std::vector<unsigned char> peerGot;
    peerGot.reserve(kTotal);
    std::atomic<bool> bWriteOk{true};

    std::thread peerWriter([&] {
        if (m_pty.Write(toPort.data(), kTotal, 30000) != kTotal)
            bWriteOk = false;
    });
    std::thread peerReader([&] {
        std::vector<unsigned char> chunk(65536);
        auto deadline = Clock::now() + std::chrono::seconds(60);
        while (peerGot.size() < kTotal && Clock::now() < deadline) {
            DWORD n = m_pty.Read(chunk.data(), static_cast<DWORD>(chunk.size()), 1000);
            peerGot.insert(peerGot.end(), chunk.begin(), chunk.begin() + n);
        }
    });
    std::thread portWriter([&] {
        Overlapped w;
        size_t done = 0;
        while (done < kTotal) {
            DWORD cb = static_cast<DWORD>(std::min<size_t>(kTotal - done, 50000));
            DWORD n = 0;
            if (!WriteFile(m_hPort, toPeer.data() + done, cb, &n, &w.ov)) {
                if (GetLastError() != ERROR_IO_PENDING ||
                    !GetOverlappedResult(m_hPort, &w.ov, &n, TRUE)) {
                    bWriteOk = false;
                    return;
                }
            }
            done += n;
        }
    });

    // The receive loop the channel runs: ask how much is waiting, read
    // exactly that, else wait for a character.
    std::vector<unsigned char> got;
    got.reserve(kTotal);
    std::vector<unsigned char> block(1 << 16);
    Overlapped r, e;
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (got.size() < kTotal && Clock::now() < deadline) {
        COMSTAT stat{};
        DWORD dwErrors = 0;
        ASSERT_TRUE(ClearCommError(m_hPort, &dwErrors, &stat));
        if (stat.cbInQue > 0) {
            DWORD cb = std::min<DWORD>(stat.cbInQue, static_cast<DWORD>(block.size()));
            DWORD n = 0;
            if (!ReadFile(m_hPort, block.data(), cb, &n, &r.ov)) {
                ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
                ASSERT_TRUE(GetOverlappedResult(m_hPort, &r.ov, &n, TRUE));
            }
            got.insert(got.end(), block.begin(), block.begin() + n);
            continue;
        }
        DWORD dwMask = 0;
        if (!WaitCommEvent(m_hPort, &dwMask, &e.ov)) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            DWORD dummy = 0;
            GetOverlappedResult(m_hPort, &e.ov, &dummy, TRUE);
        }
    }
    peerWriter.join();
    portWriter.join();
    peerReader.join();
    EXPECT_TRUE(bWriteOk.load());
    ASSERT_EQ(got.size(), kTotal);
    EXPECT_TRUE(got == toPort);
    ASSERT_EQ(peerGot.size(), kTotal);
    EXPECT_TRUE(peerGot == toPeer);
}

}  // namespace
