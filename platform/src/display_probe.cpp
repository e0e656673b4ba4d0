// Display server probes: a connection opened and closed on the socket that
// an X11 or Wayland client library would use.
#include "platform/ext/display_probe.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "error_from_errno.h"
#include "platform/win_error.h"

namespace platform {
namespace {

// Connects a new non-blocking socket to the address, waiting at most
// dwTimeoutMs; 0 when connected, else the errno value of the failure.
int ConnectWithin(int nFamily, const sockaddr* pAddr, socklen_t cbAddr, DWORD dwTimeoutMs) {
    const int fd = ::socket(nFamily, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return errno;
    int err = 0;
    if (::connect(fd, pAddr, cbAddr) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EAGAIN) {
            pollfd pfd = {fd, POLLOUT, 0};
            int n;
            do {
                n = ::poll(&pfd, 1,
                           static_cast<int>(dwTimeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : dwTimeoutMs));
            } while (n < 0 && errno == EINTR);
            if (n == 0) {
                err = ETIMEDOUT;
            } else if (n < 0) {
                err = errno;
            } else {
                socklen_t cb = sizeof err;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &cb) != 0)
                    err = errno;
            }
        }
    }
    ::close(fd);
    return err;
}

int ConnectUnix(const std::string& strPath, bool bAbstract, DWORD dwTimeoutMs) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    const size_t nOffset = bAbstract ? 1 : 0;  // an abstract name starts with a zero byte
    if (strPath.size() + nOffset >= sizeof addr.sun_path)
        return ENAMETOOLONG;
    std::memcpy(addr.sun_path + nOffset, strPath.data(), strPath.size());
    const socklen_t cb = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + nOffset +
                                                strPath.size() + (bAbstract ? 0 : 1));
    return ConnectWithin(AF_UNIX, reinterpret_cast<const sockaddr*>(&addr), cb, dwTimeoutMs);
}

BOOL Result(int err) {
    if (err == 0)
        return TRUE;
    if (err == ETIMEDOUT)
        SetLastError(ERROR_TIMEOUT);
    else
        SetLastErrorFromErrno(err);
    return FALSE;
}

bool AllDigits(const std::string& str) {
    if (str.empty())
        return false;
    for (char c : str) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

}  // namespace

BOOL CanConnectX11Display(LPCSTR lpszDisplay, DWORD dwTimeoutMs) {
    if (lpszDisplay == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string strName = lpszDisplay, strProtocol;
    const size_t slash = strName.find('/');
    if (slash != std::string::npos) {
        strProtocol = strName.substr(0, slash);
        strName.erase(0, slash + 1);
    }
    const size_t colon = strName.rfind(':');
    if (colon == std::string::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string strHost = strName.substr(0, colon);
    std::string strNumber = strName.substr(colon + 1);
    const size_t dot = strNumber.find('.');
    if (dot != std::string::npos) {
        if (!AllDigits(strNumber.substr(dot + 1))) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        strNumber.erase(dot);
    }
    // "host::0" is a DECnet display, which nothing here speaks.
    if (!AllDigits(strNumber) || strNumber.size() > 5 ||
        (!strHost.empty() && strHost.back() == ':')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const long lNumber = std::strtol(strNumber.c_str(), nullptr, 10);

    if ((strHost.empty() || strHost == "unix") && strProtocol != "tcp" && strProtocol != "inet" &&
        strProtocol != "inet6") {
        // The abstract name first, as the client library on Linux tries it,
        // then the socket file.
        const std::string strPath = "/tmp/.X11-unix/X" + std::to_string(lNumber);
        int err = ConnectUnix(strPath, true, dwTimeoutMs);
        if (err != 0)
            err = ConnectUnix(strPath, false, dwTimeoutMs);
        return Result(err);
    }
    if (strHost.empty() || strHost == "unix")
        strHost = "localhost";
    if (strHost.size() > 2 && strHost.front() == '[' && strHost.back() == ']')
        strHost = strHost.substr(1, strHost.size() - 2);
    if (6000 + lNumber > 65535) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    addrinfo hints = {};
    hints.ai_family = strProtocol == "inet"    ? AF_INET
                      : strProtocol == "inet6" ? AF_INET6
                                               : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    if (::getaddrinfo(strHost.c_str(), std::to_string(6000 + lNumber).c_str(), &hints, &pList) !=
        0) {
        SetLastError(ERROR_DEV_NOT_EXIST);
        return FALSE;
    }
    int err = EHOSTUNREACH;
    for (addrinfo* p = pList; p != nullptr; p = p->ai_next) {
        err = ConnectWithin(p->ai_family, p->ai_addr, p->ai_addrlen, dwTimeoutMs);
        if (err == 0)
            break;
    }
    ::freeaddrinfo(pList);
    return Result(err);
}

BOOL CanConnectWaylandDisplay(LPCSTR lpszDisplay, DWORD dwTimeoutMs) {
    std::string strPath =
        lpszDisplay != nullptr && *lpszDisplay != '\0' ? lpszDisplay : "wayland-0";
    if (strPath[0] != '/') {
        const char* lpszDir = std::getenv("XDG_RUNTIME_DIR");
        if (lpszDir == nullptr || *lpszDir == '\0') {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return FALSE;
        }
        strPath = std::string(lpszDir) + "/" + strPath;
    }
    const int err = ConnectUnix(strPath, false, dwTimeoutMs);
    if (err == ENAMETOOLONG) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return Result(err);
}

}  // namespace platform
