// Serial communications on "\\.\COMn" (through the COM port map, see
// com_port_map.h) over termios. A pseudo-terminal has no modem lines and
// ignores the baud rate: those settings succeed without effect there.
#pragma once

#include "platform/win_types.h"

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

#define NOPARITY 0
#define ONESTOPBIT 0
#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define CBR_9600 9600u
#define CBR_115200 115200u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

#define EV_RXCHAR 0x0001u
#define EV_RXFLAG 0x0002u
#define EV_TXEMPTY 0x0004u
#define EV_ERR 0x0080u

#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u

#define SETDTR 5u
#define CLRDTR 6u

// Every call below is thread-safe and returns FALSE with the last error on
// failure: ERROR_INVALID_HANDLE for a handle that is not an open port,
// ERROR_INVALID_PARAMETER for a null record, and ERROR_DEVICE_NOT_CONNECTED
// for every call after the device vanished (adapter pulled, pseudo-terminal
// peer closed); CloseHandle still works then.
extern "C" {
// Stores the settings last set (or those found at open) in *lpDCB.
PLATFORM_API BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
// Applies rate, size, parity, stop bits, flow control and DTR/RTS; the whole
// record is kept for GetCommState. Unusable values (rate 0, size outside
// 5..8, ...) fail with ERROR_INVALID_PARAMETER and change nothing.
PLATFORM_API BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
// Records the queue sizes (the tty's queues are fixed); TRUE.
PLATFORM_API BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
// Stores / sets the time-outs; a transfer keeps those in force when it began.
PLATFORM_API BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
PLATFORM_API BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
// PURGE_*ABORT complete pending transfers (and a pending WaitCommEvent) with
// ERROR_OPERATION_ABORTED before returning; PURGE_*CLEAR drop the queues.
PLATFORM_API BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
// Error flags since the last call (then cleared) and the queue counts:
// cbInQue is the number of bytes waiting to be read. lpErrors and lpStat
// may be null.
PLATFORM_API BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
// Writing the mask completes a pending WaitCommEvent at once (its mask
// result 0), before this returns.
PLATFORM_API BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
PLATFORM_API BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
// Overlapped form: TRUE when a masked event is already there; otherwise
// FALSE with ERROR_IO_PENDING, and the record's event is signalled when a
// character arrives (EV_RXCHAR), the mask is written, PurgeComm aborts, or
// the port is closed (ERROR_OPERATION_ABORTED) or vanishes. One wait may be
// pending per port (a second fails with ERROR_INVALID_PARAMETER).
PLATFORM_API BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
// SETDTR / CLRDTR (no effect on a pseudo-terminal); others fail with
// ERROR_INVALID_PARAMETER.
PLATFORM_API BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
}
