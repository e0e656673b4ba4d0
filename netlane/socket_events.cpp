// The notification window and the socket events it receives: accepting and
// dropping clients in server mode, the server's close in client mode, and
// the receive shared by both, posted to the host.
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <new>

#include "socket_channel.h"

namespace {

const WCHAR kNotifyClassName[] = L"SOCKETNOTIFYWNDCLASS";
const WCHAR kNotifyWindowName[] = L"SOCKETNOTIFYWND";

// Held from reading a window's user data until its channel's lock is taken,
// and by Close while it clears the user data: a channel that Close (or
// Release) ends on another thread is either locked by the event first or no
// longer found. Never destroyed, like the window tables it pairs with.
std::mutex& LinkLock() {
    static std::mutex* s_pLock = new std::mutex;
    return *s_pLock;
}

// Hands socket events to the channel in the window's user data. Answers every
// message with 1 and passes none to the default procedure.
LRESULT CALLBACK NotifyWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_SOCKET_SERVER_EVENT || uMsg == WM_SOCKET_CLIENT_EVENT)
        CSocketChannel::DispatchEvent(hWnd, uMsg, wParam, lParam);
    return 1;
}

}  // namespace

void CSocketChannel::DispatchEvent(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    std::unique_lock<std::mutex> link(LinkLock());
    CSocketChannel* pChannel =
        reinterpret_cast<CSocketChannel*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (pChannel == nullptr)
        return;
    std::lock_guard<std::mutex> lock(pChannel->m_lock);
    link.unlock();
    if (uMsg == WM_SOCKET_SERVER_EVENT)
        pChannel->OnServerEventLocked(static_cast<SOCKET>(wParam), lParam);
    else
        pChannel->OnClientEventLocked(static_cast<SOCKET>(wParam), lParam);
}

std::unique_lock<std::mutex> CSocketChannel::LockUnlinked() {
    // The link lock first, then the channel's: the order the window
    // procedure takes them in.
    std::lock_guard<std::mutex> link(LinkLock());
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_hNotifyWnd != nullptr)
        SetWindowLongPtrW(m_hNotifyWnd, GWLP_USERDATA, 0);
    return lock;
}

BOOL CSocketChannel::CreateNotifyWindowLocked() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = NotifyWndProc;
    wc.lpszClassName = kNotifyClassName;
    // Registered once for the process and never unregistered; another
    // channel (or thread) may have registered it first.
    if (RegisterClassW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return FALSE;
    m_hNotifyWnd = CreateWindowExW(0, kNotifyClassName, kNotifyWindowName, 0, 0, 0, 0, 0, nullptr,
                                   nullptr, nullptr, this);
    if (m_hNotifyWnd == nullptr)
        return FALSE;
    // The platform sends no WM_CREATE, so the channel goes into the user data
    // here, before any message can reach the window.
    SetWindowLongPtrW(m_hNotifyWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return TRUE;
}

void CSocketChannel::DestroyNotifyWindowLocked() {
    if (m_hNotifyWnd == nullptr)
        return;
    // Cleared first: from a thread other than the window's, DestroyWindow
    // fails, and a later event must not reach a destroyed channel. (Close has
    // cleared it under the link lock already; a failing Open needs no link
    // lock, as the window's events run only on the thread inside Open.)
    SetWindowLongPtrW(m_hNotifyWnd, GWLP_USERDATA, 0);
    DestroyWindow(m_hNotifyWnd);
    m_hNotifyWnd = nullptr;
}

void CSocketChannel::OnServerEventLocked(SOCKET s, LPARAM lEvent) {
    WORD wEvent = WSAGETSELECTEVENT(lEvent);
    if (WSAGETSELECTERROR(lEvent) != 0 || wEvent == FD_CLOSE) {
        // Only sockets of this channel are closed: a late event may name one
        // that is already gone.
        if (s == m_sListen) {
            closesocket(s);
            m_sListen = INVALID_SOCKET;
        } else if (std::find(m_connections.begin(), m_connections.end(), s) !=
                   m_connections.end()) {
            closesocket(s);
            RemoveConnectionLocked(s);
        }
        return;
    }
    if (wEvent == FD_ACCEPT) {
        SOCKET sNew = accept(m_sListen, nullptr, nullptr);
        if (sNew == INVALID_SOCKET)
            return;
        try {
            m_connections.push_back(sNew);
        } catch (const std::bad_alloc&) {
            closesocket(sNew);
            return;
        }
        // A client whose events cannot be asked for would never be read.
        if (WSAAsyncSelect(sNew, m_hNotifyWnd, WM_SOCKET_SERVER_EVENT,
                           FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            closesocket(sNew);
            m_connections.pop_back();
        }
    } else if (wEvent == FD_READ) {
        ReceiveLocked(s);
    }
}

void CSocketChannel::OnClientEventLocked(SOCKET s, LPARAM lEvent) {
    WORD wEvent = WSAGETSELECTEVENT(lEvent);
    if (WSAGETSELECTERROR(lEvent) != 0) {
        if (m_sClient != INVALID_SOCKET) {
            closesocket(m_sClient);
            m_sClient = INVALID_SOCKET;
        }
        return;
    }
    if (wEvent == FD_READ) {
        ReceiveLocked(s);
    } else if (wEvent == FD_CLOSE && m_sClient != INVALID_SOCKET) {
        char szDiscard[SK_RECV_CHUNK];
        while (recv(m_sClient, szDiscard, sizeof szDiscard, 0) > 0) {
        }
        sockaddr_in addr = {};
        int nLen = sizeof addr;
        getpeername(m_sClient, reinterpret_cast<sockaddr*>(&addr), &nLen);
        closesocket(m_sClient);
        m_sClient = INVALID_SOCKET;
        // The widest address and port do not fit: the text is cut at 19.
        std::snprintf(m_szPeer, sizeof m_szPeer, "%s:%d", inet_ntoa(addr.sin_addr),
                      static_cast<int>(ntohs(addr.sin_port)));
        NotifyLocked(m_uMsgId + 1, reinterpret_cast<WPARAM>(m_szPeer), SK_PEER_TEXT_SIZE);
    }
}

void CSocketChannel::ReceiveLocked(SOCKET s) {
    BYTE* pStart = m_pRecvBuffer + m_dwFillPoint;
    int nResult = recv(s, reinterpret_cast<char*>(pStart), SK_RECV_CHUNK, 0);
    NotifyLocked(m_uMsgId, reinterpret_cast<WPARAM>(pStart), nResult);
    if (nResult > 0)
        m_dwFillPoint += static_cast<DWORD>(nResult);
    // The fill point never exceeds 640 before a receive, so 128 bytes fit.
    if (m_dwFillPoint > SK_RECV_WRAP_POINT)
        m_dwFillPoint = 0;
}

void CSocketChannel::NotifyLocked(UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (m_hReceiverWnd == nullptr && m_dwThreadId == 0)
        return;
    if (m_bThreadMsg)
        PostThreadMessageW(m_dwThreadId, uMsg, wParam, lParam);
    else
        PostMessageW(m_hReceiverWnd, uMsg, wParam, lParam);
}

void CSocketChannel::RemoveConnectionLocked(SOCKET s) {
    auto it = std::find(m_connections.begin(), m_connections.end(), s);
    if (it != m_connections.end())
        m_connections.erase(it);
}
