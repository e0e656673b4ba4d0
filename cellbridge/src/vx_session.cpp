// A session's phone test, mode entry and USB port.
#include "vx_session.h"

#include <string>

#include "platform/ext/com_port_map.h"

VxSession::VxSession() : m_pUsbPort(std::make_shared<std::atomic<int>>(0)) {}

VxSession::~VxSession() {
    EndPhoneTest();
}

void VxSession::StopEntryLocked() {
    if (m_pEntry != nullptr) {
        m_pEntry->Stop();
        m_pEntry.reset();
    }
}

void VxSession::EndLocked() {
    StopEntryLocked();
    if (m_pSession != nullptr) {
        const std::string stored = m_pSession->StoredHandsetId();
        if (!stored.empty())
            m_storedId = stored;
        // A handset that answered is told the test is over, so it leaves the
        // write mode; one that never answered is not kept waiting for.
        if (m_pSession->HandsetSeen())
            m_pSession->EndTest();
        m_pSession->Close();
        m_pSession.reset();
    }
}

std::shared_ptr<CPhoneSession> VxSession::OpenSession() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pSession;
}

int VxSession::BeginPhoneTest(int nPort, int nBaud) {
    if (nPort < 1 || nBaud < 1)
        return CB_E_INVALID_ARG;
    std::lock_guard<std::mutex> lock(m_lock);
    // The device the last USB entry found, while that entry is the one in
    // force; once its test ended the number is only a number.
    std::string usbDevice;
    if (m_pEntry != nullptr && nPort == m_pUsbPort->load())
        usbDevice = m_pEntry->FoundDevice();
    EndLocked();
    if (!usbDevice.empty() && platform::ResolveComPort(static_cast<DWORD>(nPort)) != usbDevice)
        return CB_E_PORT_OPEN;  // the number no longer names the handset that answered
    auto pSession = std::make_shared<CPhoneSession>();
    int nResult = pSession->Open(static_cast<DWORD>(nPort), static_cast<DWORD>(nBaud));
    if (nResult != CB_OK)
        return nResult;
    if (!usbDevice.empty()) {
        // Checked again with the port open: the device opened is the one
        // that answered, which is therefore known to be there.
        if (platform::ResolveComPort(static_cast<DWORD>(nPort)) != usbDevice) {
            pSession->Close();
            return CB_E_PORT_OPEN;
        }
        pSession->MarkHandsetSeen();
    }
    m_pSession = std::move(pSession);
    return CB_OK;
}

void VxSession::EndPhoneTest() {
    std::lock_guard<std::mutex> lock(m_lock);
    EndLocked();
}

int VxSession::EnterModeProcess(int nUsb, int nMode, HANDLE hEvent) {
    if (hEvent == nullptr)
        return CB_E_INVALID_ARG;
    std::lock_guard<std::mutex> lock(m_lock);
    StopEntryLocked();
    int nResult = CB_OK;
    const DWORD dwMode = static_cast<DWORD>(nMode);
    if (nUsb != 0) {
        m_pUsbPort->store(0);
        // Taken now, before returning, so that a port appearing from here on
        // counts as the handset's.
        m_pEntry =
            CModeEntry::StartUsb(CModeEntry::CurrentPorts(), dwMode, hEvent, m_pUsbPort, &nResult);
    } else {
        if (m_pSession == nullptr)
            return CB_E_NOT_READY;
        // The handset written last: on this phone test, or on the one
        // before it.
        std::string skipId;
        if (m_bNewHandsetOnly) {
            skipId = m_pSession->StoredHandsetId();
            if (skipId.empty())
                skipId = m_storedId;
        }
        m_pEntry = CModeEntry::StartSerial(m_pSession, dwMode, hEvent, skipId, &nResult);
    }
    return nResult;
}

void VxSession::StopModeProcess() {
    std::lock_guard<std::mutex> lock(m_lock);
    StopEntryLocked();
}

int VxSession::WriteRecord(BYTE bCommand, const NvWriteRecord* pRecord) {
    if (pRecord == nullptr)
        return CB_E_INVALID_ARG;
    std::shared_ptr<CPhoneSession> pSession = OpenSession();
    if (pSession == nullptr)
        return CB_E_NOT_READY;
    return pSession->WriteRecord(bCommand, pRecord);
}

int VxSession::ReadNvItem(int nItem, char* pszText, int cbText) {
    if (pszText == nullptr || cbText < 1)
        return CB_E_INVALID_ARG;
    pszText[0] = '\0';
    if (nItem < CB_ITEM_IMEI1 || nItem > CB_ITEM_BT_ADDR)
        return CB_E_INVALID_ARG;
    std::shared_ptr<CPhoneSession> pSession = OpenSession();
    if (pSession == nullptr)
        return CB_E_NOT_READY;
    return pSession->ReadItem(static_cast<WORD>(nItem), pszText, static_cast<size_t>(cbText));
}

void VxSession::SetNewHandsetOnly(bool bOn) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bNewHandsetOnly = bOn;
}
