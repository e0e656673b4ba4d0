// Mode entry on a background thread, serial and USB.
#include "mode_entry.h"

#include <vector>

#include "platform/ext/com_port_map.h"

namespace {
// Ports are opened at the station's one baud rate; a USB serial port ignores it.
constexpr DWORD kUsbBaud = 115200;
}  // namespace

CModeEntry::CModeEntry(std::shared_ptr<CPhoneSession> pSession, BOOL bUsb, PortSet known,
                       DWORD dwMode, HANDLE hEvent, std::shared_ptr<std::atomic<int>> pUsbPort)
    : m_pSession(std::move(pSession)),
      m_bUsb(bUsb),
      m_known(std::move(known)),
      m_dwMode(dwMode),
      m_hEvent(hEvent),
      m_pUsbPort(std::move(pUsbPort)),
      m_hStop(nullptr),
      m_hThread(nullptr),
      m_bStopped(FALSE),
      m_bSucceeded(FALSE) {}

CModeEntry::~CModeEntry() {
    if (m_hThread != nullptr)
        CloseHandle(m_hThread);
    if (m_hStop != nullptr)
        CloseHandle(m_hStop);
}

CModeEntry::PortSet CModeEntry::CurrentPorts() {
    const uint64_t qwMark = CUsbClaims::Instance().Mark();
    PortSet ports;
    for (const platform::ComPortEntry& entry : platform::ListComPorts()) {
        ports.emplace(entry.dwPort, entry.device);
    }
    CUsbClaims::Instance().ForgetGone(ports, qwMark);
    return ports;
}

std::shared_ptr<CModeEntry> CModeEntry::StartSerial(std::shared_ptr<CPhoneSession> pSession,
                                                    DWORD dwMode, HANDLE hEvent,
                                                    const std::string& skipId, int* pnResult) {
    std::shared_ptr<CModeEntry> pEntry(
        new CModeEntry(std::move(pSession), FALSE, PortSet(), dwMode, hEvent, nullptr));
    pEntry->m_skipId = skipId;
    return Launch(std::move(pEntry), pnResult);
}

std::shared_ptr<CModeEntry> CModeEntry::StartUsb(PortSet known, DWORD dwMode, HANDLE hEvent,
                                                 std::shared_ptr<std::atomic<int>> pUsbPort,
                                                 int* pnResult) {
    std::shared_ptr<CModeEntry> pEntry(
        new CModeEntry(nullptr, TRUE, std::move(known), dwMode, hEvent, std::move(pUsbPort)));
    return Launch(std::move(pEntry), pnResult);
}

std::shared_ptr<CModeEntry> CModeEntry::Launch(std::shared_ptr<CModeEntry> pEntry, int* pnResult) {
    *pnResult = CB_E_SYSTEM;
    pEntry->m_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (pEntry->m_hStop == nullptr)
        return nullptr;
    // The thread keeps its own reference, so the entry outlives a Stop whose
    // wait ran out; the thread drops it as its last act.
    auto* pThreadRef = new std::shared_ptr<CModeEntry>(pEntry);
    pEntry->m_hThread = CreateThread(nullptr, 0, &CModeEntry::ThreadMain, pThreadRef, 0, nullptr);
    if (pEntry->m_hThread == nullptr) {
        delete pThreadRef;
        return nullptr;
    }
    *pnResult = CB_OK;
    return pEntry;
}

DWORD WINAPI CModeEntry::ThreadMain(LPVOID lpParam) {
    std::unique_ptr<std::shared_ptr<CModeEntry>> pRef(
        static_cast<std::shared_ptr<CModeEntry>*>(lpParam));
    CModeEntry* pEntry = pRef->get();
    if (pEntry->m_bUsb) {
        pEntry->RunUsb();
    } else {
        pEntry->RunSerial();
    }
    return 0;
}

void CModeEntry::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_publishLock);
        m_bStopped = TRUE;
    }
    if (m_hStop != nullptr)
        SetEvent(m_hStop);
    if (m_hThread != nullptr)
        WaitForSingleObject(m_hThread, CbGetTimings().dwJoinMs);
}

BOOL CModeEntry::WaitStop(DWORD dwMs) {
    return WaitForSingleObject(m_hStop, dwMs) == WAIT_OBJECT_0;
}

std::string CModeEntry::FoundDevice() {
    std::lock_guard<std::mutex> lock(m_publishLock);
    return m_foundDevice;
}

BOOL CModeEntry::Publish(DWORD dwUsbPort, const std::string& device) {
    std::lock_guard<std::mutex> lock(m_publishLock);
    if (m_bStopped)
        return FALSE;
    m_foundDevice = device;
    if (m_pUsbPort != nullptr)
        m_pUsbPort->store(static_cast<int>(dwUsbPort));
    m_bSucceeded = TRUE;
    SetEvent(m_hEvent);
    return TRUE;
}

void CModeEntry::RunSerial() {
    for (;;) {
        DWORD dwMode = 0;
        std::string id;
        int nResult = m_pSession->Hello(m_hStop, &dwMode, &id);
        // The handset written last is still connected: not a new one yet.
        if (nResult == CB_OK && !m_skipId.empty() && id == m_skipId)
            nResult = CB_E_NO_ANSWER;
        if (nResult == CB_OK) {
            nResult = m_pSession->EnterMode(m_dwMode, m_hStop);
            if (nResult == CB_OK) {
                Publish(0, std::string());
                return;
            }
        }
        if (nResult == CB_E_ABORTED)
            return;
        // No handset yet, a refusal, or a port in trouble: ask again later.
        // The station's own time-out ends the wait.
        if (WaitStop(CbGetTimings().dwPollIntervalMs))
            return;
    }
}

int CModeEntry::ProbeUsbPort(DWORD dwPort) {
    CPhoneSession session;
    int nResult = session.Open(dwPort, kUsbBaud);
    if (nResult != CB_OK)
        return nResult;
    const DWORD dwStart = GetTickCount();
    for (;;) {
        const CbTimings timings = CbGetTimings();
        DWORD dwMode = 0;
        nResult = session.Hello(m_hStop, &dwMode, nullptr);
        if (nResult == CB_OK)
            nResult = session.EnterMode(m_dwMode, m_hStop);
        if (nResult == CB_OK || nResult == CB_E_ABORTED || nResult == CB_E_PORT_LOST)
            break;
        if (GetTickCount() - dwStart >= timings.dwUsbProbeMs)
            break;
        if (WaitStop(timings.dwPollIntervalMs)) {
            nResult = CB_E_ABORTED;
            break;
        }
    }
    // Closed before the event is set: the station opens this port next.
    session.Close();
    return nResult;
}

void CModeEntry::RunUsb() {
    for (;;) {
        const PortSet current = CurrentPorts();
        // A port that went away is forgotten, so a handset that comes back
        // under the same number is seen as new.
        for (auto it = m_known.begin(); it != m_known.end();) {
            it = current.count(*it) ? std::next(it) : m_known.erase(it);
        }
        for (const auto& port : current) {
            if (m_known.count(port))
                continue;
            // Another session's entry is probing the port or took its
            // handset: not this entry's to open (looked at again next scan).
            const uint64_t qwClaim = CUsbClaims::Instance().TryClaim(port);
            if (qwClaim == 0)
                continue;
            int nResult = ProbeUsbPort(port.first);
            // A published handset stays claimed while it is connected.
            if (nResult == CB_OK && Publish(port.first, port.second))
                return;
            CUsbClaims::Instance().Release(port, qwClaim);
            if (nResult == CB_OK || nResult == CB_E_ABORTED)
                return;  // stopped
            // Silent or speaking another protocol for the whole probe: a
            // foreign device, not asked again while it stays. A port that
            // could not be opened yet (it appears before it can be opened)
            // is tried again at the next scan.
            if (nResult == CB_E_NO_ANSWER || nResult == CB_E_BAD_REPLY)
                m_known.insert(port);
        }
        if (WaitStop(CbGetTimings().dwUsbScanMs))
            return;
    }
}
