// The I/O engine of a serial port: reads and writes complete at once when
// they can, else queue (one path for both kinds) for the port's I/O thread,
// which polls the tty and applies the Windows time-out rules.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "error_from_errno.h"
#include "fault_hit.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "serial_port.h"

namespace platform {
namespace {

// Limits far beyond any real time-out are clamped so that the deadline
// arithmetic cannot overflow (2^40 ms is about 35 years).
constexpr uint64_t kMaxLimitMs = uint64_t{1} << 40;
// The time-out value with a meaning of its own (MAXDWORD).
constexpr DWORD kAllOnes = 0xFFFFFFFFu;

}  // namespace

void SerialPort::CompleteLocked(LPOVERLAPPED lpOv, DWORD dwError, DWORD dwCount) {
    CompleteOverlapped(lpOv, dwError, dwCount);
    m_syncCv.notify_all();
}

void SerialPort::CompleteWaitLocked(DWORD dwError, DWORD dwEvents) {
    if (m_wait.lpOv == nullptr)
        return;
    LPOVERLAPPED lpOv = m_wait.lpOv;
    if (dwError == ERROR_SUCCESS)
        *m_wait.lpEvtMask = dwEvents;
    m_wait = WaitOp{};
    CompleteLocked(lpOv, dwError, 0);
}

void SerialPort::FailAllLocked(DWORD dwError) {
    while (!m_reads.empty()) {
        ReadOp op = m_reads.front();
        m_reads.pop_front();
        CompleteLocked(op.lpOv, dwError, op.nGot);
    }
    while (!m_writes.empty()) {
        WriteOp op = m_writes.front();
        m_writes.pop_front();
        CompleteLocked(op.lpOv, dwError, op.nDone);
    }
    CompleteWaitLocked(dwError, 0);
}

// A pulled USB adapter reports ENXIO/ENODEV; a pseudo-terminal whose master
// closed reports EIO (and reads of 0 bytes, handled by the caller).
bool SerialPort::IsVanishErrno(int err) const {
    return err == EIO || err == ENXIO || err == ENODEV;
}

void SerialPort::VanishLocked() {
    m_bVanished = true;
    FailAllLocked(kVanishedError);
}

bool SerialPort::InQueueLocked(DWORD* pCount) {
    int n = 0;
    if (ioctl(m_fd, FIONREAD, &n) != 0) {
        if (IsVanishErrno(errno)) {
            VanishLocked();
            SetLastError(kVanishedError);
        } else {
            SetLastErrorFromErrno(errno);
        }
        return false;
    }
    *pCount = n > 0 ? static_cast<DWORD>(n) : 0;
    return true;
}

void SerialPort::Activate(ReadOp& op, Clock::time_point now) {
    const COMMTIMEOUTS& t = op.timeouts;
    op.bActive = true;
    op.lastByte = now;
    op.bHasTotal = false;
    op.bHasInterval = false;
    if (t.ReadIntervalTimeout == kAllOnes && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        op.mode = ReadMode::Immediate;
    } else if (t.ReadIntervalTimeout == kAllOnes && t.ReadTotalTimeoutMultiplier == kAllOnes &&
               t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kAllOnes) {
        op.mode = ReadMode::FirstByte;
        op.bHasTotal = true;
        op.total = now + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    } else {
        op.mode = ReadMode::General;
        uint64_t totalMs = uint64_t{t.ReadTotalTimeoutMultiplier} * op.nWant +
                           uint64_t{t.ReadTotalTimeoutConstant};
        if (totalMs != 0) {
            op.bHasTotal = true;
            op.total = now + std::chrono::milliseconds(std::min(totalMs, kMaxLimitMs));
        }
        if (t.ReadIntervalTimeout != 0) {
            op.bHasInterval = true;
            op.interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
        }
    }
}

void SerialPort::Activate(WriteOp& op, Clock::time_point now) {
    const COMMTIMEOUTS& t = op.timeouts;
    op.bActive = true;
    uint64_t totalMs =
        uint64_t{t.WriteTotalTimeoutMultiplier} * op.nWant + uint64_t{t.WriteTotalTimeoutConstant};
    op.bHasTotal = totalMs != 0;
    if (op.bHasTotal)
        op.total = now + std::chrono::milliseconds(std::min(totalMs, kMaxLimitMs));
}

// Moves what the driver holds into the read's buffer. Returns 0, or the
// Windows error that ends the read (the device vanishing included).
DWORD SerialPort::Transfer(ReadOp& op, Clock::time_point now) {
    if (FaultHit("SerialPort::Transfer"))
        return GetLastError();  // the device's own failure ends the operation
    DWORD nBefore = op.nGot;
    while (op.nGot < op.nWant) {
        ssize_t n = ::read(m_fd, op.pBuffer + op.nGot, op.nWant - op.nGot);
        if (n > 0) {
            op.nGot += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n == 0 || IsVanishErrno(errno))
            return kVanishedError;
        return ErrorFromErrno(errno);
    }
    if (op.nGot != nBefore) {
        op.lastByte = now;
        // A character was received even though a read took it at once.
        if (m_dwMask & EV_RXCHAR)
            CompleteWaitLocked(ERROR_SUCCESS, EV_RXCHAR);
    }
    return ERROR_SUCCESS;
}

DWORD SerialPort::Transfer(WriteOp& op, Clock::time_point /*now*/) {
    if (FaultHit("SerialPort::Transfer"))
        return GetLastError();
    while (op.nDone < op.nWant) {
        ssize_t n = ::write(m_fd, op.pBuffer + op.nDone, op.nWant - op.nDone);
        if (n > 0) {
            op.nDone += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n == 0 || IsVanishErrno(errno))
            return kVanishedError;
        return ErrorFromErrno(errno);
    }
    return ERROR_SUCCESS;
}

bool SerialPort::Done(const ReadOp& op, Clock::time_point now) {
    if (op.nGot == op.nWant)
        return true;
    switch (op.mode) {
        case ReadMode::Immediate:
            return true;
        case ReadMode::FirstByte:
            return op.nGot > 0 || now >= op.total;
        case ReadMode::General:
            if (op.bHasTotal && now >= op.total)
                return true;
            return op.bHasInterval && op.nGot > 0 && now - op.lastByte >= op.interval;
    }
    return true;
}

bool SerialPort::Done(const WriteOp& op, Clock::time_point now) {
    // A write cut short by its time-out succeeds with the smaller count.
    return op.nDone == op.nWant || (op.bHasTotal && now >= op.total);
}

template <class Op>
void SerialPort::PumpLocked(std::deque<Op>& queue, Clock::time_point now) {
    while (!queue.empty() && !m_bVanished) {
        Op& op = queue.front();
        if (!op.bActive)
            Activate(op, now);
        DWORD dwError = Transfer(op, now);
        if (dwError == kVanishedError) {
            VanishLocked();
            return;
        }
        if (dwError == ERROR_SUCCESS && !Done(op, now))
            return;
        Op done = op;
        queue.pop_front();
        CompleteLocked(done.lpOv, dwError, Count(done));
    }
}

// Milliseconds until the earliest limit of the operations at the heads of
// the queues (rounded up, so the thread never wakes early and spins), or -1.
int SerialPort::PollTimeoutLocked(Clock::time_point now) const {
    bool bAny = false;
    Clock::time_point earliest{};
    auto consider = [&](Clock::time_point t) {
        if (!bAny || t < earliest)
            earliest = t;
        bAny = true;
    };
    if (!m_reads.empty() && m_reads.front().bActive) {
        const ReadOp& op = m_reads.front();
        if (op.bHasTotal)
            consider(op.total);
        if (op.bHasInterval && op.nGot > 0)
            consider(op.lastByte + op.interval);
    }
    if (!m_writes.empty() && m_writes.front().bActive && m_writes.front().bHasTotal) {
        consider(m_writes.front().total);
    }
    if (!bAny)
        return -1;
    if (earliest <= now)
        return 0;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(earliest - now).count();
    int64_t ms = (us + 999) / 1000;
    return static_cast<int>(std::min<int64_t>(ms, 24 * 3600 * 1000));
}

// The port's I/O thread: sleeps in poll() on the tty and the wake-up
// eventfd, and asks the tty only for the readiness that pending operations
// need, so an idle port costs nothing.
void SerialPort::IoThread() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        if (m_bStopping)
            return;
        Clock::time_point now = Clock::now();
        // Queued operations whose predecessor finished start here.
        PumpLocked(m_reads, now);
        PumpLocked(m_writes, now);
        short events = 0;
        if (!m_reads.empty() || (m_wait.lpOv != nullptr && (m_dwMask & EV_RXCHAR))) {
            events |= POLLIN;
        }
        if (!m_writes.empty())
            events |= POLLOUT;
        // A vanished device keeps reporting POLLHUP: stop watching it.
        struct pollfd fds[2] = {{m_bVanished ? -1 : m_fd, events, 0}, {m_nWakeFd, POLLIN, 0}};
        int nTimeout = PollTimeoutLocked(now);
        lock.unlock();
        int nReady = poll(fds, 2, nTimeout);
        int nPollErr = errno;
        lock.lock();
        if (nReady < 0 && nPollErr != EINTR) {
            // Cannot happen with valid descriptors; fail what is pending
            // rather than spin.
            FailAllLocked(ErrorFromErrno(nPollErr));
            continue;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t value;
            ssize_t n = ::read(m_nWakeFd, &value, sizeof value);
            (void)n;
        }
        if (m_bStopping)
            return;
        if (m_bVanished || nReady <= 0)
            continue;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            VanishLocked();
            continue;
        }
        if ((fds[0].revents & POLLIN) && (m_dwMask & EV_RXCHAR)) {
            CompleteWaitLocked(ERROR_SUCCESS, EV_RXCHAR);
        }
    }
}

BOOL SerialPort::FinishSyncLocked(std::unique_lock<std::mutex>& lock, LPOVERLAPPED lpOv,
                                  LPDWORD lpCount) {
    m_syncCv.wait(lock, [&] { return !OverlappedPending(lpOv); });
    DWORD dwStatus = OverlappedError(lpOv);
    if (lpCount != nullptr)
        *lpCount = static_cast<DWORD>(lpOv->InternalHigh);
    if (dwStatus != ERROR_SUCCESS) {
        SetLastError(dwStatus);
        return FALSE;
    }
    return TRUE;
}

// Operations of one kind complete in call order (bytes go out in call
// order), so one starts at once only when none of its kind is queued before
// it; then it completes at once when it can, else it queues for the I/O
// thread and the caller waits (bSync) or gets ERROR_IO_PENDING.
template <class Op>
BOOL SerialPort::SubmitLocked(std::unique_lock<std::mutex>& lock, std::deque<Op>& queue, Op op,
                              bool bSync, LPDWORD lpCount) {
    if (queue.empty()) {
        Clock::time_point now = Clock::now();
        Activate(op, now);
        DWORD dwError = Transfer(op, now);
        if (dwError == kVanishedError)
            VanishLocked();
        if (dwError != ERROR_SUCCESS) {
            CompleteLocked(op.lpOv, dwError, Count(op));
            SetLastError(dwError);
            return FALSE;
        }
        if (Done(op, now)) {
            if (lpCount != nullptr)
                *lpCount = Count(op);
            CompleteLocked(op.lpOv, ERROR_SUCCESS, Count(op));
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
    }
    queue.push_back(op);
    Wake();
    if (bSync)
        return FinishSyncLocked(lock, op.lpOv, lpCount);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

bool SerialPort::TransferAllowedLocked(DWORD dwAccess) {
    if (!UsableLocked())
        return false;
    if ((m_dwAccess & dwAccess) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

BOOL SerialPort::Read(LPVOID lpBuffer, DWORD nBytes, LPDWORD lpRead, LPOVERLAPPED lpOv) {
    if (lpRead != nullptr)
        *lpRead = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    if (!TransferAllowedLocked(GENERIC_READ))
        return FALSE;
    OVERLAPPED local = {};  // a blocking call waits for it before returning
    ReadOp op = {};
    op.lpOv = lpOv != nullptr ? lpOv : &local;
    op.pBuffer = static_cast<BYTE*>(lpBuffer);
    op.nWant = nBytes;
    op.timeouts = m_timeouts;
    BeginOverlapped(op.lpOv);
    return SubmitLocked(lock, m_reads, op, !m_bOverlapped || lpOv == nullptr, lpRead);
}

BOOL SerialPort::Write(LPCVOID lpBuffer, DWORD nBytes, LPDWORD lpWritten, LPOVERLAPPED lpOv) {
    if (lpWritten != nullptr)
        *lpWritten = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    if (!TransferAllowedLocked(GENERIC_WRITE))
        return FALSE;
    OVERLAPPED local = {};
    WriteOp op = {};
    op.lpOv = lpOv != nullptr ? lpOv : &local;
    op.pBuffer = static_cast<const BYTE*>(lpBuffer);
    op.nWant = nBytes;
    op.timeouts = m_timeouts;
    BeginOverlapped(op.lpOv);
    return SubmitLocked(lock, m_writes, op, !m_bOverlapped || lpOv == nullptr, lpWritten);
}

}  // namespace platform
