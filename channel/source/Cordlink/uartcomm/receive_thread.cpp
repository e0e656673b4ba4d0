// The receive thread: reads every block as soon as the driver holds it and
// posts it to the host's thread or window; the host returns each buffer with
// FreeMem.
#include <cassert>

#include "uart_comm.h"

namespace {

// How long StopAutoRead waits for the thread in all, and how often it
// re-writes the event mask meanwhile. The thread may have checked its run
// flag just before the flag was cleared and only then started its comm-event
// wait; a single mask write could miss that wait, so it is repeated.
constexpr DWORD kStopWaitMs = 5000;
constexpr DWORD kStopSliceMs = 20;
// Pause before asking the allocator again when it had no buffer; the bytes
// meanwhile stay in the driver's queue.
constexpr DWORD kAllocRetryMs = 10;

}  // namespace

BOOL CUartComm::SetReceiver(UINT uMsgId, BOOL bThreadMsg, DWORD dwReceiver) {
    m_uMsgId = uMsgId;
    m_bThreadMsg = bThreadMsg;
    if (bThreadMsg) {
        m_dwThreadId = dwReceiver;
    } else {
        m_hWnd = dwReceiver;
    }
    // A thread that outlived an earlier stop and has ended since no longer
    // blocks a new start.
    if (m_hUartThread != nullptr && !m_bRunThread.load() &&
        WaitForSingleObject(m_hUartThread, 0) == WAIT_OBJECT_0) {
        CloseHandle(m_hUartThread);
        m_hUartThread = nullptr;
    }
    HANDLE hUart = m_hUart.load();
    if (m_hUartThread == nullptr && hUart != INVALID_HANDLE_VALUE && dwReceiver != 0) {
        if (!StartAutoRead(hUart))
            return FALSE;
    }
    if (dwReceiver == 0 && m_hUartThread != nullptr) {
        // A thread that does not end in time keeps its handle; Close waits
        // for it once the port is closed.
        StopAutoRead();
    }
    return TRUE;
}

void CUartComm::GetReceiver(UINT* puMsgId, BOOL* pbThreadMsg, DWORD* pdwReceiver) {
    if (puMsgId != nullptr)
        *puMsgId = m_uMsgId;
    if (pbThreadMsg != nullptr)
        *pbThreadMsg = m_bThreadMsg;
    if (pdwReceiver != nullptr)
        *pdwReceiver = m_bThreadMsg ? m_dwThreadId.load() : m_hWnd.load();
}

void CUartComm::FreeMem(LPVOID lpBuffer) {
    if (lpBuffer != nullptr)
        m_MemMgr.Free(lpBuffer);
}

BOOL CUartComm::StartAutoRead(HANDLE hUart) {
    assert(hUart != INVALID_HANDLE_VALUE);
    if (hUart == INVALID_HANDLE_VALUE)
        return FALSE;
    if (!SetCommMask(hUart, EV_RXCHAR))
        return FALSE;
    m_bRunThread = TRUE;
    m_hUartThread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, AutoReadThread, this, 0, nullptr));
    if (m_hUartThread == nullptr) {
        DWORD dwError = GetLastError();
        m_bRunThread = FALSE;
        LogLine(L"Call _beginthreadex()  fail. [ErrorCode:0x%08X]", dwError);
        return FALSE;
    }
    assert(NULL != m_hUartThread);
    return TRUE;
}

BOOL CUartComm::StopAutoRead() {
    m_bRunThread = FALSE;
    if (m_hUartThread == nullptr) {
        HANDLE hUart = m_hUart.load();
        if (hUart != INVALID_HANDLE_VALUE)
            SetCommMask(hUart, EV_RXCHAR);
        return TRUE;
    }
    DWORD dwWaited = 0;
    DWORD dwWait = WAIT_TIMEOUT;
    while (dwWait == WAIT_TIMEOUT && dwWaited < kStopWaitMs) {
        HANDLE hUart = m_hUart.load();
        if (hUart != INVALID_HANDLE_VALUE)
            SetCommMask(hUart, EV_RXCHAR);
        dwWait = WaitForSingleObject(m_hUartThread, kStopSliceMs);
        dwWaited += kStopSliceMs;
    }
    if (dwWait == WAIT_TIMEOUT)
        return FALSE;
    CloseHandle(m_hUartThread);
    m_hUartThread = nullptr;
    return TRUE;
}

void CUartComm::JoinAutoRead() {
    if (m_hUartThread == nullptr)
        return;
    WaitForSingleObject(m_hUartThread, INFINITE);
    CloseHandle(m_hUartThread);
    m_hUartThread = nullptr;
}

unsigned CUartComm::AutoReadThread(void* pChannel) {
    CUartComm* pThis = static_cast<CUartComm*>(pChannel);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) {
        pThis->LogLine(L"AutoRead Call CreateEvent() fail, [ErrorCode:0x%08X].", GetLastError());
        return 0xFFFFFFFFu;
    }
    COMSTAT stat = {};
    DWORD dwErrors = 0;
    DWORD dwEventMask = 0;
    while (pThis->m_bOpened.load() && pThis->m_bRunThread.load()) {
        HANDLE hUart = pThis->m_hUart.load();
        DWORD dwInQue = 0;
        if (ClearCommError(hUart, &dwErrors, &stat))
            dwInQue = stat.cbInQue;

        if (dwInQue > 0) {
            LPVOID lpBuffer = pThis->m_MemMgr.Alloc(dwInQue);
            if (lpBuffer == nullptr) {
                // No memory now: leave the bytes in the driver's queue and try
                // again shortly, rather than reading into nothing.
                Sleep(kAllocRetryMs);
                continue;
            }
            DWORD dwRead = pThis->AutoRead(lpBuffer, dwInQue);
            pThis->PostData(lpBuffer, dwRead);
            continue;
        }

        if (pThis->m_bDebugDetailMode)
            pThis->LogLine(L"AutoRead Call WaitCommEvent()");
        dwEventMask = 0;
        if (WaitCommEvent(hUart, &dwEventMask, &ov))
            continue;
        DWORD dwError = GetLastError();
        if (dwError == ERROR_IO_PENDING) {
            DWORD dwUnused = 0;
            GetOverlappedResult(hUart, &ov, &dwUnused, TRUE);
            continue;
        }
        CloseHandle(ov.hEvent);
        pThis->LogLine(L"AutoRead Call WaitCommEvent() fail, [ErrorCode:0x%08X][EventMask:0x%08X].",
                       dwError, dwEventMask);
        return 0xFFFFFFFFu;
    }
    CloseHandle(ov.hEvent);
    return 0;
}

DWORD CUartComm::AutoRead(LPVOID lpData, DWORD ulDataSize) {
    assert(lpData != NULL);
    assert(ulDataSize > 0);
    HANDLE hUart = m_hUart.load();
    if (hUart == INVALID_HANDLE_VALUE || lpData == nullptr || ulDataSize == 0)
        return 0;

    DWORD dwErrors = 0;
    COMSTAT stat = {};
    if (!ClearCommError(hUart, &dwErrors, &stat)) {
        LogLine(L"AutoRead Call ClearCommError() fail, [ErrorCode: 0x%08X].", GetLastError());
        return 0;
    }
    ResetEvent(m_ovAutoRead.hEvent);
    DWORD dwRead = 0;
    if (!ReadFile(hUart, lpData, ulDataSize, &dwRead, &m_ovAutoRead)) {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_IO_PENDING) {
            DWORD dwMore = 0;
            BOOL bDone = GetOverlappedResult(hUart, &m_ovAutoRead, &dwMore, TRUE);
            DWORD dwWaitError = GetLastError();
            // Bytes that reached the buffer before a failure are still data.
            dwRead += dwMore;
            if (!bDone) {
                LogLine(L"AutoRead call GetOverlappedResult() fail, [ErrorCode: 0x%08X].",
                        dwWaitError);
            }
        } else {
            LogLine(L"AutoRead call ReadFile() fail, [ErrorCode: 0x%08X].", dwError);
        }
    }
    if (m_bDebugMode && m_pLogUtil != nullptr) {
        LogLine(L"Want to autoread from channel %d bytes.", ulDataSize);
        m_pLogUtil->WriteDump(lpData, dwRead, DUMP_AUTO_READ);
    }
    return dwRead;
}

void CUartComm::PostData(LPVOID lpData, DWORD dwCount) {
    if (!HasReceiver()) {
        FreeMem(lpData);
        return;
    }
    const UINT uMsgId = m_uMsgId;
    const WPARAM wParam = reinterpret_cast<WPARAM>(lpData);
    const LPARAM lParam = static_cast<LPARAM>(dwCount);
    if (m_bThreadMsg) {
        const DWORD dwThreadId = m_dwThreadId;
        for (int nTry = 0; nTry < 3; ++nTry) {
            if (PostThreadMessageW(dwThreadId, uMsgId, wParam, lParam))
                return;
            LogLine(L"Call PostThreadMessage() fail.[ErrorCode:0x%08X]", GetLastError());
        }
        LogLine(L"Try PostThreadMessage() 3 times failed");
    } else {
        HWND hWnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(m_hWnd.load()));
        for (int nTry = 0; nTry < 3; ++nTry) {
            if (PostMessageW(hWnd, uMsgId, wParam, lParam))
                return;
            LogLine(L"Call PostMessage() fail, [ErrorCode:0x%08X].", GetLastError());
        }
        LogLine(L"Try PostMessage() 3 times failed.");
    }
    FreeMem(lpData);
}
