// Pseudo-terminal pairs (see pseudo_terminal.h).
#include "platform/ext/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "error_from_errno.h"
#include "fault_hit.h"
#include "platform/ext/com_port_map.h"
#include "platform/win_error.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, at least 0.
int Remaining(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

PseudoTerminal::~PseudoTerminal() {
    Close();
}

BOOL PseudoTerminal::Open(DWORD dwPort) {
    if (FaultHit("PseudoTerminal::Open"))
        return FALSE;
    Close();
    int nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (nMaster < 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    char szName[128];
    int nSlave = -1;
    auto fail = [&](int err) {
        DWORD dwError = ErrorFromErrno(err);
        if (nSlave >= 0)
            close(nSlave);
        close(nMaster);
        SetLastError(dwError);
        return FALSE;
    };
    if (grantpt(nMaster) != 0 || unlockpt(nMaster) != 0)
        return fail(errno);
    int err = ptsname_r(nMaster, szName, sizeof szName);
    if (err != 0)
        return fail(err);
    // The slave is made raw on a descriptor that stays open for the pair's
    // life: the line discipline keeps its settings only while the slave is
    // open, and the master would see a hang-up between openers.
    nSlave = open(szName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (nSlave < 0)
        return fail(errno);
    struct termios tio;
    if (tcgetattr(nSlave, &tio) != 0)
        return fail(errno);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(nSlave, TCSANOW, &tio) != 0)
        return fail(errno);
    // The master is non-blocking: Read and Write bound their waits with
    // poll(), and a caller that polls MasterFd() never blocks in read().
    int nFlags = fcntl(nMaster, F_GETFL);
    if (nFlags < 0 || fcntl(nMaster, F_SETFL, nFlags | O_NONBLOCK) != 0)
        return fail(errno);

    m_nMaster = nMaster;
    m_nSlaveKeepAlive = nSlave;
    m_slavePath = szName;
    m_dwPort = 0;
    if (dwPort != 0xFFFFFFFFu) {
        // The kernel never hands out a slave name in use, so an entry that
        // names it already belongs to an owner that died without cleaning up
        // (a killed simulator): it would alias this new device.
        UnregisterComPortsOf(m_slavePath);
        DWORD dwRegistered = RegisterComPort(dwPort, m_slavePath);
        if (dwRegistered == 0) {
            DWORD dwError = GetLastError();
            Close();
            SetLastError(dwError);
            return FALSE;
        }
        m_dwPort = dwRegistered;
    }
    return TRUE;
}

void PseudoTerminal::Close() {
    if (m_dwPort != 0) {
        // Remove the entry only while it still names our slave: the number
        // may have been handed to someone else in the meantime.
        if (ResolveComPort(m_dwPort) == m_slavePath)
            UnregisterComPort(m_dwPort);
        m_dwPort = 0;
    }
    if (m_nMaster >= 0)
        close(m_nMaster);
    if (m_nSlaveKeepAlive >= 0)
        close(m_nSlaveKeepAlive);
    m_nMaster = -1;
    m_nSlaveKeepAlive = -1;
    m_slavePath.clear();
}

BOOL PseudoTerminal::HoldExclusive(bool bHold) {
    // A COM port open takes an exclusive flock on the device; holding one on
    // the kept slave descriptor makes every such open fail.
    if (m_nSlaveKeepAlive < 0 ||
        flock(m_nSlaveKeepAlive, bHold ? LOCK_EX | LOCK_NB : LOCK_UN) != 0) {
        SetLastErrorFromErrno(m_nSlaveKeepAlive < 0 ? EBADF : errno);
        return FALSE;
    }
    return TRUE;
}

DWORD PseudoTerminal::Write(const void* lpData, DWORD cb, DWORD dwTimeoutMs) {
    if (m_nMaster < 0 || (lpData == nullptr && cb != 0))
        return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(dwTimeoutMs);
    const char* p = static_cast<const char*>(lpData);
    DWORD dwDone = 0;
    while (dwDone < cb) {
        ssize_t n = ::write(m_nMaster, p + dwDone, cb - dwDone);
        if (n > 0) {
            dwDone += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            break;
        int nLeft = Remaining(deadline);
        if (nLeft == 0)
            break;
        struct pollfd pfd = {m_nMaster, POLLOUT, 0};
        if (poll(&pfd, 1, nLeft) < 0 && errno != EINTR)
            break;
    }
    return dwDone;
}

DWORD PseudoTerminal::Read(void* lpData, DWORD cb, DWORD dwTimeoutMs) {
    if (m_nMaster < 0 || lpData == nullptr || cb == 0)
        return 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(dwTimeoutMs);
    for (;;) {
        ssize_t n = ::read(m_nMaster, lpData, cb);
        if (n > 0)
            return static_cast<DWORD>(n);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN)
            return 0;
        int nLeft = Remaining(deadline);
        if (nLeft == 0)
            return 0;
        struct pollfd pfd = {m_nMaster, POLLIN, 0};
        if (poll(&pfd, 1, nLeft) < 0 && errno != EINTR)
            return 0;
    }
}

}  // namespace platform
