// Sockets inside the platform: the kernel object behind a SOCKET value, and
// the thin calls on the native socket (socket_native.cpp) that the
// Windows-named calls use. Native socket headers declare the same names as
// Windows Sockets (sockaddr, socket, bind, ...), so they are included by
// socket_native.cpp alone; this header uses neither set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "kernel_object.h"
#include "platform/win_message.h"

namespace platform {

enum class SocketState { Fresh, Connecting, Connected, Listening };

// One socket. The descriptor is closed by the destructor, once the handle is
// gone from the table and no call still uses it, so a descriptor number is
// never reused under a call in flight. Non-copyable (KernelObject).
class SocketObject : public KernelObject {
public:
    explicit SocketObject(int fd) : KernelObject(ObjectKind::Socket), m_fd(fd) {}
    ~SocketObject() override;

    // Stops asynchronous selection and shuts the socket down, which wakes a
    // call blocked on it in another thread.
    void OnClose() override;

    int Fd() const { return m_fd; }

    // Everything below is guarded by m_lock.
    std::mutex m_lock;
    uintptr_t m_value = 0;  // the SOCKET value, set once inserted
    bool m_bClosed = false;
    bool m_bNonBlocking = false;
    SocketState m_state = SocketState::Fresh;
    // Asynchronous selection: where to post, what was asked for, and which of
    // those events may be posted now (each is cleared when posted and set
    // again by its re-enabling call).
    HWND m_hWnd = nullptr;
    UINT m_uMsg = 0;
    LONG m_lEvents = 0;
    LONG m_lEnabled = 0;
    // The peer has closed its side; FD_CLOSE waits until no data is left.
    bool m_bPeerClosed = false;
    // FD_CLOSE found data still unread: look again after the next recv.
    bool m_bCloseAfterRecv = false;
    // A reset seen by recv or send, reported with FD_CLOSE.
    DWORD m_dwResetError = 0;
    // The poller's registration: in the epoll set at all, and armed (its
    // one-shot registration not yet consumed by an event).
    bool m_bRegistered = false;
    bool m_bArmed = false;
    uint32_t m_uArmedMask = 0;

private:
    const int m_fd;
};

// The socket behind s, or null with WSAENOTSOCK (WSANOTINITIALISED while the
// socket layer is not started).
std::shared_ptr<SocketObject> LookupSocket(uintptr_t s);

// Asynchronous selection (async_select.cpp). All run with the socket's lock
// held. Rearm brings the poller's registration in line with the enabled
// events; Reenable sets the events' enabled bits, then rearms; Forget drops
// the registration of a closing socket.
void RearmLocked(SocketObject& socket);
void ReenableLocked(SocketObject& socket, LONG lEvents);
void ForgetLocked(SocketObject& socket);
// After a recv: posts FD_READ at once when data is still waiting, otherwise
// re-enables it.
void RecvDoneLocked(SocketObject& socket);

// The native calls (socket_native.cpp). Each returns -1 (or false) on failure
// with the Windows Sockets error value as the thread's last error. Addresses
// are 16-byte IPv4 socket addresses, whose layout is the same on both sides.
namespace net {
int Socket(int af, int type, int protocol);
bool Bind(int fd, const void* pAddr, int nLen);
bool Listen(int fd, int nBacklog);
int Accept(int fd, void* pAddr, int* pnLen, bool bNonBlocking);
// 1 connected, 0 in progress (non-blocking), -1 failed.
int Connect(int fd, const void* pAddr, int nLen);
long Send(int fd, const void* pBuf, size_t nLen, bool bBlocking);
long Recv(int fd, void* pBuf, size_t nLen, int nFlags);
bool Shutdown(int fd, int nHow);
bool PeerName(int fd, void* pAddr, int* pnLen);
bool SockName(int fd, void* pAddr, int* pnLen);
bool SetNonBlocking(int fd);
// Bytes waiting to be read (0 on failure).
int Readable(int fd);
// The socket's pending error as a Windows Sockets value (0: none); reading
// it clears it.
DWORD TakeError(int fd);
void Close(int fd);
// inet_aton's rules; false for text that is not an address.
bool ParseIPv4(const char* psz, uint32_t* pAddr);
// The Windows Sockets value for an errno value.
DWORD WsaError(int err);
}  // namespace net

}  // namespace platform
