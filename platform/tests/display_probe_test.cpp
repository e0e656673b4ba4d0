// Display server probes against real sockets: a Unix socket standing in for
// a Wayland compositor, a TCP listener on loopback for a remote X display,
// and a real X server (Xvfb) on its local socket.
#include "platform/ext/display_probe.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/win_error.h"
#include "temp_dir.h"

namespace {

// A listening Unix socket at a path; closed (the file left behind, as a
// compositor that died leaves it) by Close.
class UnixListener {
public:
    explicit UnixListener(const std::string& strPath) {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, strPath.c_str(), sizeof addr.sun_path - 1);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(m_fd, 4) != 0)
            Close();
    }
    ~UnixListener() { Close(); }
    UnixListener(const UnixListener&) = delete;
    UnixListener& operator=(const UnixListener&) = delete;
    bool Ok() const { return m_fd >= 0; }
    void Close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* lpszName, const char* lpszValue) : m_strName(lpszName) {
        const char* lpszOld = ::getenv(lpszName);
        m_bHad = lpszOld != nullptr;
        if (m_bHad)
            m_strOld = lpszOld;
        if (lpszValue != nullptr)
            ::setenv(lpszName, lpszValue, 1);
        else
            ::unsetenv(lpszName);
    }
    ~ScopedEnv() {
        if (m_bHad)
            ::setenv(m_strName.c_str(), m_strOld.c_str(), 1);
        else
            ::unsetenv(m_strName.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_strName, m_strOld;
    bool m_bHad;
};

TEST(DisplayProbe, WaylandSocketByPathAndByNameInTheRuntimeDirectory) {
    TempDir dir;
    const std::string path = dir.Path("wayland-7");
    UnixListener compositor(path);
    ASSERT_TRUE(compositor.Ok());
    EXPECT_TRUE(platform::CanConnectWaylandDisplay(path.c_str(), 1000));
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", dir.Dir().c_str());
        EXPECT_TRUE(platform::CanConnectWaylandDisplay("wayland-7", 1000));
        // Without a name the client library's default name is used.
        EXPECT_FALSE(platform::CanConnectWaylandDisplay(nullptr, 1000));
        UnixListener standard(dir.Path("wayland-0"));
        ASSERT_TRUE(standard.Ok());
        EXPECT_TRUE(platform::CanConnectWaylandDisplay("", 1000));
        EXPECT_FALSE(platform::CanConnectWaylandDisplay("wayland-8", 1000));
    }
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
        EXPECT_FALSE(platform::CanConnectWaylandDisplay("wayland-7", 1000));
        EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
    }
    // A socket file nobody listens on any more.
    compositor.Close();
    EXPECT_FALSE(platform::CanConnectWaylandDisplay(path.c_str(), 1000));
    EXPECT_FALSE(platform::CanConnectWaylandDisplay(("/" + std::string(200, 'x')).c_str(), 1000));
}

TEST(DisplayProbe, RemoteX11DisplayOverTcpOnLoopback) {
    // A listener on the first free port from 6000 + 150 on.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    int nDisplay = -1;
    for (int n = 150; n < 250 && nDisplay < 0; ++n) {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(6000 + n));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            nDisplay = n;
    }
    ASSERT_GE(nDisplay, 0);
    ASSERT_EQ(0, ::listen(fd, 4));
    const std::string n = std::to_string(nDisplay);
    for (const std::string& name :
         {"127.0.0.1:" + n, "127.0.0.1:" + n + ".0", "tcp/127.0.0.1:" + n, "inet/127.0.0.1:" + n})
        EXPECT_TRUE(platform::CanConnectX11Display(name.c_str(), 1000)) << name;
    ::close(fd);
    EXPECT_FALSE(platform::CanConnectX11Display(("127.0.0.1:" + n).c_str(), 1000));
    EXPECT_FALSE(platform::CanConnectX11Display("no-such-host.invalid:0", 1000));
    EXPECT_EQ(ERROR_DEV_NOT_EXIST, GetLastError());
    for (const char* lpszName : {"", "abc", ":", ":x", ":1.y", "host::0", ":99999999", "h:70000"}) {
        EXPECT_FALSE(platform::CanConnectX11Display(lpszName, 1000)) << lpszName;
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError()) << lpszName;
    }
    EXPECT_FALSE(platform::CanConnectX11Display(nullptr, 1000));
}

TEST(DisplayProbe, LocalX11DisplayOfARealServerUntilItStops) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
        if (fds[1] != 3) {
            ::dup2(fds[1], 3);
            ::close(fds[1]);
        }
        ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    // Xvfb writes its display number once it takes connections.
    std::string number;
    pollfd pfd = {fds[0], POLLIN, 0};
    char c;
    while (::poll(&pfd, 1, 10000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    ::close(fds[0]);
    if (number.empty()) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        GTEST_SKIP() << "Xvfb did not start";
    }
    const std::string display = ":" + number;
    EXPECT_TRUE(platform::CanConnectX11Display(display.c_str(), 1000));
    EXPECT_TRUE(platform::CanConnectX11Display(("unix" + display + ".0").c_str(), 1000));
    // Its TCP port is closed (-nolisten tcp).
    EXPECT_FALSE(platform::CanConnectX11Display(("tcp/localhost" + display).c_str(), 1000));
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    EXPECT_FALSE(platform::CanConnectX11Display(display.c_str(), 1000));
}

}  // namespace
