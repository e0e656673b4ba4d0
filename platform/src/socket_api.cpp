// Windows Sockets calls: the socket layer's start count, sockets in the handle
// table, and the BSD-named calls over the native ones (socket_native.cpp).
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "fault_hit.h"
#include "platform/ext/socket_counters.h"
#include "platform/win_error.h"
#include "platform/winsock.h"
#include "socket_object.h"

namespace platform {
namespace {

// The start count and the set of open sockets (so that the last WSACleanup
// can close them), with the counters tests read. Never destroyed: the poller
// thread may still run while the process exits.
struct SocketLayer {
    std::mutex lock;
    int nStartups = 0;
    std::unordered_set<uintptr_t> open;
    unsigned nCreated = 0;
    unsigned nClosed = 0;
    unsigned nBadCloses = 0;
};

SocketLayer& Layer() {
    static SocketLayer* s_pLayer = new SocketLayer;
    return *s_pLayer;
}

bool Started() {
    SocketLayer& layer = Layer();
    std::lock_guard<std::mutex> lock(layer.lock);
    return layer.nStartups > 0;
}

HANDLE AsHandle(uintptr_t s) {
    return reinterpret_cast<HANDLE>(s);
}

// Takes the socket out of the table and closes it; false when it was gone.
bool RemoveAndClose(uintptr_t s) {
    std::shared_ptr<KernelObject> object = RemoveObject(AsHandle(s));
    if (!object)
        return false;
    object->OnClose();
    return true;
}

// Returns the call's result after bringing the last error back to dwError
// (re-enabling events runs system calls that must not change it).
template <class T>
T WithError(T result, DWORD dwError) {
    SetLastError(dwError);
    return result;
}

// Counts a new socket (from socket or accept) and adds it to the set the
// last WSACleanup closes.
uintptr_t RegisterOpen(uintptr_t s) {
    SocketLayer& layer = Layer();
    std::lock_guard<std::mutex> lock(layer.lock);
    try {
        layer.open.insert(s);
    } catch (const std::bad_alloc&) {
        // Only the last WSACleanup's sweep misses it.
    }
    ++layer.nCreated;
    return s;
}

// Gives a new descriptor its socket object and handle. INVALID_SOCKET, with
// the descriptor closed and the error set, when either cannot be had.
uintptr_t WrapDescriptor(int fd, std::shared_ptr<SocketObject>* pObject) {
    std::shared_ptr<SocketObject> object;
    try {
        object = std::make_shared<SocketObject>(fd);
    } catch (const std::bad_alloc&) {
        net::Close(fd);
        SetLastError(WSAENOBUFS);
        return INVALID_SOCKET;
    }
    HANDLE h = InsertObject(object);
    if (h == nullptr) {
        SetLastError(WSAEMFILE);
        return INVALID_SOCKET;  // the object, and with it the descriptor, goes here
    }
    *pObject = std::move(object);
    return reinterpret_cast<uintptr_t>(h);
}

}  // namespace

std::shared_ptr<SocketObject> LookupSocket(uintptr_t s) {
    if (!Started()) {
        SetLastError(WSANOTINITIALISED);
        return nullptr;
    }
    std::shared_ptr<SocketObject> socket = LookupAs<SocketObject>(AsHandle(s), ObjectKind::Socket);
    if (!socket)
        SetLastError(WSAENOTSOCK);
    return socket;
}

SocketObject::~SocketObject() {
    net::Close(m_fd);
}

void SocketObject::OnClose() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_bClosed = true;
        ForgetLocked(*this);
    }
    // Wakes a receive or accept blocked in another thread without sending
    // anything to the peer (a close with unread data still resets the
    // connection); the descriptor itself is closed when the last reference
    // goes.
    DWORD dwError = GetLastError();
    net::Shutdown(m_fd, SD_RECEIVE);
    SetLastError(dwError);
}

SocketCounters GetSocketCounters() {
    SocketLayer& layer = Layer();
    std::lock_guard<std::mutex> lock(layer.lock);
    return SocketCounters{layer.nStartups, layer.nCreated, layer.nClosed, layer.nBadCloses};
}

}  // namespace platform

using platform::SocketObject;

extern "C" int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
    if (platform::FaultHit("WSAStartup"))
        return static_cast<int>(GetLastError());
    if (lpWSAData == nullptr)
        return static_cast<int>(WSAEFAULT);
    if (LOBYTE(wVersionRequested) < 1)
        return static_cast<int>(WSAVERNOTSUPPORTED);
    std::memset(lpWSAData, 0, sizeof *lpWSAData);
    const WORD wHighest = MAKEWORD(2, 2);
    bool bAbove = LOBYTE(wVersionRequested) > 2 ||
                  (LOBYTE(wVersionRequested) == 2 && HIBYTE(wVersionRequested) >= 2);
    lpWSAData->wVersion = bAbove ? wHighest : wVersionRequested;
    lpWSAData->wHighVersion = wHighest;
    std::snprintf(lpWSAData->szDescription, sizeof lpWSAData->szDescription, "WinSock 2.0");
    std::snprintf(lpWSAData->szSystemStatus, sizeof lpWSAData->szSystemStatus, "Running");
    platform::SocketLayer& layer = platform::Layer();
    std::lock_guard<std::mutex> lock(layer.lock);
    ++layer.nStartups;
    return 0;
}

extern "C" int WSACleanup() {
    if (platform::FaultHit("WSACleanup"))
        return SOCKET_ERROR;
    std::vector<uintptr_t> toClose;
    {
        platform::SocketLayer& layer = platform::Layer();
        std::lock_guard<std::mutex> lock(layer.lock);
        if (layer.nStartups == 0) {
            SetLastError(WSANOTINITIALISED);
            return SOCKET_ERROR;
        }
        if (--layer.nStartups > 0)
            return 0;
        try {
            toClose.assign(layer.open.begin(), layer.open.end());
        } catch (const std::bad_alloc&) {
            // Sockets stay open; they are closed by closesocket as ever.
        }
        layer.open.clear();
        layer.nClosed += static_cast<unsigned>(toClose.size());
    }
    // As on Windows, sockets still open when the last user leaves are closed.
    for (uintptr_t s : toClose)
        platform::RemoveAndClose(s);
    return 0;
}

extern "C" int WSAGetLastError() {
    return static_cast<int>(GetLastError());
}

SOCKET socket(int af, int type, int protocol) {
    if (platform::FaultHit("socket"))
        return INVALID_SOCKET;
    if (!platform::Started()) {
        SetLastError(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    int fd = platform::net::Socket(af, type, protocol);
    if (fd < 0)
        return INVALID_SOCKET;
    std::shared_ptr<SocketObject> object;
    const SOCKET s = platform::WrapDescriptor(fd, &object);
    if (s == INVALID_SOCKET)
        return INVALID_SOCKET;
    {
        std::lock_guard<std::mutex> lock(object->m_lock);
        object->m_value = s;
    }
    return platform::RegisterOpen(s);
}

int bind(SOCKET s, const struct sockaddr* name, int namelen) {
    if (platform::FaultHit("bind"))
        return SOCKET_ERROR;
    std::shared_ptr<SocketObject> object = platform::LookupSocket(s);
    if (!object)
        return SOCKET_ERROR;
    return platform::net::Bind(object->Fd(), name, namelen) ? 0 : SOCKET_ERROR;
}

int listen(SOCKET s, int backlog) {
    if (platform::FaultHit("listen"))
        return SOCKET_ERROR;
    std::shared_ptr<SocketObject> object = platform::LookupSocket(s);
    if (!object)
        return SOCKET_ERROR;
    if (!platform::net::Listen(object->Fd(), backlog))
        return SOCKET_ERROR;
    std::lock_guard<std::mutex> lock(object->m_lock);
    object->m_state = platform::SocketState::Listening;
    platform::RearmLocked(*object);
    return 0;
}

SOCKET accept(SOCKET s, struct sockaddr* addr, int* addrlen) {
    if (platform::FaultHit("accept"))
        return INVALID_SOCKET;
    std::shared_ptr<SocketObject> listener = platform::LookupSocket(s);
    if (!listener)
        return INVALID_SOCKET;
    bool bNonBlocking;
    {
        std::lock_guard<std::mutex> lock(listener->m_lock);
        bNonBlocking = listener->m_bNonBlocking;
    }
    int fd = platform::net::Accept(listener->Fd(), addr, addrlen, bNonBlocking);
    DWORD dwError = GetLastError();
    HWND hWnd;
    UINT uMsg;
    LONG lEvents;
    {
        std::lock_guard<std::mutex> lock(listener->m_lock);
        platform::ReenableLocked(*listener, FD_ACCEPT);
        hWnd = listener->m_hWnd;
        uMsg = listener->m_uMsg;
        lEvents = listener->m_lEvents;
    }
    if (fd < 0)
        return platform::WithError(INVALID_SOCKET, dwError);
    std::shared_ptr<SocketObject> object;
    const SOCKET sNew = platform::WrapDescriptor(fd, &object);
    if (sNew == INVALID_SOCKET)
        return INVALID_SOCKET;
    {
        // The new socket shares the listening socket's selection.
        std::lock_guard<std::mutex> lock(object->m_lock);
        object->m_value = sNew;
        object->m_state = platform::SocketState::Connected;
        object->m_bNonBlocking = bNonBlocking;
        object->m_hWnd = hWnd;
        object->m_uMsg = uMsg;
        object->m_lEvents = lEvents;
        object->m_lEnabled = lEvents;
        platform::RearmLocked(*object);
    }
    return platform::RegisterOpen(sNew);
}

int connect(SOCKET s, const struct sockaddr* name, int namelen) {
    if (platform::FaultHit("connect"))
        return SOCKET_ERROR;
    std::shared_ptr<SocketObject> object = platform::LookupSocket(s);
    if (!object)
        return SOCKET_ERROR;
    int nResult = platform::net::Connect(object->Fd(), name, namelen);
    DWORD dwError = GetLastError();
    if (nResult < 0)
        return SOCKET_ERROR;
    std::lock_guard<std::mutex> lock(object->m_lock);
    object->m_state =
        nResult > 0 ? platform::SocketState::Connected : platform::SocketState::Connecting;
    platform::RearmLocked(*object);
    return platform::WithError(nResult > 0 ? 0 : SOCKET_ERROR, dwError);
}

int send(SOCKET s, const char* buf, int len, int) {
    if (platform::FaultHit("send"))
        return SOCKET_ERROR;
    std::shared_ptr<SocketObject> object = platform::LookupSocket(s);
    if (!object)
        return SOCKET_ERROR;
    if (len < 0 || (buf == nullptr && len > 0)) {
        SetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    bool bBlocking;
    {
        std::lock_guard<std::mutex> lock(object->m_lock);
        bBlocking = !object->m_bNonBlocking;
    }
    long n = platform::net::Send(object->Fd(), buf, static_cast<size_t>(len), bBlocking);
    DWORD dwError = GetLastError();
    if (n < 0 && dwError == WSAECONNRESET) {
        std::lock_guard<std::mutex> lock(object->m_lock);
        object->m_dwResetError = dwError;
    } else if ((n < 0 && dwError == WSAEWOULDBLOCK) || (n >= 0 && n < len)) {
        // The send buffer is full: FD_WRITE tells when it has room again.
        std::lock_guard<std::mutex> lock(object->m_lock);
        platform::ReenableLocked(*object, FD_WRITE);
    }
    return platform::WithError(n < 0 ? SOCKET_ERROR : static_cast<int>(n), dwError);
}

int recv(SOCKET s, char* buf, int len, int flags) {
    if (platform::FaultHit("recv"))
        return SOCKET_ERROR;
    std::shared_ptr<SocketObject> object = platform::LookupSocket(s);
    if (!object)
        return SOCKET_ERROR;
    if (len < 0 || (buf == nullptr && len > 0)) {
        SetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    long n = platform::net::Recv(object->Fd(), buf, static_cast<size_t>(len),
                                 (flags & MSG_PEEK) != 0 ? 2 : 0);
    DWORD dwError = GetLastError();
    {
        std::lock_guard<std::mutex> lock(object->m_lock);
        if (n < 0 && dwError == WSAECONNRESET)
            object->m_dwResetError = dwError;
        platform::RecvDoneLocked(*object);
    }
    return platform::WithError(n < 0 ? SOCKET_ERROR : static_cast<int>(n), dwError);
}

int shutdown(SOCKET s, int how) {
    if (platform::FaultHit("shutdown"))
        return SOCKET_ERROR;
    std::shared_ptr<SocketObject> object = platform::LookupSocket(s);
    if (!object)
        return SOCKET_ERROR;
    if (how < SD_RECEIVE || how > SD_BOTH) {
        SetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    return platform::net::Shutdown(object->Fd(), how) ? 0 : SOCKET_ERROR;
}

int closesocket(SOCKET s) {
    if (platform::FaultHit("closesocket"))
        return SOCKET_ERROR;
    if (!platform::Started()) {
        SetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    platform::SocketLayer& layer = platform::Layer();
    std::shared_ptr<SocketObject> object =
        platform::LookupAs<SocketObject>(platform::AsHandle(s), platform::ObjectKind::Socket);
    if (!object || !platform::RemoveAndClose(s)) {
        std::lock_guard<std::mutex> lock(layer.lock);
        ++layer.nBadCloses;
        SetLastError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    std::lock_guard<std::mutex> lock(layer.lock);
    layer.open.erase(s);
    ++layer.nClosed;
    return 0;
}

int getpeername(SOCKET s, struct sockaddr* name, int* namelen) {
    if (platform::FaultHit("getpeername"))
        return SOCKET_ERROR;
    std::shared_ptr<SocketObject> object = platform::LookupSocket(s);
    if (!object)
        return SOCKET_ERROR;
    return platform::net::PeerName(object->Fd(), name, namelen) ? 0 : SOCKET_ERROR;
}

int getsockname(SOCKET s, struct sockaddr* name, int* namelen) {
    if (platform::FaultHit("getsockname"))
        return SOCKET_ERROR;
    std::shared_ptr<SocketObject> object = platform::LookupSocket(s);
    if (!object)
        return SOCKET_ERROR;
    return platform::net::SockName(object->Fd(), name, namelen) ? 0 : SOCKET_ERROR;
}

char* inet_ntoa(struct in_addr in) {
    thread_local char t_szText[16];
    std::snprintf(t_szText, sizeof t_szText, "%u.%u.%u.%u", in.S_un.S_un_b.s_b1,
                  in.S_un.S_un_b.s_b2, in.S_un.S_un_b.s_b3, in.S_un.S_un_b.s_b4);
    return t_szText;
}

ULONG inet_addr(const char* cp) {
    uint32_t addr;
    if (!platform::net::ParseIPv4(cp, &addr))
        return INADDR_NONE;
    return addr;
}
