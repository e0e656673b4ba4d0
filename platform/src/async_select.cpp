// WSAAsyncSelect: one poller thread for the process waits on every selected
// socket with epoll and posts the socket events to the sockets' windows.
//
// Each socket is registered one-shot with only the conditions whose events
// may be posted now, so an event that waits for its re-enabling call (FD_READ
// for recv, FD_ACCEPT for accept, FD_WRITE for a send that would block) costs
// the poller nothing, however much data or how many connections wait behind
// it. The poller's only lock per event is the socket's own.
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "fault_hit.h"
#include "platform/win_error.h"
#include "platform/winsock.h"
#include "socket_object.h"

namespace platform {
namespace {

constexpr int kMaxEventsPerWait = 256;

std::atomic<int> g_epfd{-1};
std::once_flag g_pollerOnce;

void HandleEventLocked(SocketObject& socket, uint32_t uEvents);

void PollerMain() {
    epoll_event events[kMaxEventsPerWait];
    for (;;) {
        int n = epoll_wait(g_epfd, events, kMaxEventsPerWait, -1);
        for (int i = 0; i < n; ++i) {
            std::shared_ptr<SocketObject> socket = LookupAs<SocketObject>(
                reinterpret_cast<HANDLE>(static_cast<uintptr_t>(events[i].data.u64)),
                ObjectKind::Socket);
            if (!socket)
                continue;
            std::lock_guard<std::mutex> lock(socket->m_lock);
            if (!socket->m_bClosed)
                HandleEventLocked(*socket, events[i].events);
        }
    }
}

// Starts the poller once; false when the system gave no epoll instance or
// thread.
bool EnsurePoller() {
    std::call_once(g_pollerOnce, [] {
        int epfd = epoll_create1(EPOLL_CLOEXEC);
        if (epfd < 0)
            return;
        g_epfd.store(epfd);
        try {
            // Blocked in epoll_wait for the life of the process.
            std::thread(PollerMain).detach();
        } catch (const std::system_error&) {
            g_epfd.store(-1);
            close(epfd);
        }
    });
    return g_epfd >= 0;
}

// The epoll conditions to wait for: those of the events that may be posted
// now.
uint32_t WantedLocked(const SocketObject& socket) {
    const LONG lOn = socket.m_lEvents & socket.m_lEnabled;
    uint32_t uMask = 0;
    switch (socket.m_state) {
        case SocketState::Fresh:
            break;
        case SocketState::Listening:
            if (lOn & FD_ACCEPT)
                uMask |= EPOLLIN;
            break;
        case SocketState::Connecting:
            // The outcome of the connection: FD_CONNECT, then the others.
            if (socket.m_lEvents != 0)
                uMask |= EPOLLOUT;
            break;
        case SocketState::Connected:
            if (lOn & FD_WRITE)
                uMask |= EPOLLOUT;
            if (!socket.m_bPeerClosed) {
                // The peer's close is watched for FD_READ too: at the end of
                // the stream the socket stays readable, and FD_READ must not
                // be posted for nothing after every recv.
                if (lOn & FD_READ)
                    uMask |= EPOLLIN | EPOLLRDHUP;
                if (lOn & FD_CLOSE)
                    uMask |= EPOLLRDHUP;
            } else if (!socket.m_bCloseAfterRecv && (lOn & (FD_READ | FD_CLOSE))) {
                // After the peer's close the socket stays readable: look once
                // more, then wait for the next recv.
                uMask |= EPOLLIN;
            }
            break;
    }
    return uMask;
}

void PostLocked(SocketObject& socket, LONG lEvent, DWORD dwError) {
    socket.m_lEnabled &= ~lEvent;
    DWORD dwSaved = GetLastError();
    PostMessageW(socket.m_hWnd, socket.m_uMsg, static_cast<WPARAM>(socket.m_value),
                 WSAMAKESELECTREPLY(lEvent, dwError));
    SetLastError(dwSaved);
}

void HandleEventLocked(SocketObject& socket, uint32_t uEvents) {
    socket.m_bArmed = false;
    const LONG lOn = socket.m_lEvents & socket.m_lEnabled;
    const LONG lEnabledBefore = socket.m_lEnabled;
    switch (socket.m_state) {
        case SocketState::Fresh:
            break;
        case SocketState::Listening:
            if ((uEvents & EPOLLIN) && (lOn & FD_ACCEPT))
                PostLocked(socket, FD_ACCEPT, 0);
            break;
        case SocketState::Connecting: {
            if (!(uEvents & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
                break;
            DWORD dwError = net::TakeError(socket.Fd());
            if (dwError == 0 && (uEvents & EPOLLHUP))
                dwError = WSAECONNREFUSED;
            socket.m_state = dwError == 0 ? SocketState::Connected : SocketState::Fresh;
            if (lOn & FD_CONNECT)
                PostLocked(socket, FD_CONNECT, dwError);
            break;
        }
        case SocketState::Connected: {
            DWORD dwError = (uEvents & EPOLLERR) ? net::TakeError(socket.Fd()) : 0;
            if (uEvents & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))
                socket.m_bPeerClosed = true;
            if (dwError == 0 && (uEvents & EPOLLHUP))
                dwError = socket.m_dwResetError;
            if (dwError != 0) {
                // An abortive close: FD_CLOSE with the error, and nothing more.
                if (lOn & FD_CLOSE)
                    PostLocked(socket, FD_CLOSE, dwError);
                socket.m_lEnabled = 0;
                break;
            }
            int nPending = -1;
            if ((uEvents & EPOLLIN) && (lOn & FD_READ)) {
                if (!socket.m_bPeerClosed || (nPending = net::Readable(socket.Fd())) > 0)
                    PostLocked(socket, FD_READ, 0);
            }
            if ((uEvents & EPOLLOUT) && (lOn & FD_WRITE))
                PostLocked(socket, FD_WRITE, 0);
            if (socket.m_bPeerClosed) {
                // FD_CLOSE once everything received has been read.
                if (lOn & FD_CLOSE) {
                    if (nPending < 0)
                        nPending = net::Readable(socket.Fd());
                    if (nPending == 0)
                        PostLocked(socket, FD_CLOSE, 0);
                }
                socket.m_bCloseAfterRecv = true;
            }
            break;
        }
    }
    // A hang-up stays reported for as long as the socket is armed; when it
    // brought nothing to post, wait for the next re-enabling call.
    if ((uEvents & (EPOLLHUP | EPOLLERR)) && socket.m_lEnabled == lEnabledBefore)
        return;
    RearmLocked(socket);
}

}  // namespace

void RearmLocked(SocketObject& socket) {
    if (socket.m_bClosed || g_epfd < 0 || socket.m_hWnd == nullptr)
        return;
    uint32_t uMask = WantedLocked(socket);
    if (uMask == 0) {
        // A consumed one-shot registration reports nothing; an armed one is
        // dropped so that hang-ups are not reported either.
        if (socket.m_bArmed) {
            epoll_ctl(g_epfd, EPOLL_CTL_DEL, socket.Fd(), nullptr);
            socket.m_bRegistered = false;
            socket.m_bArmed = false;
        }
        return;
    }
    if (socket.m_bArmed && socket.m_uArmedMask == uMask)
        return;
    epoll_event ev{};
    ev.events = uMask | EPOLLONESHOT;
    ev.data.u64 = socket.m_value;
    int nOp = socket.m_bRegistered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(g_epfd, nOp, socket.Fd(), &ev) != 0) {
        nOp = nOp == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
        if (epoll_ctl(g_epfd, nOp, socket.Fd(), &ev) != 0)
            return;
    }
    socket.m_bRegistered = true;
    socket.m_bArmed = true;
    socket.m_uArmedMask = uMask;
}

void ReenableLocked(SocketObject& socket, LONG lEvents) {
    socket.m_lEnabled |= lEvents & socket.m_lEvents;
    if (lEvents & FD_READ)
        socket.m_bCloseAfterRecv = false;
    RearmLocked(socket);
}

void RecvDoneLocked(SocketObject& socket) {
    // Data left behind is posted from here at once, as Winsock does: no
    // round through the poller for a reader that takes a little at a time.
    if ((socket.m_lEvents & FD_READ) && socket.m_hWnd != nullptr && !socket.m_bClosed &&
        socket.m_state == SocketState::Connected && net::Readable(socket.Fd()) > 0) {
        socket.m_lEnabled |= FD_READ;
        socket.m_bCloseAfterRecv = false;
        PostLocked(socket, FD_READ, 0);
        RearmLocked(socket);
        return;
    }
    ReenableLocked(socket, FD_READ);
}

void ForgetLocked(SocketObject& socket) {
    if (socket.m_bRegistered && g_epfd >= 0)
        epoll_ctl(g_epfd, EPOLL_CTL_DEL, socket.Fd(), nullptr);
    socket.m_bRegistered = false;
    socket.m_bArmed = false;
    socket.m_hWnd = nullptr;
    socket.m_lEvents = 0;
}

}  // namespace platform

extern "C" int WSAAsyncSelect(SOCKET s, HWND hWnd, UINT wMsg, LONG lEvent) {
    if (platform::FaultHit("WSAAsyncSelect"))
        return SOCKET_ERROR;
    std::shared_ptr<platform::SocketObject> socket = platform::LookupSocket(s);
    if (!socket)
        return SOCKET_ERROR;
    if (lEvent != 0 && !IsWindow(hWnd)) {
        SetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (!platform::EnsurePoller()) {
        SetLastError(WSAENOBUFS);
        return SOCKET_ERROR;
    }
    if (!platform::net::SetNonBlocking(socket->Fd()))
        return SOCKET_ERROR;
    std::lock_guard<std::mutex> lock(socket->m_lock);
    socket->m_bNonBlocking = true;
    if (lEvent == 0) {
        platform::ForgetLocked(*socket);
        return 0;
    }
    socket->m_hWnd = hWnd;
    socket->m_uMsg = wMsg;
    socket->m_lEvents = lEvent;
    socket->m_lEnabled = lEvent;
    socket->m_bCloseAfterRecv = false;
    // A changed request replaces whatever the old registration waited for.
    socket->m_bArmed = false;
    platform::RearmLocked(*socket);
    return 0;
}
