// Cellbridge: the phone-command library. It brings a handset into the mode in
// which it takes a write (mode 10), writes its IMEIs and Bluetooth address as
// one record, reads them back, and ends the phone test. It speaks a small
// framed protocol (PROTOCOL.md beside the sources) over a Cordlink channel.
// A host includes this header alone: it also declares the platform calls
// that create, wait on and close the event the mode entry sets. Build with
// `pkg-config --cflags --libs cellbridge`.
//
// One handset, as the station calls it:
//   VX_BeginPhoneTest(port, 115200);            // serial only
//   VX_EnterModeProcess(usb, 10, hEvent, 0);    // returns at once
//   ... wait for hEvent (or VX_StopModeProcess + VX_EndPhoneTest) ...
//   USB: VX_BeginPhoneTest(VX_GetUsbPort(), 115200);
//   VX_NvWriteDirect(&record) or VX_FastWriteNvInfo(&record), up to three times
//   VX_ReadNvItem(CB_ITEM_IMEI1, szText, sizeof(szText)), ...   // read-back
//   VX_EndPhoneTest();
//
// Example (one USB handset; compiles as shown):
//   HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
//   if (hEvent == nullptr)
//       return 1;
//   NvWriteRecord record = {};
//   const char szImei[] = "860000000000001";
//   record.nWriteImei1 = 1;
//   for (size_t i = 0; i < sizeof(record.szImei1); ++i)
//       record.szImei1[i] = szImei[i];
//   int nResult = VX_EnterModeProcess(1, 10, hEvent, 0);
//   if (nResult == CB_OK && WaitForSingleObject(hEvent, 60000) == WAIT_OBJECT_0) {
//       nResult = VX_BeginPhoneTest(VX_GetUsbPort(), 115200);
//       if (nResult == CB_OK)
//           nResult = VX_NvWriteDirect(&record);
//       char szText[16];
//       if (nResult == CB_OK)
//           nResult = VX_ReadNvItem(CB_ITEM_IMEI1, szText, sizeof(szText));
//   } else {
//       VX_StopModeProcess();
//   }
//   VX_EndPhoneTest();
//   CloseHandle(hEvent);
//
// Sessions: the VX_* exports above act on one session the process holds
// for them. A host that runs several handsets at once, each on its own port,
// creates a session per handset position with VX_CreateSession and calls the
// VX_Session* exports on it; each behaves as its VX_* namesake for that
// session only (its own phone test, mode entry and USB port).
//
// Example (one serial handset on a session of its own; compiles as shown):
//   HVXSESSION hSession = VX_CreateSession();
//   if (hSession == nullptr)
//       return 1;
//   HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
//   int nResult = CB_E_SYSTEM;
//   if (hEvent != nullptr)
//       nResult = VX_SessionBeginPhoneTest(hSession, 3, 115200);
//   if (nResult == CB_OK)
//       nResult = VX_SessionEnterModeProcess(hSession, 0, 10, hEvent, 0);
//   if (nResult == CB_OK && WaitForSingleObject(hEvent, 60000) == WAIT_OBJECT_0) {
//       NvWriteRecord record = {};
//       const char szAddr[] = "001122334455";
//       record.nWriteBtAddr = 1;
//       for (size_t i = 0; i < sizeof(record.szBtAddr); ++i)
//           record.szBtAddr[i] = szAddr[i];
//       nResult = VX_SessionNvWriteDirect(hSession, &record);
//   }
//   VX_DestroySession(hSession);  // stops the entry and ends the test
//   if (hEvent != nullptr)
//       CloseHandle(hEvent);
//   return nResult;
//
// Threads: per session (the default one included), the host makes one call
// at a time, from any of its threads (the station: its window thread and its
// worker); the session's mode-entry thread runs beside them. Calls on
// different sessions may run at the same time: each session talks to its
// own port and holds no process-wide lock while it waits. USB entries of
// several sessions may be pending at once; a port that appears goes to one
// of them only, and a handset one session entered is never probed by
// another while it stays connected. Every export is safe under that contract
// and returns within the bound given in its comment (production time-outs;
// no call waits without one).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win_handle.h"
#include "platform/win_sync.h"
#include "platform/win_types.h"

#define CELLBRIDGE_API __attribute__((visibility("default")))

// Results of the exports. 0 is success; 1..15 are the library's own codes;
// 16 and above are the handset's own NV error codes, passed through as they
// came in its reply (CB_NV_E_* lists those that our handsets send).
#define CB_OK 0
#define CB_E_PORT_OPEN 1      // the COM port could not be opened
#define CB_E_NO_ANSWER 2      // the handset did not answer within the time-out
#define CB_E_REFUSED 3        // the handset refused with a code below 16
#define CB_E_BAD_REPLY 4      // a reply of the wrong size or shape
#define CB_E_NOT_READY 5      // no phone test begun (no open port)
#define CB_E_INVALID_ARG 6    // null pointer, unknown item, bad buffer size
#define CB_E_PORT_LOST 7      // the port failed while in use (device gone)
#define CB_E_SYSTEM 8         // a thread or event could not be created
#define CB_E_HANDSET_BASE 16  // first code that belongs to the handset

// The handset's NV error codes (as our handsets and the simulator send them).
#define CB_NV_E_NOT_IN_MODE 16      // write or read before mode 10 was entered
#define CB_NV_E_BAD_MODE 17         // mode number not supported
#define CB_NV_E_BAD_TEXT 18         // a selected item's text has the wrong length
#define CB_NV_E_BAD_ITEM 19         // unknown item id in a read
#define CB_NV_E_NOT_STORED 20       // the item read was never written
#define CB_NV_E_BAD_LENGTH 21       // request payload of the wrong size
#define CB_NV_E_UNKNOWN_COMMAND 22  // command not known to the handset
#define CB_NV_E_STORE_FAILED 23     // the NV store refused the write

// Item ids for VX_ReadNvItem.
#define CB_ITEM_IMEI1 1
#define CB_ITEM_IMEI2 2
#define CB_ITEM_IMEI3 3
#define CB_ITEM_BT_ADDR 4

// The write record, 156 bytes. Integers are 32-bit little-endian; a non-zero
// flag selects its item; texts are ANSI, NUL-padded. Built zero-filled.
struct NvWriteRecord {
    int32_t nWriteImei1;              // 0
    int32_t nWriteImei2;              // 4
    int32_t nWriteBtAddr;             // 8
    int32_t nReserved12;              // 12, always 0
    int32_t nReserved16;              // 16, always 0
    int32_t nWriteImei3;              // 20
    char szImei1[16];                 // 24
    char szImei2[16];                 // 40
    char szBtAddr[13];                // 56, 12 characters and a NUL
    unsigned char abReserved69[47];   // 69, always 0
    char szImei3[16];                 // 116
    unsigned char abReserved132[24];  // 132, always 0
};
static_assert(sizeof(NvWriteRecord) == 156, "NvWriteRecord is 156 bytes");
static_assert(offsetof(NvWriteRecord, nWriteImei1) == 0);
static_assert(offsetof(NvWriteRecord, nWriteImei2) == 4);
static_assert(offsetof(NvWriteRecord, nWriteBtAddr) == 8);
static_assert(offsetof(NvWriteRecord, nReserved12) == 12);
static_assert(offsetof(NvWriteRecord, nReserved16) == 16);
static_assert(offsetof(NvWriteRecord, nWriteImei3) == 20);
static_assert(offsetof(NvWriteRecord, szImei1) == 24);
static_assert(offsetof(NvWriteRecord, szImei2) == 40);
static_assert(offsetof(NvWriteRecord, szBtAddr) == 56);
static_assert(offsetof(NvWriteRecord, abReserved69) == 69);
static_assert(offsetof(NvWriteRecord, szImei3) == 116);
static_assert(offsetof(NvWriteRecord, abReserved132) == 132);

extern "C" {
// Begins a phone test on COM<nPort> at nBaud: opens the port through a
// Cordlink channel. A phone test already begun is ended first (as
// VX_EndPhoneTest). Returns 0 with the port open; CB_E_INVALID_ARG for a port
// or baud below 1, CB_E_PORT_OPEN when the channel does not open (nothing
// stays open). Returns within the channel's open time plus, when a test was
// running, VX_EndPhoneTest's bound.
CELLBRIDGE_API int VX_BeginPhoneTest(int nPort, int nBaud);

// Ends the phone test: abandons a pending mode entry (as VX_StopModeProcess),
// tells a handset that answered during this test that the test is over
// (waiting at most 500 ms for its acknowledgement) and closes the port.
// Harmless when nothing is open. Returns within about 0.6 s.
CELLBRIDGE_API void VX_EndPhoneTest(void);

// Starts the mode entry in the background and returns at once. The library
// waits for the handset to answer, enters mode nMode, and then sets hEvent.
// nUsb 0: through the port of VX_BeginPhoneTest. nUsb 1: the handset's port
// is one that appears in the COM port map after this call (a port present
// now is never taken, so a handset left from the previous job is not written
// again); its number is then kept for VX_GetUsbPort. The entry keeps trying
// until it succeeds or is stopped; a failed entry simply never sets the
// event. A pending entry from an earlier call is abandoned first. Returns 0
// when the entry started; CB_E_INVALID_ARG for a null event, CB_E_NOT_READY
// for serial without an open port, CB_E_SYSTEM when the thread cannot start.
CELLBRIDGE_API int VX_EnterModeProcess(int nUsb, int nMode, HANDLE hEvent, int nReserved);

// Abandons a pending mode entry and waits for its thread to end. After it
// returns the event is never set by that entry (it stays as it was: set only
// if the entry had already succeeded). Returns well under a second (the
// entry checks for the stop every 20 ms); harmless when nothing is pending.
CELLBRIDGE_API void VX_StopModeProcess(void);

// The COM port number of the handset's USB serial port found by the last USB
// mode entry; valid once its event was set, 0 before. Returns at once.
CELLBRIDGE_API int VX_GetUsbPort(void);

// Sends the whole record to the handset in one direct write command; the
// handset stores every selected item or none. The library never repeats a
// write by itself: the caller decides about retries. Returns 0 when the
// handset stored the items, a CB_E_* code, or the handset's own NV error
// code (16 and above). Returns within 3 s.
CELLBRIDGE_API int VX_NvWriteDirect(const NvWriteRecord* pRecord);

// As VX_NvWriteDirect with the fast write command.
CELLBRIDGE_API int VX_FastWriteNvInfo(const NvWriteRecord* pRecord);

// Reads one stored item (CB_ITEM_*) for the read-back: on 0, pszText holds
// the text as the handset stored it, NUL-terminated (an IMEI needs 16 bytes,
// the address 13). A text longer than cbText - 1 is cut to fit and reported
// as CB_E_INVALID_ARG, so a cut text never passes a comparison. Other
// failures leave an empty string (when pszText is writable) and return a
// CB_E_* code or the handset's NV error code. Returns within 1 s.
CELLBRIDGE_API int VX_ReadNvItem(int nItem, char* pszText, int cbText);

// A session: its own phone test, pending mode entry and USB port. Created
// and destroyed by the library only.
typedef struct VxSession* HVXSESSION;

// Creates a session with no phone test begun. Null when out of memory.
// Returns at once.
CELLBRIDGE_API HVXSESSION VX_CreateSession(void);

// Ends the session's phone test (as VX_SessionEndPhoneTest, so within its
// bound) and frees the session; hSession is invalid afterwards. No other
// call on the session may be in progress. A null handle is harmless. Once it
// returns, the session's mode entry never sets its event.
CELLBRIDGE_API void VX_DestroySession(HVXSESSION hSession);

// The exports above, for one session: each behaves as its VX_* namesake,
// with that session's phone test, mode entry and USB port, and within the
// same bound. A null hSession returns CB_E_INVALID_ARG (VX_SessionReadNvItem
// also leaves an empty string where pszText allows one), except
// VX_SessionGetUsbPort, which returns 0 (no port: any other number could be
// opened as a port); the void ones then do nothing.
CELLBRIDGE_API int VX_SessionBeginPhoneTest(HVXSESSION hSession, int nPort, int nBaud);
CELLBRIDGE_API void VX_SessionEndPhoneTest(HVXSESSION hSession);
CELLBRIDGE_API int VX_SessionEnterModeProcess(HVXSESSION hSession, int nUsb, int nMode,
                                              HANDLE hEvent, int nReserved);
CELLBRIDGE_API void VX_SessionStopModeProcess(HVXSESSION hSession);
CELLBRIDGE_API int VX_SessionGetUsbPort(HVXSESSION hSession);
CELLBRIDGE_API int VX_SessionNvWriteDirect(HVXSESSION hSession, const NvWriteRecord* pRecord);
CELLBRIDGE_API int VX_SessionFastWriteNvInfo(HVXSESSION hSession, const NvWriteRecord* pRecord);
CELLBRIDGE_API int VX_SessionReadNvItem(HVXSESSION hSession, int nItem, char* pszText, int cbText);

// For a station that starts its next handset by itself: with bOn non-zero,
// the session's serial mode entries never take the handset that stored the
// session's last successful write while it still answers (by its handset
// id); they wait until another handset is connected. Off by default (and
// on the default session). A null hSession does nothing. Returns at once.
CELLBRIDGE_API void VX_SessionSetNewHandsetOnly(HVXSESSION hSession, int bOn);
}
