// CSocketChannel's operations: reference counting, the receiver, Open in both
// modes, Close, Read, Write and the unsupported properties.
#include "socket_channel.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

CSocketChannel::CSocketChannel()
    : m_pRecvBuffer(static_cast<BYTE*>(std::calloc(SK_RECV_BUFFER_SIZE, 1))) {}

CSocketChannel::~CSocketChannel() {
    Close();
    std::free(m_pRecvBuffer);
}

HRESULT CSocketChannel::QueryInterface(const IID* riid, void** ppvObject) {
    if (riid == nullptr || ppvObject == nullptr ||
        std::memcmp(riid, &IID_ISocketChannel, sizeof(IID)) != 0) {
        return SK_E_FAIL;
    }
    *ppvObject = static_cast<ISocketChannel*>(this);
    return SK_S_OK;
}

ULONG CSocketChannel::AddRef() {
    std::lock_guard<std::mutex> lock(m_lock);
    return ++m_ulRefCount;
}

ULONG CSocketChannel::Release() {
    ULONG ulCount;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_ulRefCount == 0)
            return 0;
        ulCount = --m_ulRefCount;
    }
    if (ulCount == 0) {
        // Close waits for an event being handled on the Open thread and
        // unlinks the window, so no handler touches the object once it goes.
        Close();
        delete this;
    }
    return ulCount;
}

HRESULT CSocketChannel::SetReceiver(UINT uMsgId, BOOL bThreadMsg, DWORD dwReceiver) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_uMsgId = uMsgId;
    m_bThreadMsg = bThreadMsg;
    if (bThreadMsg)
        m_dwThreadId = dwReceiver;
    else
        m_hReceiverWnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(dwReceiver));
    return SK_S_OK;
}

HRESULT CSocketChannel::GetReceiver(UINT* puMsgId, BOOL* pbThreadMsg, DWORD* pdwReceiver) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (puMsgId != nullptr)
        *puMsgId = m_uMsgId;
    if (pbThreadMsg != nullptr)
        *pbThreadMsg = m_bThreadMsg;
    if (pdwReceiver != nullptr) {
        *pdwReceiver = m_bThreadMsg
                           ? m_dwThreadId
                           : static_cast<DWORD>(reinterpret_cast<uintptr_t>(m_hReceiverWnd));
    }
    return SK_S_OK;
}

HRESULT CSocketChannel::Open(const SOCKET_ATTRIBUTE* pAttribute) {
    std::lock_guard<std::mutex> lock(m_lock);
    // A second Open would lose the first one's socket, window and start.
    if (pAttribute == nullptr || m_bStarted)
        return SK_E_FAIL;
    m_bClient = pAttribute->bClient != 0 ? TRUE : FALSE;
    WSADATA wsaData;
    if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0)
        return SK_E_FAIL;
    if (wsaData.wVersion != MAKEWORD(2, 2)) {
        WSACleanup();
        return SK_E_FAIL;
    }
    m_bStarted = TRUE;
    BOOL bOpened = m_bClient ? OpenClientLocked(*pAttribute) : OpenServerLocked(*pAttribute);
    if (!bOpened) {
        FailOpenLocked();
        return SK_E_FAIL;
    }
    return SK_S_OK;
}

BOOL CSocketChannel::OpenServerLocked(const SOCKET_ATTRIBUTE& attr) {
    m_sListen = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_sListen == INVALID_SOCKET)
        return FALSE;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<WORD>(attr.dwPort & 0xFFFF));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(m_sListen, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return FALSE;
    if (!CreateNotifyWindowLocked())
        return FALSE;
    // Without its accept events the server would never see a client.
    if (WSAAsyncSelect(m_sListen, m_hNotifyWnd, WM_SOCKET_SERVER_EVENT, FD_ACCEPT) != 0)
        return FALSE;
    return listen(m_sListen, SOMAXCONN) == 0;
}

BOOL CSocketChannel::OpenClientLocked(const SOCKET_ATTRIBUTE& attr) {
    if (attr.dwIpAddr == INADDR_NONE)
        return FALSE;
    m_sClient = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_sClient == INVALID_SOCKET)
        return FALSE;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<WORD>(attr.dwPort & 0xFFFF));
    addr.sin_addr.s_addr = attr.dwIpAddr;
    if (connect(m_sClient, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return FALSE;
    if (!CreateNotifyWindowLocked())
        return FALSE;
    return WSAAsyncSelect(m_sClient, m_hNotifyWnd, WM_SOCKET_CLIENT_EVENT,
                          FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) == 0;
}

void CSocketChannel::FailOpenLocked() {
    SOCKET& s = m_bClient ? m_sClient : m_sListen;
    if (s != INVALID_SOCKET) {
        closesocket(s);
        s = INVALID_SOCKET;
    }
    DestroyNotifyWindowLocked();
    WSACleanup();
    m_bStarted = FALSE;
}

HRESULT CSocketChannel::Close() {
    std::unique_lock<std::mutex> lock = LockUnlinked();
    if (m_bClient) {
        if (m_sClient != INVALID_SOCKET) {
            shutdown(m_sClient, SD_SEND);
            // Once the window is gone its close event is never handled, so
            // the socket is closed here.
            closesocket(m_sClient);
            m_sClient = INVALID_SOCKET;
        }
    } else if (m_sListen != INVALID_SOCKET) {
        closesocket(m_sListen);
        m_sListen = INVALID_SOCKET;
    }
    if (m_bStarted) {
        WSACleanup();
        m_bStarted = FALSE;
    }
    DestroyNotifyWindowLocked();
    for (SOCKET s : m_connections)
        closesocket(s);
    m_connections.clear();
    return SK_S_OK;
}

HRESULT CSocketChannel::Clear() {
    return SK_S_OK;
}

LONG CSocketChannel::Read(LPVOID lpBuffer, DWORD dwSize) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_bClient)
        return 0;
    int nSize = static_cast<int>(std::min<DWORD>(dwSize, INT_MAX));
    return recv(m_sClient, static_cast<char*>(lpBuffer), nSize, 0);
}

LONG CSocketChannel::Write(LPCVOID lpBuffer, DWORD dwSize) {
    const char* p = static_cast<const char*>(lpBuffer);
    int nSize = static_cast<int>(std::min<DWORD>(dwSize, INT_MAX));
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_bClient)
        return send(m_sClient, p, nSize, 0);
    LONG lResult = 0;
    for (SOCKET s : m_connections)
        lResult = send(s, p, nSize, 0);
    return lResult;
}

HRESULT CSocketChannel::FreeMem(LPVOID lpBuffer) {
    // Notification pointers point into the channel's own buffers: freeing
    // one would wreck the heap, so they are ignored. (Both buffers stay where
    // they are for the channel's life: no lock needed.)
    const uintptr_t p = reinterpret_cast<uintptr_t>(lpBuffer);
    const uintptr_t pBuffer = reinterpret_cast<uintptr_t>(m_pRecvBuffer);
    const uintptr_t pPeer = reinterpret_cast<uintptr_t>(m_szPeer);
    if (p == 0 || (p >= pBuffer && p < pBuffer + SK_RECV_BUFFER_SIZE) ||
        (p >= pPeer && p < pPeer + sizeof m_szPeer)) {
        return SK_S_OK;
    }
    std::free(lpBuffer);
    return SK_S_OK;
}

HRESULT CSocketChannel::GetProperty(DWORD, DWORD, DWORD) {
    return SK_E_NOT_SUPPORTED;
}

HRESULT CSocketChannel::SetProperty(DWORD, DWORD, DWORD) {
    return SK_E_NOT_SUPPORTED;
}
