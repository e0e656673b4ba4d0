// The serial channel contract seen by hosts: the ICommChannel interface (its
// virtual slots are a binary contract: hosts built separately call them by
// position), the record passed to Open, the property ids, the error codes
// and the notification message.
#pragma once

#include "platform/win_types.h"

class IVxLog;

// Transport kinds for CHANNEL_ATTRIBUTE::ChannelType and CreateChannel.
#define CHANNEL_TYPE_UART 0u

// Property ids for GetProperty / SetProperty (value through a DWORD*).
#define CH_PROP_DEBUG_MODE 0u
#define CH_PROP_ERROR_CODE 1u
#define CH_PROP_BAUDRATE 100u

// The channel's last error code (property CH_PROP_ERROR_CODE).
#define CH_E_COMM 0x80096002u
#define CH_E_INVALID_PARAM 0x80096003u
#define CH_E_TIMEOUT 0x80096005u
#define CH_E_LOG_INIT 0x80096008u
#define CH_E_LOAD_CONFIG 0x80096009u

// What Open reads: three 32-bit fields, no padding.
typedef struct _CHANNEL_ATTRIBUTE {
    DWORD ChannelType;  // CHANNEL_TYPE_UART
    DWORD dwPort;       // COM port number, 1 or greater
    DWORD dwBaud;       // baud rate, greater than 0
} CHANNEL_ATTRIBUTE, *PCHANNEL_ATTRIBUTE;
static_assert(sizeof(CHANNEL_ATTRIBUTE) == 12, "CHANNEL_ATTRIBUTE is three packed DWORDs");

// A byte channel. Calls on one object come one at a time from the host; the
// receive thread runs beside them. Received blocks are posted to the
// receiver as message uMsgId with wParam = buffer, lParam = byte count; the
// host returns every buffer with FreeMem on the same object.
//
// The comments give each operation's virtual-table entry with this
// compiler's ABI (Itanium C++ ABI, g++ and clang): the virtual destructor
// takes two entries there (complete and deleting destructor), so every
// later operation sits one entry after the slot number that counts the
// destructor once, as the Microsoft ABI does. Never reorder, insert or
// remove an operation.
class ICommChannel {
public:
    // Entries 0 and 1: closes an open port, stops the receive thread,
    // releases the log.
    virtual ~ICommChannel() {}
    // Entry 2: chooses the log file path (null or empty: keep), its flags and
    // optionally a log object that the channel then owns. FALSE while open.
    virtual BOOL InitLog(LPCWSTR lpszLogFile, DWORD dwLogFlags, DWORD dwReserved, IVxLog* pLog) = 0;
    // Entry 3: names the receiver (bThreadMsg TRUE: a thread id, else a window
    // handle as a 32-bit value; 0 = none) and starts or stops the thread.
    virtual BOOL SetReceiver(UINT uMsgId, BOOL bThreadMsg, DWORD dwReceiver) = 0;
    // Entry 4: the message id, the kind and the receiver of that kind.
    virtual void GetReceiver(UINT* puMsgId, BOOL* pbThreadMsg, DWORD* pdwReceiver) = 0;
    // Entry 5: opens and configures the port; starts the receive thread when a
    // receiver is named. FALSE on failure (see property CH_PROP_ERROR_CODE).
    virtual BOOL Open(const CHANNEL_ATTRIBUTE* pAttribute) = 0;
    // Entry 6: stops the receive thread, closes the port and the log file.
    virtual void Close() = 0;
    // Entry 7: purges the driver's queues. TRUE on a closed channel.
    virtual BOOL Clear() = 0;
    // Entry 8: waits up to dwTimeout ms for data, then reads what is waiting
    // (at most dwSize). Returns the count; 0 on failure or time-out.
    virtual DWORD Read(LPVOID lpBuffer, DWORD dwSize, DWORD dwTimeout, DWORD dwReserved) = 0;
    // Entry 9: writes the bytes; returns the count written.
    virtual DWORD Write(LPCVOID lpBuffer, DWORD dwSize, DWORD dwReserved) = 0;
    // Entry 10: returns a notification buffer to the channel (null ignored).
    virtual void FreeMem(LPVOID lpBuffer) = 0;
    // Entries 11, 12: property access (CH_PROP_*). FALSE for unknown ids.
    virtual BOOL GetProperty(DWORD dwReserved, DWORD dwPropId, DWORD* pdwValue) = 0;
    virtual BOOL SetProperty(DWORD dwReserved, DWORD dwPropId, const DWORD* pdwValue) = 0;
};
