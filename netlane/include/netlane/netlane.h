// Netlane: a byte channel over TCP, as a client of one server or as a server
// of any number of clients.
//
// A host includes this header alone and links with `pkg-config --libs
// netlane`. It declares the channel interface (its virtual slots are a binary
// contract: hosts built separately call them by position), its interface
// identifier, the record passed to Open, the status codes and the library's
// one export.
//
// The channel starts no thread. Open creates a hidden window on the calling
// thread, and socket events are handled while that thread dispatches its
// messages. Other calls may come from any thread, one at a time: a call waits
// for a socket event being handled, and after Close or Release from another
// thread no event is handled on the channel any more.
//
// Received bytes are posted to the receiver as message uMsgId with wParam = a
// pointer into the channel's 768-byte receive buffer and lParam = the receive
// result (byte count, 0 or -1). The bytes stay there only until about 640
// further bytes have arrived: copy them out when the message comes, and keep
// pumping. Notifications still queued when the channel is released point
// into freed memory: drop them unread. In client mode the server's orderly
// close is posted as uMsgId + 1 with wParam = the peer text "a.b.c.d:port"
// and lParam = 20.
//
//   ISocketChannel* pChannel = InitDll();
//   pChannel->SetReceiver(WM_USER + 10, TRUE, GetCurrentThreadId());
//   SOCKET_ATTRIBUTE attr = {5000, inet_addr("127.0.0.1"), TRUE};
//   if (pChannel->Open(&attr) == 0) {
//       pChannel->Write("hello", 5);
//       MSG msg;
//       while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
//           if (msg.message == WM_USER + 10 && msg.lParam > 0) {
//               // copy lParam bytes from (const char*)msg.wParam
//           }
//           DispatchMessageW(&msg);  // runs the channel's socket events
//       }
//       pChannel->Close();
//   }
//   pChannel->Release();
#pragma once

#include "platform/windows.h"

#define NETLANE_API __attribute__((visibility("default")))

typedef LONG HRESULT;

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;
#endif
typedef GUID IID;

// Status codes of the channel's operations.
#define SK_S_OK (static_cast<HRESULT>(0))
#define SK_E_FAIL (static_cast<HRESULT>(0x80004005u))
#define SK_E_NOT_SUPPORTED (static_cast<HRESULT>(0x80046006u))

// {9D122AD5-F0CF-45AB-87A8-E7D71162AFDB}, compared as 16 bytes.
inline constexpr IID IID_ISocketChannel = {
    0x9D122AD5, 0xF0CF, 0x45AB, {0x87, 0xA8, 0xE7, 0xD7, 0x11, 0x62, 0xAF, 0xDB}};

// What Open reads: three 32-bit fields, in this order.
typedef struct _SOCKET_ATTRIBUTE {
    DWORD dwPort;    // TCP port, low 16 bits, host byte order
    DWORD dwIpAddr;  // client mode: server's IPv4 address, network byte order (inet_addr)
    BOOL bClient;    // 0: server, otherwise client
} SOCKET_ATTRIBUTE, *PSOCKET_ATTRIBUTE;
static_assert(sizeof(SOCKET_ATTRIBUTE) == 12, "SOCKET_ATTRIBUTE is three 32-bit fields");

// A TCP byte channel. Calls on one object come one at a time, from any
// thread; socket events run on the thread that called Open. The channel locks
// itself for each call and each event, so the two never overlap.
class ISocketChannel {
public:
    // Slot 0: SK_S_OK and this object stored in *ppvObject when *riid is
    // IID_ISocketChannel (the reference count is not raised); otherwise
    // SK_E_FAIL and nothing stored.
    virtual HRESULT QueryInterface(const IID* riid, void** ppvObject) = 0;
    // Slot 1: raises the reference count; returns the new count.
    virtual ULONG AddRef() = 0;
    // Slot 2: lowers the count and returns it; at 0 the channel is closed and
    // destroyed. At 0 already: returns 0 and does nothing.
    virtual ULONG Release() = 0;
    // Slot 3: names the receiver of notifications: bThreadMsg TRUE, a thread
    // id; FALSE, a window handle as a 32-bit value. Always SK_S_OK.
    virtual HRESULT SetReceiver(UINT uMsgId, BOOL bThreadMsg, DWORD dwReceiver) = 0;
    // Slot 4: the message id, the kind, and the receiver of that kind.
    virtual HRESULT GetReceiver(UINT* puMsgId, BOOL* pbThreadMsg, DWORD* pdwReceiver) = 0;
    // Slot 5: server mode: listens on the port; client mode: connects to the
    // server, waiting until the connection is made or refused. On the thread
    // that will dispatch the channel's messages. SK_S_OK or SK_E_FAIL (also
    // for a channel that is already open).
    virtual HRESULT Open(const SOCKET_ATTRIBUTE* pAttribute) = 0;
    // Slot 6: ends either mode (client: the connection; server: the listening
    // socket and every client). Always SK_S_OK.
    virtual HRESULT Close() = 0;
    // Slot 7: does nothing. Always SK_S_OK.
    virtual HRESULT Clear() = 0;
    // Slot 8: client mode: receives up to dwSize bytes without waiting; the
    // byte count, -1 on error or when nothing waits. After the server's
    // orderly close: 0 while the channel has not handled that close yet, -1
    // once it has (the uMsgId + 1 notification was posted: the connection is
    // closed). Server mode: 0, buffer untouched.
    virtual LONG Read(LPVOID lpBuffer, DWORD dwSize) = 0;
    // Slot 9: sends without waiting (client: to the server; server: the same
    // bytes to every client). The count sent or -1; in server mode the last
    // client's result, 0 without clients.
    virtual LONG Write(LPCVOID lpBuffer, DWORD dwSize) = 0;
    // Slot 10: frees a block of the library's heap (null ignored). The
    // notification pointers are not such blocks; they are ignored too.
    virtual HRESULT FreeMem(LPVOID lpBuffer) = 0;
    // Slots 11, 12: no properties. Always SK_E_NOT_SUPPORTED.
    virtual HRESULT GetProperty(DWORD dwReserved1, DWORD dwReserved2, DWORD dwReserved3) = 0;
    virtual HRESULT SetProperty(DWORD dwReserved1, DWORD dwReserved2, DWORD dwReserved3) = 0;
    // Slot 13: a host gives the object up with Release, never with delete.
    virtual ~ISocketChannel() {}
};

extern "C" {
// A new channel with a reference count of 1, or null when memory ran out.
NETLANE_API ISocketChannel* InitDll();
}
