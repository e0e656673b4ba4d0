// CModeEntry: brings a handset into its write mode on a thread of its own,
// then sets the caller's event.
//
// Serial: probes the handset through the open session until it answers
// ("connected and powered up"), then enters the mode. USB: watches the COM
// port map for a port that was not there when the entry began, probes it,
// enters the mode through it, closes it again (so the caller can open it)
// and publishes its number and device. COM numbers of the map are stable
// names of devices, so a (number, device) pair identifies one device: a
// device present at the start keeps its pair and is never taken for new. A
// port that stays silent for its whole probe (a modem, a scanner) is not
// probed again during the same entry. USB entries of several sessions run
// side by side: each port is claimed in CUsbClaims before it is probed, so
// one handset is entered and published by one entry only.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "phone_session.h"
#include "platform/windows.h"
#include "usb_claims.h"

// Not copyable. Start and Stop come from one thread at a time; the entry's
// thread runs beside them.
class CModeEntry {
public:
    // The ports present when the entry began: (number, device), each pair
    // one device.
    using PortSet = CUsbClaims::PortSet;

    // Starts a serial entry on pSession. The entry (and the session) stay
    // alive while the thread runs. Null with *pnResult = CB_E_SYSTEM when the
    // thread or its stop event cannot be created.
    // A handset answering with skipId (when not empty) is taken for absent:
    // the entry waits until another one answers.
    static std::shared_ptr<CModeEntry> StartSerial(std::shared_ptr<CPhoneSession> pSession,
                                                   DWORD dwMode, HANDLE hEvent,
                                                   const std::string& skipId, int* pnResult);
    // Starts a USB entry; the port found is stored in *pUsbPort before the
    // event is set. The entry shares pUsbPort, so its thread never writes to
    // a cell its session has freed.
    static std::shared_ptr<CModeEntry> StartUsb(PortSet known, DWORD dwMode, HANDLE hEvent,
                                                std::shared_ptr<std::atomic<int>> pUsbPort,
                                                int* pnResult);
    // The ports in the COM port map now. Claims on ports gone from it end.
    static PortSet CurrentPorts();

    ~CModeEntry();
    CModeEntry(const CModeEntry&) = delete;
    CModeEntry& operator=(const CModeEntry&) = delete;

    // Abandons the entry: from here on the event is never set by it. Then
    // waits for the thread (at most the join time-out; the thread reacts
    // within a slice). Idempotent.
    void Stop();
    // TRUE once the entry set the event.
    BOOL Succeeded() const { return m_bSucceeded.load(); }
    // The device of the port the USB entry published; empty before.
    // Thread-safe.
    std::string FoundDevice();

private:
    CModeEntry(std::shared_ptr<CPhoneSession> pSession, BOOL bUsb, PortSet known, DWORD dwMode,
               HANDLE hEvent, std::shared_ptr<std::atomic<int>> pUsbPort);
    static std::shared_ptr<CModeEntry> Launch(std::shared_ptr<CModeEntry> pEntry, int* pnResult);
    static DWORD WINAPI ThreadMain(LPVOID lpParam);
    void RunSerial();
    void RunUsb();
    // Probes COM<dwPort> for a handset and enters the mode through it. CB_OK
    // when the handset is in the mode; the port is closed either way.
    int ProbeUsbPort(DWORD dwPort);
    // Sets the caller's event unless the entry was stopped. TRUE when set.
    BOOL Publish(DWORD dwUsbPort, const std::string& device);
    // Waits up to dwMs for the stop. TRUE when stopped.
    BOOL WaitStop(DWORD dwMs);

    std::shared_ptr<CPhoneSession> m_pSession;
    std::string m_skipId;
    const BOOL m_bUsb;
    PortSet m_known;
    const DWORD m_dwMode;
    const HANDLE m_hEvent;
    const std::shared_ptr<std::atomic<int>> m_pUsbPort;
    HANDLE m_hStop;
    HANDLE m_hThread;
    std::mutex m_publishLock;
    BOOL m_bStopped;            // guarded by m_publishLock
    std::string m_foundDevice;  // guarded by m_publishLock
    std::atomic<BOOL> m_bSucceeded;
};
