// The library's exports. Each VX_Session* export checks its handle and acts
// on that session; each of the station's VX_* exports is its VX_Session*
// export on the process's default session.
#include <new>

#include "cellbridge/cellbridge.h"
#include "protocol.h"
#include "vx_session.h"

namespace {

// Never destroyed: a host may exit with a call still running on another
// thread, which must not find the session gone.
VxSession* DefaultSession() {
    static VxSession* s_pSession = new VxSession;
    return s_pSession;
}

}  // namespace

extern "C" {

CELLBRIDGE_API HVXSESSION VX_CreateSession(void) {
    try {
        return new VxSession;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

CELLBRIDGE_API void VX_DestroySession(HVXSESSION hSession) {
    delete hSession;  // ends its test first
}

CELLBRIDGE_API int VX_SessionBeginPhoneTest(HVXSESSION hSession, int nPort, int nBaud) {
    return hSession == nullptr ? CB_E_INVALID_ARG : hSession->BeginPhoneTest(nPort, nBaud);
}

CELLBRIDGE_API void VX_SessionEndPhoneTest(HVXSESSION hSession) {
    if (hSession != nullptr)
        hSession->EndPhoneTest();
}

CELLBRIDGE_API int VX_SessionEnterModeProcess(HVXSESSION hSession, int nUsb, int nMode,
                                              HANDLE hEvent, int /*nReserved*/) {
    return hSession == nullptr ? CB_E_INVALID_ARG : hSession->EnterModeProcess(nUsb, nMode, hEvent);
}

CELLBRIDGE_API void VX_SessionStopModeProcess(HVXSESSION hSession) {
    if (hSession != nullptr)
        hSession->StopModeProcess();
}

CELLBRIDGE_API int VX_SessionGetUsbPort(HVXSESSION hSession) {
    return hSession == nullptr ? 0 : hSession->GetUsbPort();
}

CELLBRIDGE_API int VX_SessionNvWriteDirect(HVXSESSION hSession, const NvWriteRecord* pRecord) {
    return hSession == nullptr ? CB_E_INVALID_ARG
                               : hSession->WriteRecord(CB_CMD_NV_WRITE_DIRECT, pRecord);
}

CELLBRIDGE_API int VX_SessionFastWriteNvInfo(HVXSESSION hSession, const NvWriteRecord* pRecord) {
    return hSession == nullptr ? CB_E_INVALID_ARG
                               : hSession->WriteRecord(CB_CMD_NV_WRITE_FAST, pRecord);
}

CELLBRIDGE_API int VX_SessionReadNvItem(HVXSESSION hSession, int nItem, char* pszText, int cbText) {
    if (hSession != nullptr)
        return hSession->ReadNvItem(nItem, pszText, cbText);
    // As every other failure: an empty string where the buffer allows one.
    if (pszText != nullptr && cbText > 0)
        pszText[0] = '\0';
    return CB_E_INVALID_ARG;
}

CELLBRIDGE_API void VX_SessionSetNewHandsetOnly(HVXSESSION hSession, int bOn) {
    if (hSession != nullptr)
        hSession->SetNewHandsetOnly(bOn != 0);
}

CELLBRIDGE_API int VX_BeginPhoneTest(int nPort, int nBaud) {
    return VX_SessionBeginPhoneTest(DefaultSession(), nPort, nBaud);
}

CELLBRIDGE_API void VX_EndPhoneTest(void) {
    VX_SessionEndPhoneTest(DefaultSession());
}

CELLBRIDGE_API int VX_EnterModeProcess(int nUsb, int nMode, HANDLE hEvent, int nReserved) {
    return VX_SessionEnterModeProcess(DefaultSession(), nUsb, nMode, hEvent, nReserved);
}

CELLBRIDGE_API void VX_StopModeProcess(void) {
    VX_SessionStopModeProcess(DefaultSession());
}

CELLBRIDGE_API int VX_GetUsbPort(void) {
    return VX_SessionGetUsbPort(DefaultSession());
}

CELLBRIDGE_API int VX_NvWriteDirect(const NvWriteRecord* pRecord) {
    return VX_SessionNvWriteDirect(DefaultSession(), pRecord);
}

CELLBRIDGE_API int VX_FastWriteNvInfo(const NvWriteRecord* pRecord) {
    return VX_SessionFastWriteNvInfo(DefaultSession(), pRecord);
}

CELLBRIDGE_API int VX_ReadNvItem(int nItem, char* pszText, int cbText) {
    return VX_SessionReadNvItem(DefaultSession(), nItem, pszText, cbText);
}

}  // extern "C"
