// Serial ports on "\\.\COMn": opening through the COM port map, raw mode
// and exclusivity, closing, and the comm calls on queues, time-outs, errors
// and events. The transfers and the I/O thread are in serial_io.cpp, the
// line settings in serial_line.cpp.
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

#include "error_from_errno.h"
#include "platform/ext/com_port_map.h"
#include "platform/win_error.h"
#include "platform/win_file.h"

namespace platform {
namespace {

// Devices open in this process. flock() already refuses a second opener, in
// this process or another; the set makes the answer independent of how the
// second opener reaches the device (another node with the same numbers).
std::mutex g_openLock;
std::set<dev_t> g_openDevices;

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
        // EBUSY: another program holds the tty with TIOCEXCL.
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
    auto fail = [&](DWORD dwError) -> std::shared_ptr<SerialPort> {
        close(fd);  // also drops the flock, if taken
        std::lock_guard<std::mutex> lock(g_openLock);
        g_openDevices.erase(st.st_rdev);
        SetLastError(dwError);
        return nullptr;
    };
    // Exclusivity is an flock() on the open file description: the kernel
    // drops it when the holder closes the port or dies, SIGKILL included,
    // and every opener honours it, root too. TIOCEXCL is not used: the flag
    // lives in the tty, which outlives the opener as long as anyone else
    // holds it open (a pseudo-terminal's master, a getty or a modem manager
    // on a real UART), so a killed opener would lock every later non-root
    // opener out. A USB adapter that returns gets a new node, and no lock.
    // Pseudo-terminal helpers keep a slave descriptor open without the
    // lock, so they do not count as openers.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
    }
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
