// VxSession: one station's work with its handsets: the phone test begun (an
// open port), the pending mode entry and the USB port the last USB entry
// found. Every export acts on one session: the VX_Session* exports on the
// caller's, the VX_* exports of one station on the process's default
// session. Sessions share only short bookkeeping (sequence numbers, timings,
// USB port claims), so calls on different sessions run side by side. The
// type's name is the one the public handle HVXSESSION points to.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "cellbridge/cellbridge.h"
#include "mode_entry.h"
#include "phone_session.h"

// Not copyable. The station calls one method at a time per session (window
// thread or worker), but the mode-entry thread runs beside them, so the
// state is guarded all the same. The entry's thread holds no reference to
// the session: it shares the phone session and the USB port cell instead, so
// a session may be destroyed while a stopped entry's thread still winds down.
struct VxSession {
public:
    // Throws std::bad_alloc (the exports turn it into a null handle).
    VxSession();
    // Ends the phone test (as EndPhoneTest).
    ~VxSession();
    VxSession(const VxSession&) = delete;
    VxSession& operator=(const VxSession&) = delete;

    // The exports of the same names, for this session; see cellbridge.h.
    int BeginPhoneTest(int nPort, int nBaud);
    void EndPhoneTest();
    int EnterModeProcess(int nUsb, int nMode, HANDLE hEvent);
    void StopModeProcess();
    int GetUsbPort() const { return m_pUsbPort->load(); }
    // VX_NvWriteDirect or VX_FastWriteNvInfo, by bCommand.
    int WriteRecord(BYTE bCommand, const NvWriteRecord* pRecord);
    int ReadNvItem(int nItem, char* pszText, int cbText);
    // VX_SessionSetNewHandsetOnly.
    void SetNewHandsetOnly(bool bOn);

private:
    void StopEntryLocked();
    void EndLocked();
    // The phone test begun, if any (taken under the lock, used outside it:
    // a write does not hold up a stop).
    std::shared_ptr<CPhoneSession> OpenSession();

    std::mutex m_lock;                          // guards m_pSession and m_pEntry
    std::shared_ptr<CPhoneSession> m_pSession;  // the phone test begun, if any
    std::shared_ptr<CModeEntry> m_pEntry;       // the last mode entry started
    // Found by the last USB entry; shared with that entry's thread.
    const std::shared_ptr<std::atomic<int>> m_pUsbPort;
    bool m_bNewHandsetOnly = false;  // guarded by m_lock
    std::string m_storedId;          // the handset written last; guarded by m_lock
};
