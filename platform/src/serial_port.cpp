// Serial ports on "\\.\COMn": opening through the COM port map, the port's
// transfers, comm events, queues and its I/O thread.
#include "serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cwctype>
#include <set>

#include "platform/com_port_map.h"
#include "platform/win_error.h"
#include "platform/win_file.h"

namespace platform {
namespace {

// Devices open in this process. flock() already refuses a second opener, in
// this process or another; the set makes the answer independent of how the
// second opener reaches the device (another node with the same numbers).
std::mutex g_openLock;
std::set<dev_t> g_openDevices;

// The error a vanished device reports from every later call.
constexpr DWORD kVanishedError = ERROR_DEVICE_NOT_CONNECTED;
// Limits far beyond any real time-out are clamped so that the deadline
// arithmetic cannot overflow (2^40 ms is about 35 years).
constexpr uint64_t kMaxLimitMs = uint64_t{1} << 40;
// The time-out value with a meaning of its own (MAXDWORD).
constexpr DWORD kAllOnes = 0xFFFFFFFFu;

ULONG_PTR Status(LPOVERLAPPED lpOv) {
    return std::atomic_ref<ULONG_PTR>(lpOv->Internal).load(std::memory_order_acquire);
}

// "\\.\COM<n>" or "COM<n>" (any case) -> n; 0 when the name is not a COM name.
DWORD ParseComName(const std::wstring& name) {
    std::wstring rest = name;
    if (rest.rfind(L"\\\\.\\", 0) == 0)
        rest = rest.substr(4);
    if (rest.size() < 4)
        return 0;
    for (int i = 0; i < 3; ++i) {
        if (std::towupper(static_cast<wint_t>(rest[i])) != static_cast<wint_t>(L"COM"[i]))
            return 0;
    }
    uint64_t value = 0;
    for (size_t i = 3; i < rest.size(); ++i) {
        if (rest[i] < L'0' || rest[i] > L'9')
            return 0;
        value = value * 10 + static_cast<uint64_t>(rest[i] - L'0');
        if (value > 0xFFFFFFFFu)
            return 0;
    }
    return static_cast<DWORD>(value);
}

}  // namespace

SerialPort::SerialPort(int fd, int nWakeFd, DWORD dwAccess, bool bOverlapped, dev_t device)
    : KernelObject(ObjectKind::Serial),
      m_fd(fd),
      m_nWakeFd(nWakeFd),
      m_dwAccess(dwAccess),
      m_bOverlapped(bOverlapped),
      m_device(device) {}

std::shared_ptr<SerialPort> SerialPort::Open(const std::string& path, DWORD dwAccess,
                                             bool bOverlapped) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // EBUSY: another opener set TIOCEXCL.
        SetLastError(errno == EBUSY ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !isatty(fd)) {
        // A map entry that names something other than a tty is no port.
        close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(g_openLock);
        if (!g_openDevices.insert(st.st_rdev).second) {
            close(fd);
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    }
    bool bExclusive = false;
    auto fail = [&](DWORD dwError) -> std::shared_ptr<SerialPort> {
        // The exclusive flag belongs to the tty, not to this descriptor:
        // clear it, or later openers would be refused.
        if (bExclusive)
            ioctl(fd, TIOCNXCL);
        close(fd);
        std::lock_guard<std::mutex> lock(g_openLock);
        g_openDevices.erase(st.st_rdev);
        SetLastError(dwError);
        return nullptr;
    };
    // TIOCEXCL keeps other non-root openers out but does not stop root, and
    // CI runs as root: the flock() on the device is what every opener of a
    // COM port honours. Pseudo-terminal helpers keep a slave descriptor open
    // without the lock, so they do not count as openers.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
    }
    bExclusive = ioctl(fd, TIOCEXCL) == 0;
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return fail(ErrorFromErrno(errno));
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    // No flow control until SetCommState asks for it, whatever an earlier
    // opener left: the settings record is read back from this state.
    tio.c_cflag &= ~CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    // VMIN 1 makes an empty non-blocking read fail with EAGAIN, so that a
    // read of 0 bytes means the device hung up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        return fail(ErrorFromErrno(errno));
    int nWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (nWakeFd < 0)
        return fail(ErrorFromErrno(errno));

    std::shared_ptr<SerialPort> port(
        new SerialPort(fd, nWakeFd, dwAccess, bOverlapped, st.st_rdev));
    {
        std::lock_guard<std::mutex> lock(port->m_lock);
        port->InitStateLocked();
        struct serial_icounter_struct counts = {};
        if (ioctl(fd, TIOCGICOUNT, &counts) == 0) {
            port->m_counts = {counts.frame, counts.overrun, counts.parity, counts.brk,
                              counts.buf_overrun};
        }
    }
    try {
        port->m_ioThread = std::thread(&SerialPort::IoThread, port.get());
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;  // the destructor closes the descriptors
    }
    return port;
}

SerialPort::~SerialPort() {
    Shutdown();
}

void SerialPort::OnClose() {
    Shutdown();
}

void SerialPort::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_bClosed)
            return;
        m_bClosed = true;
        m_bStopping = true;
        FailAllLocked(ERROR_OPERATION_ABORTED);
    }
    Wake();
    if (m_ioThread.joinable())
        m_ioThread.join();
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_bVanished)
        DrainForCloseLocked();
    // The exclusive flag lives in the tty, not in our descriptor: a pty
    // helper's kept slave would otherwise leave the device exclusive.
    ioctl(m_fd, TIOCNXCL);
    close(m_fd);  // also drops the flock
    close(m_nWakeFd);
    m_fd = -1;
    m_nWakeFd = -1;
    std::lock_guard<std::mutex> openLock(g_openLock);
    g_openDevices.erase(m_device);
}

void SerialPort::Wake() {
    uint64_t one = 1;
    // A full counter already means "wake up"; nothing to do on EAGAIN.
    ssize_t n = write(m_nWakeFd, &one, sizeof one);
    (void)n;
}

bool SerialPort::UsableLocked() {
    if (m_bClosed) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (m_bVanished) {
        SetLastError(kVanishedError);
        return false;
    }
    return true;
}

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

void SerialPort::ActivateRead(ReadOp& op, Clock::time_point now) {
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

void SerialPort::ActivateWrite(WriteOp& op, Clock::time_point now) {
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
DWORD SerialPort::FillReadLocked(ReadOp& op, Clock::time_point now) {
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

DWORD SerialPort::DrainWriteLocked(WriteOp& op) {
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

bool SerialPort::ReadDone(const ReadOp& op, Clock::time_point now) {
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

bool SerialPort::WriteDone(const WriteOp& op, Clock::time_point now) {
    // A write cut short by its time-out succeeds with the smaller count.
    return op.nDone == op.nWant || (op.bHasTotal && now >= op.total);
}

void SerialPort::PumpReadsLocked(Clock::time_point now) {
    while (!m_reads.empty() && !m_bVanished) {
        ReadOp& op = m_reads.front();
        if (!op.bActive)
            ActivateRead(op, now);
        DWORD dwError = FillReadLocked(op, now);
        if (dwError == kVanishedError) {
            VanishLocked();
            return;
        }
        if (dwError == ERROR_SUCCESS && !ReadDone(op, now))
            return;
        ReadOp done = op;
        m_reads.pop_front();
        CompleteLocked(done.lpOv, dwError, done.nGot);
    }
}

void SerialPort::PumpWritesLocked(Clock::time_point now) {
    while (!m_writes.empty() && !m_bVanished) {
        WriteOp& op = m_writes.front();
        if (!op.bActive)
            ActivateWrite(op, now);
        DWORD dwError = DrainWriteLocked(op);
        if (dwError == kVanishedError) {
            VanishLocked();
            return;
        }
        if (dwError == ERROR_SUCCESS && !WriteDone(op, now))
            return;
        WriteOp done = op;
        m_writes.pop_front();
        CompleteLocked(done.lpOv, dwError, done.nDone);
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
        PumpReadsLocked(now);
        PumpWritesLocked(now);
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
    m_syncCv.wait(lock, [&] { return Status(lpOv) != kOverlappedPending; });
    DWORD dwStatus = static_cast<DWORD>(Status(lpOv));
    if (lpCount != nullptr)
        *lpCount = static_cast<DWORD>(lpOv->InternalHigh);
    if (dwStatus != ERROR_SUCCESS) {
        SetLastError(dwStatus);
        return FALSE;
    }
    return TRUE;
}

BOOL SerialPort::Read(LPVOID lpBuffer, DWORD nBytes, LPDWORD lpRead, LPOVERLAPPED lpOv) {
    if (lpRead != nullptr)
        *lpRead = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    if ((m_dwAccess & GENERIC_READ) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const bool bSync = !m_bOverlapped || lpOv == nullptr;
    OVERLAPPED local = {};
    LPOVERLAPPED lpRecord = lpOv != nullptr ? lpOv : &local;
    BeginOverlapped(lpRecord);
    ReadOp op = {};
    op.lpOv = lpRecord;
    op.pBuffer = static_cast<BYTE*>(lpBuffer);
    op.nWant = nBytes;
    op.timeouts = m_timeouts;
    if (m_reads.empty()) {
        Clock::time_point now = Clock::now();
        ActivateRead(op, now);
        DWORD dwError = FillReadLocked(op, now);
        if (dwError == kVanishedError)
            VanishLocked();
        if (dwError != ERROR_SUCCESS) {
            CompleteLocked(lpRecord, dwError, op.nGot);
            SetLastError(dwError);
            return FALSE;
        }
        if (ReadDone(op, now)) {
            if (lpRead != nullptr)
                *lpRead = op.nGot;
            CompleteLocked(lpRecord, ERROR_SUCCESS, op.nGot);
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
    }
    m_reads.push_back(op);
    Wake();
    if (bSync)
        return FinishSyncLocked(lock, lpRecord, lpRead);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL SerialPort::Write(LPCVOID lpBuffer, DWORD nBytes, LPDWORD lpWritten, LPOVERLAPPED lpOv) {
    if (lpWritten != nullptr)
        *lpWritten = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    if ((m_dwAccess & GENERIC_WRITE) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const bool bSync = !m_bOverlapped || lpOv == nullptr;
    OVERLAPPED local = {};
    LPOVERLAPPED lpRecord = lpOv != nullptr ? lpOv : &local;
    BeginOverlapped(lpRecord);
    WriteOp op = {};
    op.lpOv = lpRecord;
    op.pBuffer = static_cast<const BYTE*>(lpBuffer);
    op.nWant = nBytes;
    op.timeouts = m_timeouts;
    // Bytes go out in call order: a write starts only behind earlier ones.
    if (m_writes.empty()) {
        Clock::time_point now = Clock::now();
        ActivateWrite(op, now);
        DWORD dwError = DrainWriteLocked(op);
        if (dwError == kVanishedError)
            VanishLocked();
        if (dwError != ERROR_SUCCESS) {
            CompleteLocked(lpRecord, dwError, op.nDone);
            SetLastError(dwError);
            return FALSE;
        }
        if (op.nDone == op.nWant) {
            if (lpWritten != nullptr)
                *lpWritten = op.nDone;
            CompleteLocked(lpRecord, ERROR_SUCCESS, op.nDone);
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
    }
    m_writes.push_back(op);
    Wake();
    if (bSync)
        return FinishSyncLocked(lock, lpRecord, lpWritten);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL SerialPort::Flush() {
    std::lock_guard<std::mutex> lock(m_lock);
    return UsableLocked() ? TRUE : FALSE;
}

BOOL SerialPort::Setup(DWORD dwInQueue, DWORD dwOutQueue) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    // The tty's queues have fixed sizes; the request is recorded only.
    m_dwInQueue = dwInQueue;
    m_dwOutQueue = dwOutQueue;
    return TRUE;
}

BOOL SerialPort::GetTimeouts(LPCOMMTIMEOUTS lpTimeouts) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    *lpTimeouts = m_timeouts;
    return TRUE;
}

BOOL SerialPort::SetTimeouts(const COMMTIMEOUTS* lpTimeouts) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    // Operations already started keep the time-outs they started with.
    m_timeouts = *lpTimeouts;
    return TRUE;
}

BOOL SerialPort::Purge(DWORD dwFlags) {
    if ((dwFlags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    if (dwFlags & PURGE_TXABORT) {
        while (!m_writes.empty()) {
            WriteOp op = m_writes.front();
            m_writes.pop_front();
            CompleteLocked(op.lpOv, ERROR_OPERATION_ABORTED, op.nDone);
        }
    }
    if (dwFlags & PURGE_RXABORT) {
        while (!m_reads.empty()) {
            ReadOp op = m_reads.front();
            m_reads.pop_front();
            CompleteLocked(op.lpOv, ERROR_OPERATION_ABORTED, op.nGot);
        }
    }
    if (dwFlags & (PURGE_TXABORT | PURGE_RXABORT)) {
        CompleteWaitLocked(ERROR_OPERATION_ABORTED, 0);
    }
    int nQueues = 0;
    if (dwFlags & PURGE_RXCLEAR)
        nQueues = TCIFLUSH;
    if (dwFlags & PURGE_TXCLEAR)
        nQueues = nQueues == TCIFLUSH ? TCIOFLUSH : TCOFLUSH;
    if ((dwFlags & (PURGE_RXCLEAR | PURGE_TXCLEAR)) != 0 && tcflush(m_fd, nQueues) != 0) {
        if (IsVanishErrno(errno)) {
            VanishLocked();
            SetLastError(kVanishedError);
        } else {
            SetLastErrorFromErrno(errno);
        }
        return FALSE;
    }
    return TRUE;
}

BOOL SerialPort::ClearError(LPDWORD lpErrors, LPCOMSTAT lpStat) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    DWORD dwIn = 0;
    if (!InQueueLocked(&dwIn))
        return FALSE;
    int nOut = 0;
    if (ioctl(m_fd, TIOCOUTQ, &nOut) != 0)
        nOut = 0;
    // Real UARTs count line errors; the flags report what grew since the
    // last call. Pseudo-terminals have no counters and report none.
    struct serial_icounter_struct counts = {};
    if (ioctl(m_fd, TIOCGICOUNT, &counts) == 0) {
        if (counts.frame != m_counts.frame)
            m_dwErrors |= CE_FRAME;
        if (counts.overrun != m_counts.overrun)
            m_dwErrors |= CE_OVERRUN;
        if (counts.parity != m_counts.parity)
            m_dwErrors |= CE_RXPARITY;
        if (counts.brk != m_counts.brk)
            m_dwErrors |= CE_BREAK;
        if (counts.buf_overrun != m_counts.bufOverrun)
            m_dwErrors |= CE_RXOVER;
        m_counts = {counts.frame, counts.overrun, counts.parity, counts.brk, counts.buf_overrun};
    }
    if (lpErrors != nullptr)
        *lpErrors = m_dwErrors;
    m_dwErrors = 0;
    if (lpStat != nullptr) {
        *lpStat = COMSTAT{};
        lpStat->cbInQue = dwIn;
        lpStat->cbOutQue = nOut > 0 ? static_cast<DWORD>(nOut) : 0;
    }
    return TRUE;
}

BOOL SerialPort::SetMask(DWORD dwMask) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    m_dwMask = dwMask;
    // Writing the mask ends a pending wait at once, with no events.
    CompleteWaitLocked(ERROR_SUCCESS, 0);
    Wake();
    return TRUE;
}

BOOL SerialPort::GetMask(LPDWORD lpMask) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    *lpMask = m_dwMask;
    return TRUE;
}

BOOL SerialPort::WaitEvent(LPDWORD lpEvtMask, LPOVERLAPPED lpOv) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    if (m_wait.lpOv != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const bool bSync = !m_bOverlapped || lpOv == nullptr;
    DWORD dwWaiting = 0;
    if ((m_dwMask & EV_RXCHAR) && !InQueueLocked(&dwWaiting))
        return FALSE;
    OVERLAPPED local = {};
    LPOVERLAPPED lpRecord = lpOv != nullptr ? lpOv : &local;
    BeginOverlapped(lpRecord);
    if (dwWaiting > 0) {
        *lpEvtMask = EV_RXCHAR;
        CompleteLocked(lpRecord, ERROR_SUCCESS, 0);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    m_wait.lpOv = lpRecord;
    m_wait.lpEvtMask = lpEvtMask;
    Wake();
    if (bSync)
        return FinishSyncLocked(lock, lpRecord, nullptr);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

HANDLE OpenSerialDevice(LPCWSTR lpszName, DWORD dwDesiredAccess, DWORD dwShareMode,
                        DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes) {
    (void)dwShareMode;  // a COM port is never shared, whatever is asked
    DWORD dwPort = lpszName != nullptr ? ParseComName(lpszName) : 0;
    if (dwPort == 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Devices exist or not; they are never created or truncated.
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = ResolveComPort(dwPort);
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<SerialPort> port =
        SerialPort::Open(path, dwDesiredAccess, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
    if (!port)
        return INVALID_HANDLE_VALUE;
    HANDLE h = InsertObject(port);
    if (h == nullptr) {
        DWORD dwError = GetLastError();
        port->OnClose();
        SetLastError(dwError);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

}  // namespace platform
