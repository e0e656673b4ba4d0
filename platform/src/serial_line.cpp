// Line settings of a serial port: the DCB over termios, the baud rate, and
// the modem lines DTR and RTS.
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

#include "error_from_errno.h"
#include "fault_hit.h"
#include "platform/win_error.h"
#include "serial_port.h"

namespace platform {
namespace {

// DCB values that the components do not name but a DCB may carry.
constexpr BYTE kOne5StopBits = 1;
constexpr BYTE kTwoStopBits = 2;
constexpr BYTE kOddParity = 1;
constexpr BYTE kEvenParity = 2;
constexpr BYTE kMarkParity = 3;
constexpr BYTE kSpaceParity = 4;
constexpr DWORD kRtsControlHandshake = 2;

struct StandardRate {
    DWORD dwBaud;
    speed_t speed;
};
constexpr StandardRate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedOf(DWORD dwBaud, speed_t* pSpeed) {
    for (const StandardRate& rate : kRates) {
        if (rate.dwBaud == dwBaud) {
            *pSpeed = rate.speed;
            return true;
        }
    }
    return false;
}

DWORD BaudOf(speed_t speed) {
    for (const StandardRate& rate : kRates) {
        if (rate.speed == speed)
            return rate.dwBaud;
    }
    return 0;
}

// The combinations a UART cannot produce are refused before anything changes.
bool DcbValid(const DCB& dcb) {
    if (dcb.BaudRate == 0)
        return false;  // B0 would hang the line up
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8)
        return false;
    if (dcb.Parity > kSpaceParity || dcb.StopBits > kTwoStopBits)
        return false;
    if (dcb.StopBits == kOne5StopBits && dcb.ByteSize != 5)
        return false;
    if (dcb.StopBits == kTwoStopBits && dcb.ByteSize == 5)
        return false;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar)
        return false;
    return true;
}

// Modem-line ioctls that a pseudo-terminal does not implement.
bool NoModemLines(int err) {
    return err == ENOTTY || err == EINVAL || err == ENOTSUP;
}

// How long a close lets queued output drain beyond its time on the wire, and
// the most it ever waits (a 300-baud line with a full driver queue).
constexpr int kDrainMarginMs = 50;
constexpr int kDrainLimitMs = 2000;

}  // namespace

void SerialPort::DrainForCloseLocked() {
    // A tty's last close waits up to closing_wait (30 s by default, and only
    // root may change it) for output that a peer holding CTS low or XOFF
    // never takes. Output is given the time the line needs to send it at
    // its rate, then discarded, so a close always returns promptly while
    // bytes written just before it still reach a peer that reads.
    int nQueued = 0;
    if (ioctl(m_fd, TIOCOUTQ, &nQueued) != 0 || nQueued <= 0)
        return;
    const DWORD dwBaud = m_dcb.BaudRate != 0 ? m_dcb.BaudRate : CBR_9600;
    const DWORD dwBits = 1 + m_dcb.ByteSize + (m_dcb.Parity != NOPARITY ? 1 : 0) +
                         (m_dcb.StopBits != ONESTOPBIT ? 2 : 1);
    const uint64_t nWireMs = static_cast<uint64_t>(nQueued) * dwBits * 1000 / dwBaud;
    const int nLimitMs =
        static_cast<int>(std::min<uint64_t>(nWireMs + kDrainMarginMs, kDrainLimitMs));
    const auto deadline = Clock::now() + std::chrono::milliseconds(nLimitMs);
    while (Clock::now() < deadline) {
        if (ioctl(m_fd, TIOCOUTQ, &nQueued) != 0 || nQueued <= 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    tcflush(m_fd, TCOFLUSH);
}

void SerialPort::InitStateLocked() {
    struct termios tio;
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_9600;
    if (tcgetattr(m_fd, &tio) == 0) {
        DWORD dwBaud = BaudOf(cfgetospeed(&tio));
        if (dwBaud == 0 && GetCustomBaud(m_fd, &dwBaud) != 0)
            dwBaud = 0;
        if (dwBaud != 0)
            dcb.BaudRate = dwBaud;
        switch (tio.c_cflag & CSIZE) {
            case CS5:
                dcb.ByteSize = 5;
                break;
            case CS6:
                dcb.ByteSize = 6;
                break;
            case CS7:
                dcb.ByteSize = 7;
                break;
            default:
                dcb.ByteSize = 8;
                break;
        }
        if (tio.c_cflag & PARENB) {
            bool bOdd = (tio.c_cflag & PARODD) != 0;
            if (tio.c_cflag & CMSPAR) {
                dcb.Parity = bOdd ? kMarkParity : kSpaceParity;
            } else {
                dcb.Parity = bOdd ? kOddParity : kEvenParity;
            }
        }
        if (tio.c_cflag & CSTOPB)
            dcb.StopBits = dcb.ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
        dcb.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    } else {
        dcb.ByteSize = 8;
    }
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = dcb.fOutxCtsFlow ? kRtsControlHandshake : RTS_CONTROL_ENABLE;
    dcb.fTXContinueOnXoff = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    m_dcb = dcb;
}

DWORD SerialPort::SetModemLineLocked(int nLine, bool bOn) {
    if (FaultHit("SetModemLine"))
        return GetLastError();
    if (ioctl(m_fd, bOn ? TIOCMBIS : TIOCMBIC, &nLine) == 0)
        return ERROR_SUCCESS;
    if (NoModemLines(errno))
        return ERROR_SUCCESS;
    if (IsVanishErrno(errno)) {
        VanishLocked();
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    return ErrorFromErrno(errno);
}

// Writes the settings of dcb to the tty. Returns 0 or the Windows error; on
// failure the tty keeps its previous settings.
DWORD SerialPort::ApplyStateLocked(const DCB& dcb) {
    struct termios old;
    if (tcgetattr(m_fd, &old) != 0) {
        if (IsVanishErrno(errno)) {
            VanishLocked();
            return ERROR_DEVICE_NOT_CONNECTED;
        }
        return ErrorFromErrno(errno);
    }
    struct termios tio = old;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    // cfmakeraw leaves input flow control alone: every flow flag comes from
    // the record, none is inherited from an earlier opener.
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
        case kOddParity:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case kEvenParity:
            tio.c_cflag |= PARENB;
            break;
        case kMarkParity:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case kSpaceParity:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb.fParity && dcb.Parity != NOPARITY)
        tio.c_iflag |= INPCK;
    if (dcb.StopBits != ONESTOPBIT)
        tio.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == kRtsControlHandshake)
        tio.c_cflag |= CRTSCTS;
    if (dcb.fOutX)
        tio.c_iflag |= IXON;
    if (dcb.fInX)
        tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    speed_t speed;
    bool bStandard = SpeedOf(dcb.BaudRate, &speed);
    if (bStandard)
        cfsetspeed(&tio, speed);
    if (tcsetattr(m_fd, TCSANOW, &tio) != 0) {
        if (IsVanishErrno(errno)) {
            VanishLocked();
            return ERROR_DEVICE_NOT_CONNECTED;
        }
        return ErrorFromErrno(errno);
    }
    if (!bStandard) {
        int err = SetCustomBaud(m_fd, dcb.BaudRate);
        if (err != 0) {
            tcsetattr(m_fd, TCSANOW, &old);
            if (IsVanishErrno(err)) {
                VanishLocked();
                return ERROR_DEVICE_NOT_CONNECTED;
            }
            return ERROR_INVALID_PARAMETER;  // the driver cannot make this rate
        }
    }
    DWORD dwError = SetModemLineLocked(TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    if (dwError == ERROR_SUCCESS && dcb.fRtsControl != kRtsControlHandshake) {
        dwError = SetModemLineLocked(TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE);
    }
    if (dwError != ERROR_SUCCESS && !m_bVanished) {
        // A failed SetCommState changes nothing: the line goes back to the
        // settings of the record in force (best effort; the error stands).
        tcsetattr(m_fd, TCSANOW, &old);
        speed_t oldSpeed;
        if (!SpeedOf(m_dcb.BaudRate, &oldSpeed))
            SetCustomBaud(m_fd, m_dcb.BaudRate);
        SetModemLineLocked(TIOCM_DTR, m_dcb.fDtrControl != DTR_CONTROL_DISABLE);
    }
    return dwError;
}

BOOL SerialPort::GetState(LPDCB lpDCB) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    *lpDCB = m_dcb;
    return TRUE;
}

BOOL SerialPort::SetState(const DCB* lpDCB) {
    if (!DcbValid(*lpDCB)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    DWORD dwError = ApplyStateLocked(*lpDCB);
    if (dwError != ERROR_SUCCESS) {
        SetLastError(dwError);
        return FALSE;
    }
    // termios holds only part of a DCB: keep the caller's record, so that
    // GetCommState reports exactly what was set.
    m_dcb = *lpDCB;
    m_dcb.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL SerialPort::Escape(DWORD dwFunc) {
    if (dwFunc != SETDTR && dwFunc != CLRDTR) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    if (!UsableLocked())
        return FALSE;
    DWORD dwError = SetModemLineLocked(TIOCM_DTR, dwFunc == SETDTR);
    if (dwError != ERROR_SUCCESS) {
        SetLastError(dwError);
        return FALSE;
    }
    return TRUE;
}

}  // namespace platform
