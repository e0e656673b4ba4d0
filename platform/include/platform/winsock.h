// Windows Sockets 2.2, the subset the components use: IPv4 TCP sockets in the
// one handle table, and asynchronous selection that posts socket events to a
// window.
//
// Error values are the Windows ones (WSAE...), read with WSAGetLastError
// (the same per-thread value as GetLastError). Every call except WSAStartup
// fails with WSANOTINITIALISED while no WSAStartup is outstanding.
//
// The calls whose names the C library also uses (socket, bind, send, ...) are
// declared with C++ linkage: exported from libplatform.so under C names they
// would replace the C library's functions for every module of the process.
//
// WSAAsyncSelect follows Winsock's rules: the socket becomes non-blocking; one
// poller thread for the process posts the event messages to the window's
// thread; each event is posted once and then waits for its re-enabling call
// (FD_READ: recv; FD_ACCEPT: accept; FD_WRITE: a send that failed with
// WSAEWOULDBLOCK); FD_CLOSE is posted once, after the received data has been
// read. lParam holds the event in its low and the error in its high 16 bits.
#pragma once

#include "platform/win_types.h"

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET (static_cast<SOCKET>(~static_cast<SOCKET>(0)))
#define SOCKET_ERROR (-1)

#define AF_UNSPEC 0
#define AF_INET 2
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define INADDR_ANY 0x00000000u
#define INADDR_LOOPBACK 0x7F000001u
#define INADDR_NONE 0xFFFFFFFFu
// The largest backlog: listen() gives the socket the system's maximum.
#define SOMAXCONN 0x7FFFFFFF

// shutdown() directions.
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2

// recv() flags.
#define MSG_PEEK 0x2

// WSAAsyncSelect events.
#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20

#define WSAMAKESELECTREPLY(event, error) \
    (static_cast<LPARAM>((static_cast<DWORD>(error) << 16) | (static_cast<DWORD>(event) & 0xFFFF)))
#define WSAGETSELECTEVENT(lParam) LOWORD(lParam)
#define WSAGETSELECTERROR(lParam) HIWORD(lParam)

#define MAKEWORD(low, high)                       \
    (static_cast<WORD>((static_cast<BYTE>(low)) | \
                       (static_cast<WORD>(static_cast<BYTE>(high)) << 8)))
#define LOBYTE(w) (static_cast<BYTE>(static_cast<DWORD_PTR>(w) & 0xff))
#define HIBYTE(w) (static_cast<BYTE>((static_cast<DWORD_PTR>(w) >> 8) & 0xff))

// Windows Sockets error values.
#define WSAEINTR 10004u
#define WSAEBADF 10009u
#define WSAEACCES 10013u
#define WSAEFAULT 10014u
#define WSAEINVAL 10022u
#define WSAEMFILE 10024u
#define WSAEWOULDBLOCK 10035u
#define WSAEINPROGRESS 10036u
#define WSAEALREADY 10037u
#define WSAENOTSOCK 10038u
#define WSAEDESTADDRREQ 10039u
#define WSAEMSGSIZE 10040u
#define WSAEPROTOTYPE 10041u
#define WSAENOPROTOOPT 10042u
#define WSAEPROTONOSUPPORT 10043u
#define WSAESOCKTNOSUPPORT 10044u
#define WSAEOPNOTSUPP 10045u
#define WSAEAFNOSUPPORT 10047u
#define WSAEADDRINUSE 10048u
#define WSAEADDRNOTAVAIL 10049u
#define WSAENETDOWN 10050u
#define WSAENETUNREACH 10051u
#define WSAENETRESET 10052u
#define WSAECONNABORTED 10053u
#define WSAECONNRESET 10054u
#define WSAENOBUFS 10055u
#define WSAEISCONN 10056u
#define WSAENOTCONN 10057u
#define WSAESHUTDOWN 10058u
#define WSAETIMEDOUT 10060u
#define WSAECONNREFUSED 10061u
#define WSAEHOSTUNREACH 10065u
#define WSASYSNOTREADY 10091u
#define WSAVERNOTSUPPORTED 10092u
#define WSANOTINITIALISED 10093u

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

// What WSAStartup reports (the 64-bit Windows layout).
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
} WSADATA, *LPWSADATA;

// An IPv4 address in network byte order.
struct in_addr {
    union {
        struct {
            BYTE s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            WORD s_w1, s_w2;
        } S_un_w;
        ULONG S_addr;
    } S_un;
};
#define s_addr S_un.S_addr

struct sockaddr {
    WORD sa_family;
    char sa_data[14];
};

struct sockaddr_in {
    short sin_family;
    WORD sin_port;  // network byte order
    struct in_addr sin_addr;
    char sin_zero[8];
};
typedef struct sockaddr SOCKADDR;
typedef struct sockaddr* LPSOCKADDR;
typedef struct sockaddr_in SOCKADDR_IN;
static_assert(sizeof(sockaddr_in) == 16, "sockaddr_in is 16 bytes");

// Byte order: the host is little-endian.
inline WORD htons(WORD w) {
    return static_cast<WORD>((w << 8) | (w >> 8));
}
inline WORD ntohs(WORD w) {
    return htons(w);
}
inline ULONG htonl(ULONG l) {
    return __builtin_bswap32(l);
}
inline ULONG ntohl(ULONG l) {
    return htonl(l);
}

extern "C" {
// Starts the socket layer for the caller: 0 and *lpWSAData filled (version
// granted: the lower of the request and 2.2), with the start count raised;
// otherwise the error value itself (WSAVERNOTSUPPORTED below version 1.0,
// WSAEFAULT without lpWSAData). Thread-safe.
PLATFORM_API int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
// Ends one WSAStartup: 0, or SOCKET_ERROR with WSANOTINITIALISED when none
// is outstanding. The last one closes every socket still open. Thread-safe.
PLATFORM_API int WSACleanup();
// The calling thread's last error (the same value as GetLastError).
PLATFORM_API int WSAGetLastError();
// Asks for lEvent (FD_* bits) on s to be posted to hWnd as wMsg, replacing
// any earlier request; lEvent 0 cancels. The socket becomes non-blocking and
// stays so. Conditions already true are posted at once. 0, or SOCKET_ERROR
// with WSAENOTSOCK or WSAEINVAL (hWnd not a window). Thread-safe.
PLATFORM_API int WSAAsyncSelect(SOCKET s, HWND hWnd, UINT wMsg, LONG lEvent);
}

// The BSD-named calls. Each fails with its SOCKET_ERROR / INVALID_SOCKET
// result and the WSAE... value in the last error; each is thread-safe.
//
// A TCP (or UDP) socket for IPv4 only (WSAEAFNOSUPPORT otherwise). Sockets
// start blocking; a port left in TIME_WAIT by an earlier socket may be bound
// again at once, as on Windows.
PLATFORM_API SOCKET socket(int af, int type, int protocol);
PLATFORM_API int bind(SOCKET s, const struct sockaddr* name, int namelen);
PLATFORM_API int listen(SOCKET s, int backlog);
// The new socket shares the listening socket's asynchronous selection and
// blocking mode. Re-enables FD_ACCEPT.
PLATFORM_API SOCKET accept(SOCKET s, struct sockaddr* addr, int* addrlen);
// Blocking sockets wait until the connection is made or refused;
// non-blocking ones fail with WSAEWOULDBLOCK and post FD_CONNECT later.
PLATFORM_API int connect(SOCKET s, const struct sockaddr* name, int namelen);
// Never raises SIGPIPE. A blocking socket returns once every byte is queued;
// a non-blocking one returns what fitted, or WSAEWOULDBLOCK (re-enabling
// FD_WRITE).
PLATFORM_API int send(SOCKET s, const char* buf, int len, int flags);
// Bytes received, 0 at the peer's orderly close, SOCKET_ERROR on error
// (WSAEWOULDBLOCK when nothing waits on a non-blocking socket). Re-enables
// FD_READ.
PLATFORM_API int recv(SOCKET s, char* buf, int len, int flags);
PLATFORM_API int shutdown(SOCKET s, int how);
// Removes the socket from the handle table and closes it; a blocked call on
// it returns with an error. WSAENOTSOCK for a value that is not an open
// socket.
PLATFORM_API int closesocket(SOCKET s);
PLATFORM_API int getpeername(SOCKET s, struct sockaddr* name, int* namelen);
PLATFORM_API int getsockname(SOCKET s, struct sockaddr* name, int* namelen);
// The address in dotted form, in a buffer of the calling thread that the next
// call overwrites.
PLATFORM_API char* inet_ntoa(struct in_addr in);
// The address in network byte order, or INADDR_NONE for text that is not an
// IPv4 address (forms a, a.b, a.b.c and a.b.c.d, each part decimal, octal or
// hex).
PLATFORM_API ULONG inet_addr(const char* cp);
