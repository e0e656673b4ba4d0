// The native socket calls behind Windows Sockets (see socket_object.h). The
// only file of Windows Sockets that includes the system's socket headers
// (display_probe.cpp, outside it, has its own connection probes).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/win_error.h"
#include "socket_object.h"

namespace platform {
namespace net {
namespace {

// Windows Sockets values, as in platform/winsock.h (which cannot be included
// beside the system's headers).
constexpr DWORD kWsaEintr = 10004, kWsaEbadf = 10009, kWsaEacces = 10013, kWsaEfault = 10014,
                kWsaEinval = 10022, kWsaEmfile = 10024, kWsaEwouldblock = 10035,
                kWsaEinprogress = 10036, kWsaEalready = 10037, kWsaEnotsock = 10038,
                kWsaEmsgsize = 10040, kWsaEprotonosupport = 10043, kWsaEopnotsupp = 10045,
                kWsaEafnosupport = 10047, kWsaEaddrinuse = 10048, kWsaEaddrnotavail = 10049,
                kWsaEnetdown = 10050, kWsaEnetunreach = 10051, kWsaEconnaborted = 10053,
                kWsaEconnreset = 10054, kWsaEnobufs = 10055, kWsaEisconn = 10056,
                kWsaEnotconn = 10057, kWsaEshutdown = 10058, kWsaEtimedout = 10060,
                kWsaEconnrefused = 10061, kWsaEhostunreach = 10065;

bool Fail(int err) {
    SetLastError(WsaError(err));
    return false;
}

}  // namespace

DWORD WsaError(int err) {
    switch (err) {
        case EINTR:
            return kWsaEintr;
        case EBADF:
            return kWsaEbadf;
        case EACCES:
        case EPERM:
            return kWsaEacces;
        case EFAULT:
            return kWsaEfault;
        case EINVAL:
            return kWsaEinval;
        case EMFILE:
        case ENFILE:
            return kWsaEmfile;
        case EAGAIN:
            return kWsaEwouldblock;
        case EINPROGRESS:
            return kWsaEinprogress;
        case EALREADY:
            return kWsaEalready;
        case ENOTSOCK:
            return kWsaEnotsock;
        case EMSGSIZE:
            return kWsaEmsgsize;
        case EPROTONOSUPPORT:
            return kWsaEprotonosupport;
        case EOPNOTSUPP:
            return kWsaEopnotsupp;
        case EAFNOSUPPORT:
            return kWsaEafnosupport;
        case EADDRINUSE:
            return kWsaEaddrinuse;
        case EADDRNOTAVAIL:
            return kWsaEaddrnotavail;
        case ENETDOWN:
            return kWsaEnetdown;
        case ENETUNREACH:
            return kWsaEnetunreach;
        case ECONNABORTED:
            return kWsaEconnaborted;
        case ECONNRESET:
        case EPIPE:
            return kWsaEconnreset;
        case ENOBUFS:
        case ENOMEM:
            return kWsaEnobufs;
        case EISCONN:
            return kWsaEisconn;
        case ENOTCONN:
            return kWsaEnotconn;
        case ESHUTDOWN:
            return kWsaEshutdown;
        case ETIMEDOUT:
            return kWsaEtimedout;
        case ECONNREFUSED:
            return kWsaEconnrefused;
        case EHOSTUNREACH:
            return kWsaEhostunreach;
        default:
            return kWsaEinval;
    }
}

int Socket(int af, int type, int protocol) {
    if (af != AF_INET) {
        SetLastError(kWsaEafnosupport);
        return -1;
    }
    int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        Fail(errno);
        return -1;
    }
    // Windows lets a port whose last connection waits in TIME_WAIT be bound
    // again at once; a port with a listening socket stays refused.
    int nOn = 1;
    if (type == SOCK_STREAM)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
    return fd;
}

bool Bind(int fd, const void* pAddr, int nLen) {
    if (pAddr == nullptr || nLen < static_cast<int>(sizeof(sockaddr_in))) {
        SetLastError(kWsaEfault);
        return false;
    }
    sockaddr_in addr;
    std::memcpy(&addr, pAddr, sizeof addr);
    if (addr.sin_family != AF_INET) {
        SetLastError(kWsaEafnosupport);
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return Fail(errno);
    return true;
}

bool Listen(int fd, int nBacklog) {
    // The system caps the backlog at its own maximum.
    if (::listen(fd, nBacklog < 0 ? 0 : nBacklog) != 0)
        return Fail(errno);
    return true;
}

int Accept(int fd, void* pAddr, int* pnLen, bool bNonBlocking) {
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    int nNew;
    do {
        nNew = ::accept4(fd, reinterpret_cast<sockaddr*>(&addr), &len,
                         SOCK_CLOEXEC | (bNonBlocking ? SOCK_NONBLOCK : 0));
    } while (nNew < 0 && errno == EINTR);
    if (nNew < 0) {
        Fail(errno);
        return -1;
    }
    if (pAddr != nullptr && pnLen != nullptr) {
        size_t n = *pnLen < 0 ? 0 : static_cast<size_t>(*pnLen);
        std::memcpy(pAddr, &addr, n < sizeof addr ? n : sizeof addr);
        *pnLen = static_cast<int>(sizeof addr);
    }
    return nNew;
}

int Connect(int fd, const void* pAddr, int nLen) {
    if (pAddr == nullptr || nLen < static_cast<int>(sizeof(sockaddr_in))) {
        SetLastError(kWsaEfault);
        return -1;
    }
    sockaddr_in addr;
    std::memcpy(&addr, pAddr, sizeof addr);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return 1;
    if (errno == EINPROGRESS) {
        SetLastError(kWsaEwouldblock);
        return 0;
    }
    if (errno == EINTR) {
        // The connection goes on in the background: wait for its outcome.
        pollfd pfd{fd, POLLOUT, 0};
        while (::poll(&pfd, 1, -1) < 0 && errno == EINTR) {
        }
        int nErr = static_cast<int>(TakeError(fd));
        if (nErr == 0)
            return 1;
        SetLastError(static_cast<DWORD>(nErr));
        return -1;
    }
    Fail(errno);
    return -1;
}

long Send(int fd, const void* pBuf, size_t nLen, bool bBlocking) {
    const char* p = static_cast<const char*>(pBuf);
    size_t nDone = 0;
    do {
        ssize_t n = ::send(fd, p + nDone, nLen - nDone, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (nDone > 0 && errno == EAGAIN)
                break;
            Fail(errno);
            return -1;
        }
        nDone += static_cast<size_t>(n);
    } while (bBlocking && nDone < nLen);
    return static_cast<long>(nDone);
}

long Recv(int fd, void* pBuf, size_t nLen, int nFlags) {
    ssize_t n;
    do {
        n = ::recv(fd, pBuf, nLen, nFlags);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        Fail(errno);
        return -1;
    }
    return static_cast<long>(n);
}

bool Shutdown(int fd, int nHow) {
    if (::shutdown(fd, nHow) != 0)
        return Fail(errno);
    return true;
}

bool PeerName(int fd, void* pAddr, int* pnLen) {
    if (pAddr == nullptr || pnLen == nullptr || *pnLen < static_cast<int>(sizeof(sockaddr_in))) {
        SetLastError(kWsaEfault);
        return false;
    }
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return Fail(errno);
    std::memcpy(pAddr, &addr, sizeof addr);
    *pnLen = static_cast<int>(sizeof addr);
    return true;
}

bool SockName(int fd, void* pAddr, int* pnLen) {
    if (pAddr == nullptr || pnLen == nullptr || *pnLen < static_cast<int>(sizeof(sockaddr_in))) {
        SetLastError(kWsaEfault);
        return false;
    }
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return Fail(errno);
    std::memcpy(pAddr, &addr, sizeof addr);
    *pnLen = static_cast<int>(sizeof addr);
    return true;
}

bool SetNonBlocking(int fd) {
    int nFlags = ::fcntl(fd, F_GETFL);
    if (nFlags < 0 || ::fcntl(fd, F_SETFL, nFlags | O_NONBLOCK) != 0)
        return Fail(errno);
    return true;
}

int Readable(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0)
        return 0;
    return n;
}

DWORD TakeError(int fd) {
    int nErr = 0;
    socklen_t len = sizeof nErr;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &nErr, &len) != 0 || nErr == 0)
        return 0;
    return WsaError(nErr);
}

void Close(int fd) {
    // Linux releases the descriptor even when close reports EINTR; never retry.
    ::close(fd);
}

bool ParseIPv4(const char* psz, uint32_t* pAddr) {
    in_addr addr;
    if (psz == nullptr || ::inet_aton(psz, &addr) == 0)
        return false;
    *pAddr = addr.s_addr;
    return true;
}

}  // namespace net
}  // namespace platform
