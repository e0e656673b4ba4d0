// CSocketChannel: the TCP channel behind ISocketChannel. Not copyable; the
// library creates it (InitDll) and destroys it (Release).
//
// Host calls may come from any thread while the Open thread handles socket
// events: every operation that touches the channel's state and every event
// handler hold m_lock. The notification window finds its channel under a
// process-wide link lock that Close also takes to unlink the window, so an
// event is either handled before Close goes on or finds no channel at all.
#pragma once

#include <mutex>
#include <vector>

#include "netlane/netlane.h"

// Private messages of the notification window: events of the listening socket
// and of the accepted connections, and events of the client socket.
#define WM_SOCKET_SERVER_EVENT 1124u
#define WM_SOCKET_CLIENT_EVENT 1125u

// The receive buffer, the most one receive takes, and the fill point past
// which the next receive starts again at the front.
#define SK_RECV_BUFFER_SIZE 768u
#define SK_RECV_CHUNK 128u
#define SK_RECV_WRAP_POINT 640u
// The peer text's field, terminator included.
#define SK_PEER_TEXT_SIZE 20u

class CSocketChannel : public ISocketChannel {
public:
    // Allocates the zero-filled receive buffer; Valid() tells whether it came.
    CSocketChannel();
    ~CSocketChannel() override;
    CSocketChannel(const CSocketChannel&) = delete;
    CSocketChannel& operator=(const CSocketChannel&) = delete;

    bool Valid() const { return m_pRecvBuffer != nullptr; }

    HRESULT QueryInterface(const IID* riid, void** ppvObject) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT SetReceiver(UINT uMsgId, BOOL bThreadMsg, DWORD dwReceiver) override;
    HRESULT GetReceiver(UINT* puMsgId, BOOL* pbThreadMsg, DWORD* pdwReceiver) override;
    HRESULT Open(const SOCKET_ATTRIBUTE* pAttribute) override;
    HRESULT Close() override;
    HRESULT Clear() override;
    LONG Read(LPVOID lpBuffer, DWORD dwSize) override;
    LONG Write(LPCVOID lpBuffer, DWORD dwSize) override;
    HRESULT FreeMem(LPVOID lpBuffer) override;
    HRESULT GetProperty(DWORD dwReserved1, DWORD dwReserved2, DWORD dwReserved3) override;
    HRESULT SetProperty(DWORD dwReserved1, DWORD dwReserved2, DWORD dwReserved3) override;

    // A socket event from the notification window's procedure: hands it to
    // the channel in the window's user data, if any, with that channel's lock
    // held (socket_events.cpp).
    static void DispatchEvent(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

private:
    // Takes m_lock after cutting the window's link to the channel: from then
    // on no event handler runs on this channel, and none can start.
    std::unique_lock<std::mutex> LockUnlinked();
    // The rest run with m_lock held (the Locked suffix says so): the event
    // handlers under DispatchEvent's lock, the others under the operation's.
    void OnServerEventLocked(SOCKET s, LPARAM lEvent);
    void OnClientEventLocked(SOCKET s, LPARAM lEvent);
    BOOL OpenServerLocked(const SOCKET_ATTRIBUTE& attr);
    BOOL OpenClientLocked(const SOCKET_ATTRIBUTE& attr);
    // Ends a failed Open: closes what it made and releases the socket layer.
    void FailOpenLocked();
    // Registers the window class if needed and creates the notification
    // window with this channel in its user data (socket_events.cpp).
    BOOL CreateNotifyWindowLocked();
    void DestroyNotifyWindowLocked();
    // One receive of at most 128 bytes at the fill point, posted to the host.
    void ReceiveLocked(SOCKET s);
    void NotifyLocked(UINT uMsg, WPARAM wParam, LPARAM lParam);
    void RemoveConnectionLocked(SOCKET s);

    // Guards every field below; never held while taking the link lock.
    std::mutex m_lock;
    ULONG m_ulRefCount = 1;
    BOOL m_bClient = FALSE;
    // The socket layer was started by the Open that Close will end.
    BOOL m_bStarted = FALSE;
    SOCKET m_sListen = INVALID_SOCKET;
    SOCKET m_sClient = INVALID_SOCKET;
    std::vector<SOCKET> m_connections;
    HWND m_hNotifyWnd = nullptr;
    UINT m_uMsgId = 0;
    BOOL m_bThreadMsg = TRUE;
    DWORD m_dwThreadId = 0;
    HWND m_hReceiverWnd = nullptr;
    BYTE* m_pRecvBuffer = nullptr;
    DWORD m_dwFillPoint = 0;
    char m_szPeer[SK_PEER_TEXT_SIZE] = {};
};
