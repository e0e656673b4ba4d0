// CUartComm: the byte channel over one COM port, with its receive thread.
//
// The host's calls on one object come one at a time; the receive thread runs
// beside them and reads the flags, the port and the receiver, which are
// atomics here so the sharing is well defined.
#pragma once

#include <atomic>

#include "comm_channel.h"
#include "memory_mgr.h"
#include "platform/windows.h"
#include "vx_log_interface.h"

class CUartComm : public ICommChannel {
public:
    CUartComm();
    ~CUartComm() override;
    CUartComm(const CUartComm&) = delete;
    CUartComm& operator=(const CUartComm&) = delete;

    BOOL InitLog(LPCWSTR lpszLogFile, DWORD dwLogFlags, DWORD dwReserved, IVxLog* pLog) override;
    BOOL SetReceiver(UINT uMsgId, BOOL bThreadMsg, DWORD dwReceiver) override;
    void GetReceiver(UINT* puMsgId, BOOL* pbThreadMsg, DWORD* pdwReceiver) override;
    BOOL Open(const CHANNEL_ATTRIBUTE* pAttribute) override;
    void Close() override;
    BOOL Clear() override;
    DWORD Read(LPVOID lpBuffer, DWORD dwSize, DWORD dwTimeout, DWORD dwReserved) override;
    DWORD Write(LPCVOID lpBuffer, DWORD dwSize, DWORD dwReserved) override;
    void FreeMem(LPVOID lpBuffer) override;
    BOOL GetProperty(DWORD dwReserved, DWORD dwPropId, DWORD* pdwValue) override;
    BOOL SetProperty(DWORD dwReserved, DWORD dwPropId, const DWORD* pdwValue) override;

private:
    // Log set-up in Open, once Channel.ini has been read: creates the log
    // object if needed and opens the channel's log file (unless LogMode is
    // 0). FALSE on failure.
    BOOL OpenLog(DWORD dwPort);
    void CloseLog();
    // The directory of the host executable, without a trailing separator.
    // FALSE when the module name is unknown or does not fit in dwCapacity.
    BOOL GetModuleDir(LPWSTR lpszDir, DWORD dwCapacity);
    // Reads Channel.ini beside the host executable into the settings fields.
    BOOL LoadConfig();
    BOOL SetupPort(HANDLE hUart, DWORD dwBaud);
    BOOL SetTimeouts(HANDLE hUart);
    // Ends a pending comm-event wait on lpOv and returns once it completed.
    void CancelCommWait(HANDLE hUart, LPOVERLAPPED lpOv);
    BOOL CreateEvents();
    void CloseEvents();
    // Undoes a failing Open once its events exist: closes hUart (unless
    // invalid), the events and the log file, so a host that retries or
    // releases the channel keeps no handle. Returns FALSE, Open's result.
    BOOL AbandonOpen(HANDLE hUart);

    // Receive thread (receive_thread.cpp).
    BOOL StartAutoRead(HANDLE hUart);
    // Stops the thread: run flag off, mask written, wait up to 5000 ms.
    // Returns TRUE when the thread has ended (its handle is then closed);
    // FALSE leaves m_hUartThread set so the caller can wait on after closing
    // the port.
    BOOL StopAutoRead();
    // Waits without limit for a thread that StopAutoRead left running, then
    // closes its handle. Called only once the port is closed.
    void JoinAutoRead();
    static unsigned AutoReadThread(void* pChannel);
    DWORD AutoRead(LPVOID lpData, DWORD ulDataSize);
    void PostData(LPVOID lpData, DWORD dwCount);
    BOOL HasReceiver() const { return m_hWnd.load() != 0 || m_dwThreadId.load() != 0; }

    // Writes one line through the log object when one is held. The format is
    // handed to the log as it stands, so a host's own log sees the same text.
    template <class... Args>
    void LogLine(LPCWSTR lpszFmt, Args... args) {
        if (m_pLogUtil != nullptr)
            m_pLogUtil->WriteFormatW(lpszFmt, args...);
    }

    std::atomic<HANDLE> m_hUart;
    std::atomic<BOOL> m_bOpened;
    DWORD m_dwPort;
    DWORD m_dwBaud;
    HANDLE m_hUartThread;
    OVERLAPPED m_ovRead;
    OVERLAPPED m_ovAutoRead;
    OVERLAPPED m_ovWrite;
    std::atomic<UINT> m_uMsgId;
    std::atomic<BOOL> m_bThreadMsg;
    std::atomic<DWORD> m_dwThreadId;
    std::atomic<DWORD> m_hWnd;  // the window handle as the 32-bit value hosts pass
    CMemoryMgr m_MemMgr;
    IVxLog* m_pLogUtil;
    WCHAR m_szLogFile[MAX_PATH];
    DWORD m_dwLogFlags;
    std::atomic<BOOL> m_bRunThread;
    COMMTIMEOUTS m_CommTimeouts;
    DWORD m_dwCommQueueSize;
    std::atomic<BOOL> m_bDebugMode;
    std::atomic<BOOL> m_bDebugDetailMode;
    BOOL m_bLogMode;
    BOOL m_bUseMempool;
    DWORD m_dwErrorCode;
};
