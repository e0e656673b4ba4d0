// The COM port map: where it lives, explicit entries, first-free numbers
// under contention, dangling and foreign entries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "fake_serial_hardware.h"
#include "platform/ext/com_port_map.h"
#include "platform/ext/pseudo_terminal.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "platform/win_handle.h"
#include "platform_testing/fault_injection.h"
#include "temp_com_map.h"

namespace {

using platform::ComPortEntry;

// Numbers taken right now (hardware included), so expectations hold on a
// machine with real serial ports as well as in a container.
std::set<DWORD> TakenNumbers() {
    std::set<DWORD> taken;
    for (const ComPortEntry& e : platform::ListComPorts())
        taken.insert(e.dwPort);
    return taken;
}

DWORD LowestFreeAbove(const std::set<DWORD>& taken, DWORD dwAfter) {
    DWORD n = dwAfter + 1;
    while (taken.count(n) != 0)
        ++n;
    return n;
}

class EnvVar {
public:
    explicit EnvVar(const char* lpszName) : m_name(lpszName) {
        const char* v = getenv(lpszName);
        m_bHad = v != nullptr;
        if (m_bHad)
            m_value = v;
    }
    ~EnvVar() {
        if (m_bHad) {
            setenv(m_name.c_str(), m_value.c_str(), 1);
        } else {
            unsetenv(m_name.c_str());
        }
    }
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;

private:
    std::string m_name, m_value;
    bool m_bHad = false;
};

TEST(ComPortMap, DirectoryFollowsTheEnvironmentInOrder) {
    EnvVar keepMap("COMPORT_MAP_DIR");
    EnvVar keepXdg("XDG_RUNTIME_DIR");
    setenv("COMPORT_MAP_DIR", "/some/map", 1);
    setenv("XDG_RUNTIME_DIR", "/run/user/77", 1);
    EXPECT_EQ(platform::ComPortMapDir(), "/some/map");
    setenv("COMPORT_MAP_DIR", "", 1);  // empty counts as unset
    EXPECT_EQ(platform::ComPortMapDir(), "/run/user/77/comports");
    unsetenv("COMPORT_MAP_DIR");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(platform::ComPortMapDir(), "/tmp/comports-" + std::to_string(getuid()));
}

TEST(ComPortMap, ExplicitEntriesRegisterResolveAndUnregister) {
    TempComMap map;
    std::set<DWORD> taken = TakenNumbers();
    DWORD n = LowestFreeAbove(taken, 40);
    EXPECT_EQ(platform::ResolveComPort(n), "");
    ASSERT_EQ(platform::RegisterComPort(n, "/dev/null"), n);
    EXPECT_EQ(platform::ResolveComPort(n), "/dev/null");
    // A taken number is refused, not overwritten.
    EXPECT_EQ(platform::RegisterComPort(n, "/dev/zero"), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(platform::ResolveComPort(n), "/dev/null");

    std::vector<ComPortEntry> list = platform::ListComPorts();
    auto it = std::find_if(list.begin(), list.end(),
                           [n](const ComPortEntry& e) { return e.dwPort == n; });
    ASSERT_NE(it, list.end());
    EXPECT_EQ(it->device, "/dev/null");
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end(),
                               [](const auto& a, const auto& b) { return a.dwPort < b.dwPort; }));

    EXPECT_TRUE(platform::UnregisterComPort(n));
    EXPECT_EQ(platform::ResolveComPort(n), "");
    EXPECT_FALSE(platform::UnregisterComPort(n));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(ComPortMap, ZeroTakesTheLowestFreeNumberAndSkipsDanglingEntries) {
    TempComMap map;
    std::set<DWORD> taken = TakenNumbers();
    DWORD first = LowestFreeAbove(taken, 0);
    DWORD second = LowestFreeAbove(taken, first);
    DWORD third = LowestFreeAbove(taken, second);
    // A stale entry whose device is gone does not resolve, is not listed,
    // and still holds its number.
    ASSERT_EQ(
        symlink("/dev/pts/does-not-exist", (map.Dir() + "/COM" + std::to_string(first)).c_str()),
        0);
    EXPECT_EQ(platform::ResolveComPort(first), "");
    EXPECT_EQ(TakenNumbers().count(first), 0u);
    EXPECT_EQ(platform::RegisterComPort(0, "/dev/null"), second);
    EXPECT_EQ(platform::RegisterComPort(0, "/dev/zero"), third);
    EXPECT_EQ(platform::ResolveComPort(third), "/dev/zero");
}

TEST(ComPortMap, ConcurrentRegistrationsNeverShareANumber) {
    TempComMap map;
    constexpr int kThreads = 8;
    std::vector<DWORD> got(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        // A device of its own each: one device gets one number.
        const std::string device = map.Dir() + "/device-" + std::to_string(i);
        { std::ofstream(device) << ""; }
        threads.emplace_back([&got, i, device] { got[i] = platform::RegisterComPort(0, device); });
    }
    for (std::thread& t : threads)
        t.join();
    std::set<DWORD> distinct(got.begin(), got.end());
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads));
    EXPECT_EQ(distinct.count(0), 0u);
}

TEST(ComPortMap, RelativeTargetsAndForeignFiles) {
    TempComMap map;
    DWORD n = LowestFreeAbove(TakenNumbers(), 60);
    std::string entry = map.Dir() + "/COM" + std::to_string(n);
    // A relative target is taken from the map directory.
    { std::ofstream(map.Dir() + "/fake-tty") << "x"; }
    ASSERT_EQ(symlink("fake-tty", entry.c_str()), 0);
    EXPECT_EQ(platform::ResolveComPort(n), map.Dir() + "/fake-tty");
    // Only symlinks are entries: a plain file is neither resolved nor removed.
    DWORD m = LowestFreeAbove(TakenNumbers(), n);
    std::string plain = map.Dir() + "/COM" + std::to_string(m);
    { std::ofstream(plain) << "not a link"; }
    EXPECT_EQ(platform::ResolveComPort(m), "");
    EXPECT_FALSE(platform::UnregisterComPort(m));
    EXPECT_EQ(access(plain.c_str(), F_OK), 0);
}

TEST(ComPortMap, ExplicitEntryWinsOverHardwareNumber) {
    TempComMap map;
    FakeSerialHardware hw;
    hw.Plug("ttyUSB0", "/dev/null", "usb-Adapter-if00-port0");
    std::vector<ComPortEntry> hardware = platform::ListComPorts();
    ASSERT_EQ(hardware.size(), 1u);
    DWORD n = hardware.front().dwPort;
    ASSERT_EQ(platform::RegisterComPort(n, "/dev/zero"), n);
    EXPECT_EQ(platform::ResolveComPort(n), "/dev/zero");
    // The hardware port is not listed a second time under another number.
    ASSERT_TRUE(platform::UnregisterComPort(n));
    DWORD m = LowestFreeAbove(TakenNumbers(), 100);
    ASSERT_EQ(platform::RegisterComPort(m, hardware.front().device), m);
    std::vector<ComPortEntry> list = platform::ListComPorts();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().dwPort, m);
}

// Entries naming device, from the list.
int Naming(const std::string& device) {
    int n = 0;
    for (const ComPortEntry& e : platform::ListComPorts())
        n += e.device == device;
    return n;
}

std::string LinkTarget(const std::string& path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Another process registers a pseudo-terminal and dies without unregistering
// while the test holds the pipe's read end open for its number; the name may
// then go to any other program's terminal.
TEST(ComPortStaleEntries, ADeadOwnersEntryNeverNamesTheNextTerminalOfItsName) {
    TempComMap map;
    for (int nTry = 0; nTry < 5; ++nTry) {
        int toParent[2], toChild[2];
        ASSERT_EQ(pipe(toParent), 0);
        ASSERT_EQ(pipe(toChild), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(toParent[0]);
            close(toChild[1]);
            platform::PseudoTerminal pty;
            DWORD n = pty.Open(0xFFFFFFFFu) ? platform::RegisterComPort(0, pty.SlavePath()) : 0;
            (void)!write(toParent[1], &n, sizeof n);
            char c;
            (void)!read(toChild[0], &c, 1);  // until the test lets it die
            _exit(0);                        // no clean-up, as when killed
        }
        close(toParent[1]);
        close(toChild[0]);
        DWORD n = 0;
        ASSERT_EQ(read(toParent[0], &n, sizeof n), static_cast<ssize_t>(sizeof n));
        close(toParent[0]);
        ASSERT_NE(n, 0u);
        const std::string entry = map.Dir() + "/COM" + std::to_string(n);
        const std::string oldPath = platform::ResolveComPort(n);
        EXPECT_EQ(LinkTarget(entry), oldPath);  // alive: listed
        EXPECT_EQ(Naming(oldPath), 1);
        close(toChild[1]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        platform::PseudoTerminal unrelated;  // registers nothing
        ASSERT_TRUE(unrelated.Open(0xFFFFFFFFu));
        if (unrelated.SlavePath() != oldPath)
            continue;  // another process took the name meanwhile
        EXPECT_EQ(platform::ResolveComPort(n), "");
        EXPECT_EQ(Naming(oldPath), 0);
        std::wstring com = L"\\\\.\\COM" + std::to_wstring(n);
        HANDLE h = CreateFileW(com.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               0, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << "opened another program's terminal";
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        EXPECT_NE(LinkTarget(entry), oldPath) << "the stale entry was left behind";
        // The number is free again, and an entry made there by hand is kept.
        ASSERT_EQ(symlink("/dev/zero", entry.c_str()), 0);
        EXPECT_EQ(platform::ResolveComPort(n), "/dev/zero");
        EXPECT_EQ(Naming("/dev/zero"), 1);
        return;
    }
    GTEST_SKIP() << "the kernel never reused the slave name";
}

TEST(ComPortStaleEntries, OneDeviceGetsOneNumber) {
    TempComMap map;
    platform::PseudoTerminal pty;
    ASSERT_TRUE(pty.Open(0xFFFFFFFFu));
    // Registered again (a new owner of a reused name): the old entry goes.
    const DWORD dwFirst = platform::RegisterComPort(0, pty.SlavePath());
    ASSERT_NE(dwFirst, 0u);
    const DWORD dwSecond = platform::RegisterComPort(dwFirst + 5, pty.SlavePath());
    ASSERT_EQ(dwSecond, dwFirst + 5);
    EXPECT_EQ(platform::ResolveComPort(dwFirst), "");
    EXPECT_EQ(Naming(pty.SlavePath()), 1);
    EXPECT_NE(platform::RegisterComPort(0, pty.SlavePath()), 0u);
    EXPECT_EQ(Naming(pty.SlavePath()), 1);
    // An entry made by hand is the user's: a registration of its device is
    // refused and the entry stays as it was.
    const DWORD dwHand = LowestFreeAbove(TakenNumbers(), 20);
    const std::string hand = map.Dir() + "/COM" + std::to_string(dwHand);
    ASSERT_EQ(symlink("/dev/zero", hand.c_str()), 0);
    EXPECT_EQ(platform::RegisterComPort(0, "/dev/zero"), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(platform::ResolveComPort(dwHand), "/dev/zero");
    EXPECT_EQ(Naming("/dev/zero"), 1);
}

// Whether some process waits for an flock on the file at path (a "->"
// line of /proc/locks names its inode), waiting up to five seconds.
bool SomeoneWaitsForLock(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            if (line.find("->") != std::string::npos && line.find("FLOCK") != std::string::npos &&
                line.find(inode) != std::string::npos)
                return true;
        }
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

// A helper clears a dead owner's entries of its new slave, while another
// process registers the number that one of them held: the new entry stays.
TEST(ComPortStaleEntries, AnEntryRegisteredDuringAClearOfItsNumberIsKept) {
    TempComMap map;
    const DWORD n = platform::RegisterComPort(0, "/dev/null");
    ASSERT_NE(n, 0u);
    const std::string entry = map.Dir() + "/COM" + std::to_string(n);
    // The other process holds the map's lock (as its registration does).
    const std::string lockPath = map.Dir() + "/.hardware-numbers.lock";
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    std::thread clear([] { platform::UnregisterComPortsOf("/dev/null"); });
    const bool bWaiting = SomeoneWaitsForLock(lockPath);
    if (bWaiting) {
        // Meanwhile the old entry went and the number went to another device.
        EXPECT_TRUE(platform::UnregisterComPort(n));
        EXPECT_EQ(symlink("/dev/zero", entry.c_str()), 0);
    }
    flock(fd, LOCK_UN);
    close(fd);
    clear.join();
    ASSERT_TRUE(bWaiting) << "the clear never waited for the map's lock";
    EXPECT_EQ(platform::ResolveComPort(n), "/dev/zero") << "the new entry was removed";
    platform::UnregisterComPortsOf("/dev/zero");
    EXPECT_EQ(platform::ResolveComPort(n), "");
}

TEST(ComPortMap, RegistrationFailureIsInjectable) {
    TempComMap map;
    platform::InjectFault("RegisterComPort", ERROR_DISK_FULL, 0, 1);
    EXPECT_EQ(platform::RegisterComPort(0, "/dev/null"), 0u);
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_NE(platform::RegisterComPort(0, "/dev/null"), 0u);
    platform::ClearFaults();
}

}  // namespace
