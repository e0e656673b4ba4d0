// The library's exports and the state they share: the open phone test, the
// pending mode entry and the last USB port found. The station calls one
// export at a time (window thread or worker), but the mode-entry thread runs
// beside them, so the state is guarded all the same.
#include <memory>
#include <mutex>

#include "cellbridge/cellbridge.h"
#include "mode_entry.h"
#include "phone_session.h"
#include "platform/ext/com_port_map.h"

namespace {

struct CbState {
    CbState() = default;
    CbState(const CbState&) = delete;
    CbState& operator=(const CbState&) = delete;

    std::mutex lock;
    std::shared_ptr<CPhoneSession> pSession;  // the phone test begun, if any
    std::shared_ptr<CModeEntry> pEntry;       // the last mode entry started
    std::atomic<int> nUsbPort{0};             // found by the last USB entry
};

// Never destroyed: a host may exit with a mode entry still running, and its
// thread must not find the state gone.
CbState& State() {
    static CbState* s_pState = new CbState;
    return *s_pState;
}

void StopEntryLocked(CbState& state) {
    if (state.pEntry != nullptr) {
        state.pEntry->Stop();
        state.pEntry.reset();
    }
}

void EndLocked(CbState& state) {
    StopEntryLocked(state);
    if (state.pSession != nullptr) {
        // A handset that answered is told the test is over, so it leaves the
        // write mode; one that never answered is not kept waiting for.
        if (state.pSession->HandsetSeen())
            state.pSession->EndTest();
        state.pSession->Close();
        state.pSession.reset();
    }
}

int WriteWith(BYTE bCommand, const NvWriteRecord* pRecord) {
    if (pRecord == nullptr)
        return CB_E_INVALID_ARG;
    std::shared_ptr<CPhoneSession> pSession;
    {
        std::lock_guard<std::mutex> lock(State().lock);
        pSession = State().pSession;
    }
    if (pSession == nullptr)
        return CB_E_NOT_READY;
    return pSession->WriteRecord(bCommand, pRecord);
}

}  // namespace

extern "C" {

CELLBRIDGE_API int VX_BeginPhoneTest(int nPort, int nBaud) {
    if (nPort < 1 || nBaud < 1)
        return CB_E_INVALID_ARG;
    CbState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    // The device the last USB entry found, while that entry is the one in
    // force; once its test ended the number is only a number.
    std::string usbDevice;
    if (state.pEntry != nullptr && nPort == state.nUsbPort.load())
        usbDevice = state.pEntry->FoundDevice();
    EndLocked(state);
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
    state.pSession = std::move(pSession);
    return CB_OK;
}

CELLBRIDGE_API void VX_EndPhoneTest(void) {
    CbState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    EndLocked(state);
}

CELLBRIDGE_API int VX_EnterModeProcess(int nUsb, int nMode, HANDLE hEvent, int /*nReserved*/) {
    if (hEvent == nullptr)
        return CB_E_INVALID_ARG;
    CbState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    StopEntryLocked(state);
    int nResult = CB_OK;
    const DWORD dwMode = static_cast<DWORD>(nMode);
    if (nUsb != 0) {
        state.nUsbPort = 0;
        // Taken now, before returning, so that a port appearing from here on
        // counts as the handset's.
        state.pEntry = CModeEntry::StartUsb(CModeEntry::CurrentPorts(), dwMode, hEvent,
                                            &state.nUsbPort, &nResult);
    } else {
        if (state.pSession == nullptr)
            return CB_E_NOT_READY;
        state.pEntry = CModeEntry::StartSerial(state.pSession, dwMode, hEvent, &nResult);
    }
    return nResult;
}

CELLBRIDGE_API void VX_StopModeProcess(void) {
    CbState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    StopEntryLocked(state);
}

CELLBRIDGE_API int VX_GetUsbPort(void) {
    return State().nUsbPort.load();
}

CELLBRIDGE_API int VX_NvWriteDirect(const NvWriteRecord* pRecord) {
    return WriteWith(CB_CMD_NV_WRITE_DIRECT, pRecord);
}

CELLBRIDGE_API int VX_FastWriteNvInfo(const NvWriteRecord* pRecord) {
    return WriteWith(CB_CMD_NV_WRITE_FAST, pRecord);
}

CELLBRIDGE_API int VX_ReadNvItem(int nItem, char* pszText, int cbText) {
    if (pszText == nullptr || cbText < 1)
        return CB_E_INVALID_ARG;
    pszText[0] = '\0';
    if (nItem < CB_ITEM_IMEI1 || nItem > CB_ITEM_BT_ADDR)
        return CB_E_INVALID_ARG;
    std::shared_ptr<CPhoneSession> pSession;
    {
        std::lock_guard<std::mutex> lock(State().lock);
        pSession = State().pSession;
    }
    if (pSession == nullptr)
        return CB_E_NOT_READY;
    return pSession->ReadItem(static_cast<WORD>(nItem), pszText, static_cast<size_t>(cbText));
}

}  // extern "C"
