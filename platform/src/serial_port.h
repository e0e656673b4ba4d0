// One open serial port: a tty in raw mode, owned exclusively, with one I/O
// thread that completes the port's pending operations. Opening, closing and
// the comm calls: serial_port.cpp; transfers and the I/O thread:
// serial_io.cpp; line settings: serial_line.cpp.
//
// Every field below is guarded by m_lock. Pending operations hold the
// caller's buffers and OVERLAPPED records; they are only touched with m_lock
// held, and an operation leaves its queue in the same critical section that
// completes it. So once a call that completes operations (SetCommMask,
// PurgeComm, CloseHandle) returns, the platform never touches those records
// or buffers again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <sys/types.h>

#include "kernel_object.h"
#include "platform/win_serial.h"

namespace platform {

// The error a vanished device reports from every later call.
inline constexpr DWORD kVanishedError = ERROR_DEVICE_NOT_CONNECTED;

class SerialPort final : public KernelObject {
public:
    using Clock = std::chrono::steady_clock;

    // Opens the tty at path exclusively in raw mode and starts the I/O
    // thread. Returns null with the last error on failure
    // (ERROR_ACCESS_DENIED when the device is already open anywhere).
    static std::shared_ptr<SerialPort> Open(const std::string& path, DWORD dwAccess,
                                            bool bOverlapped);
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Completes every pending operation with ERROR_OPERATION_ABORTED, stops
    // the I/O thread, closes the tty and releases the exclusivity.
    void OnClose() override;
    // Transfers: complete at once when possible, else pending (overlapped) or
    // blocking (non-overlapped handle or no record). Thread-safe.
    BOOL Read(LPVOID lpBuffer, DWORD nBytes, LPDWORD lpRead, LPOVERLAPPED lpOv) override;
    BOOL Write(LPCVOID lpBuffer, DWORD nBytes, LPDWORD lpWritten, LPOVERLAPPED lpOv) override;
    // Bytes are handed to the driver as they are written; nothing to flush.
    BOOL Flush() override;

    // The comm calls of win_serial.h, each thread-safe, each storing the last
    // error on failure.
    BOOL GetState(LPDCB lpDCB);
    BOOL SetState(const DCB* lpDCB);
    BOOL Setup(DWORD dwInQueue, DWORD dwOutQueue);
    BOOL GetTimeouts(LPCOMMTIMEOUTS lpTimeouts);
    BOOL SetTimeouts(const COMMTIMEOUTS* lpTimeouts);
    BOOL Purge(DWORD dwFlags);
    BOOL ClearError(LPDWORD lpErrors, LPCOMSTAT lpStat);
    BOOL SetMask(DWORD dwMask);
    BOOL GetMask(LPDWORD lpMask);
    BOOL WaitEvent(LPDWORD lpEvtMask, LPOVERLAPPED lpOv);
    BOOL Escape(DWORD dwFunc);

private:
    // How a read ends, from the time-outs in force when it started.
    enum class ReadMode {
        Immediate,  // return what is there, possibly nothing
        FirstByte,  // wait up to a limit for the first byte, then return
        General,    // total and interval limits (each optional), else until full
    };
    struct ReadOp {
        LPOVERLAPPED lpOv;
        BYTE* pBuffer;
        DWORD nWant;
        DWORD nGot;
        COMMTIMEOUTS timeouts;
        bool bActive;  // limits start when the read reaches the head of the queue
        ReadMode mode;
        bool bHasTotal;
        Clock::time_point total;
        bool bHasInterval;
        Clock::duration interval;
        Clock::time_point lastByte;
    };
    struct WriteOp {
        LPOVERLAPPED lpOv;
        const BYTE* pBuffer;
        DWORD nWant;
        DWORD nDone;
        COMMTIMEOUTS timeouts;
        bool bActive;
        bool bHasTotal;
        Clock::time_point total;
    };
    struct WaitOp {
        LPOVERLAPPED lpOv = nullptr;
        LPDWORD lpEvtMask = nullptr;
    };

    SerialPort(int fd, int nWakeFd, DWORD dwAccess, bool bOverlapped, dev_t device);

    // All of the following run with m_lock held.
    bool UsableLocked();
    void CompleteLocked(LPOVERLAPPED lpOv, DWORD dwError, DWORD dwCount);
    void CompleteWaitLocked(DWORD dwError, DWORD dwEvents);
    void FailAllLocked(DWORD dwError);
    void VanishLocked();
    bool IsVanishErrno(int err) const;
    bool InQueueLocked(DWORD* pCount);
    // One kind of operation each (serial_io.cpp): start its limits, move
    // bytes (0 or the Windows error that ends it), tell whether it is done,
    // and its count so far. The fault seam's "SerialPort::Transfer" makes a
    // transfer end with the armed error, on the caller's or the I/O thread.
    void Activate(ReadOp& op, Clock::time_point now);
    void Activate(WriteOp& op, Clock::time_point now);
    DWORD Transfer(ReadOp& op, Clock::time_point now);
    DWORD Transfer(WriteOp& op, Clock::time_point now);
    static bool Done(const ReadOp& op, Clock::time_point now);
    static bool Done(const WriteOp& op, Clock::time_point now);
    static DWORD Count(const ReadOp& op) { return op.nGot; }
    static DWORD Count(const WriteOp& op) { return op.nDone; }
    // The shared paths of both kinds: a new operation, and the queue's head.
    template <class Op>
    BOOL SubmitLocked(std::unique_lock<std::mutex>& lock, std::deque<Op>& queue, Op op, bool bSync,
                      LPDWORD lpCount);
    template <class Op>
    void PumpLocked(std::deque<Op>& queue, Clock::time_point now);
    // Usable, and opened with dwAccess; else FALSE with the last error.
    bool TransferAllowedLocked(DWORD dwAccess);
    int PollTimeoutLocked(Clock::time_point now) const;
    // Waits for a blocking call's operation to finish, then reports it.
    BOOL FinishSyncLocked(std::unique_lock<std::mutex>& lock, LPOVERLAPPED lpOv, LPDWORD lpCount);
    // Line settings (serial_line.cpp).
    DWORD ApplyStateLocked(const DCB& dcb);
    DWORD SetModemLineLocked(int nLine, bool bOn);
    void InitStateLocked();
    // Before the last close: lets queued output drain for as long as the
    // line needs to send it, then discards the rest.
    void DrainForCloseLocked();

    void Wake();
    void IoThread();
    void Shutdown();

    std::mutex m_lock;
    std::condition_variable m_syncCv;  // blocking calls wait here for completion
    int m_fd;
    int m_nWakeFd;  // eventfd: new work or shutdown for the I/O thread
    const DWORD m_dwAccess;
    const bool m_bOverlapped;
    const dev_t m_device;
    bool m_bClosed = false;
    bool m_bStopping = false;
    bool m_bVanished = false;
    std::thread m_ioThread;

    std::deque<ReadOp> m_reads;
    std::deque<WriteOp> m_writes;
    WaitOp m_wait;
    DWORD m_dwMask = 0;
    COMMTIMEOUTS m_timeouts = {};
    DCB m_dcb = {};
    DWORD m_dwInQueue = 0;
    DWORD m_dwOutQueue = 0;
    DWORD m_dwErrors = 0;
    // Line-error counters at the last ClearCommError (real UARTs only).
    struct {
        int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
    } m_counts;
};

// Custom baud rates through termios2 (serial_baud.cpp, which cannot share a
// translation unit with <termios.h>). Return 0 or an errno value.
int SetCustomBaud(int fd, DWORD dwBaud);
int GetCustomBaud(int fd, DWORD* pBaud);

}  // namespace platform
