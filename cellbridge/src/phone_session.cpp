// The request/reply exchange with a handset over a Cordlink channel.
#include "phone_session.h"

#include <cstring>

#include "cordlink/cordlink.h"

namespace {

// Process-wide sequence numbers. Starting from the tick count makes it
// unlikely that a restarted station meets a late reply it could mistake.
std::atomic<WORD>& SequenceCounter() {
    static std::atomic<WORD> s_wSequence{static_cast<WORD>(GetTickCount() & 0xFFFF)};
    return s_wSequence;
}

BOOL AbortRequested(HANDLE hAbort) {
    return hAbort != nullptr && WaitForSingleObject(hAbort, 0) == WAIT_OBJECT_0;
}

}  // namespace

CPhoneSession::CPhoneSession() : m_pChannel(nullptr), m_dwPort(0), m_bHandsetSeen(FALSE) {}

CPhoneSession::~CPhoneSession() {
    Close();
}

int CPhoneSession::Open(DWORD dwPort, DWORD dwBaud) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pChannel != nullptr) {
        ReleaseChannel(m_pChannel);
        m_pChannel = nullptr;
        m_dwPort = 0;
    }
    int nResult = CB_E_PORT_OPEN;
    ICommChannel* pChannel = nullptr;
    if (CreateChannel(&pChannel, CHANNEL_TYPE_UART) && pChannel != nullptr) {
        CHANNEL_ATTRIBUTE attr = {CHANNEL_TYPE_UART, dwPort, dwBaud};
        if (pChannel->Open(&attr)) {
            m_pChannel = pChannel;
            m_dwPort = dwPort;
            m_bHandsetSeen = FALSE;
            m_decoder.Reset();
            nResult = CB_OK;
        } else {
            ReleaseChannel(pChannel);
        }
    }
    return nResult;
}

void CPhoneSession::Close() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pChannel != nullptr) {
        m_pChannel->Close();
        ReleaseChannel(m_pChannel);
        m_pChannel = nullptr;
    }
    m_dwPort = 0;
    m_decoder.Reset();
}

int CPhoneSession::Transact(BYTE bCommand, const BYTE* pPayload, size_t cbPayload,
                            DWORD dwTimeoutMs, HANDLE hAbort, CbFrame* pReply) {
    std::lock_guard<std::mutex> lock(m_lock);
    int nResult = CB_OK;
    if (m_pChannel == nullptr) {
        nResult = CB_E_NOT_READY;
    } else {
        const WORD wSequence = ++SequenceCounter();
        std::vector<BYTE> frame;
        if (!CbEncodeFrame(bCommand, wSequence, pPayload, cbPayload, &frame)) {
            nResult = CB_E_INVALID_ARG;
        } else {
            // Stale bytes from an earlier exchange are of no use, and probes
            // that a silent handset never read must not pile up in the
            // driver: start every exchange with empty queues.
            m_pChannel->Clear();
            m_decoder.Reset();
            const DWORD cbFrame = static_cast<DWORD>(frame.size());
            if (m_pChannel->Write(frame.data(), cbFrame, 0) != cbFrame) {
                nResult = CB_E_PORT_LOST;
            } else {
                nResult = ReceiveReplyLocked(bCommand, wSequence, dwTimeoutMs, hAbort, pReply);
            }
        }
    }
    if (nResult == CB_OK)
        m_bHandsetSeen = TRUE;
    return nResult;
}

int CPhoneSession::ReceiveReplyLocked(BYTE bCommand, WORD wSequence, DWORD dwTimeoutMs,
                                      HANDLE hAbort, CbFrame* pReply) {
    const BYTE bReply = static_cast<BYTE>(bCommand | CB_CMD_REPLY);
    const DWORD dwSlice = CbGetTimings().dwSliceMs == 0 ? 1 : CbGetTimings().dwSliceMs;
    const DWORD dwStart = GetTickCount();
    BYTE abBuffer[256];
    for (;;) {
        CbFrame frame;
        while (m_decoder.Next(&frame)) {
            // Anything else is a reply to an earlier request (or noise that
            // passed the CRC): it is dropped, never taken for this answer.
            if (frame.bCommand == bReply && frame.wSequence == wSequence) {
                *pReply = std::move(frame);
                return CB_OK;
            }
        }
        if (AbortRequested(hAbort))
            return CB_E_ABORTED;
        const DWORD dwElapsed = GetTickCount() - dwStart;
        if (dwElapsed >= dwTimeoutMs)
            return CB_E_NO_ANSWER;
        const DWORD dwLeft = dwTimeoutMs - dwElapsed;
        const DWORD dwWait = dwLeft < dwSlice ? dwLeft : dwSlice;
        const DWORD cbRead = m_pChannel->Read(abBuffer, sizeof(abBuffer), dwWait, 0);
        if (cbRead > 0) {
            m_decoder.Feed(abBuffer, cbRead);
            continue;
        }
        DWORD dwError = 0;
        m_pChannel->GetProperty(0, CH_PROP_ERROR_CODE, &dwError);
        if (dwError == CH_E_COMM || dwError == CH_E_INVALID_PARAM)
            return CB_E_PORT_LOST;
        // A wake-up without data: do not spin while the deadline runs out.
        if (dwError != CH_E_TIMEOUT)
            Sleep(1);
    }
}

int CPhoneSession::StatusResult(const CbFrame& reply) {
    if (reply.payload.size() < CB_STATUS_SIZE)
        return CB_E_BAD_REPLY;
    const WORD wStatus = CbGetLe16(reply.payload.data());
    if (wStatus == 0)
        return CB_OK;
    return wStatus >= CB_E_HANDSET_BASE ? static_cast<int>(wStatus) : CB_E_REFUSED;
}

int CPhoneSession::Request(BYTE bCommand, const BYTE* pPayload, size_t cbPayload, DWORD dwTimeoutMs,
                           HANDLE hAbort, size_t cbReply, CbFrame* pReply) {
    int nResult = Transact(bCommand, pPayload, cbPayload, dwTimeoutMs, hAbort, pReply);
    if (nResult != CB_OK)
        return nResult;
    nResult = StatusResult(*pReply);
    if (nResult == CB_OK && cbReply != 0 && pReply->payload.size() != cbReply)
        return CB_E_BAD_REPLY;
    return nResult;
}

int CPhoneSession::Hello(HANDLE hAbort, DWORD* pdwMode, std::string* pId) {
    CbFrame reply;
    int nResult = Request(CB_CMD_HELLO, nullptr, 0, CbGetTimings().dwHelloReplyMs, hAbort,
                          CB_HELLO_REPLY_SIZE, &reply);
    if (nResult != CB_OK)
        return nResult;
    if (pdwMode != nullptr)
        *pdwMode = reply.payload[CB_STATUS_SIZE];
    const char* psz = reinterpret_cast<const char*>(&reply.payload[CB_STATUS_SIZE + 1]);
    std::string id(psz, strnlen(psz, CB_HANDSET_ID_SIZE));
    if (pId != nullptr)
        *pId = id;
    std::lock_guard<std::mutex> lock(m_idLock);
    m_lastId = std::move(id);
    return CB_OK;
}

int CPhoneSession::EnterMode(DWORD dwMode, HANDLE hAbort) {
    BYTE abPayload[CB_MODE_REQUEST_SIZE];
    CbPutLe32(abPayload, dwMode);
    CbFrame reply;
    return Request(CB_CMD_ENTER_MODE, abPayload, sizeof(abPayload), CbGetTimings().dwModeReplyMs,
                   hAbort, CB_STATUS_SIZE, &reply);
}

int CPhoneSession::WriteRecord(BYTE bCommand, const NvWriteRecord* pRecord) {
    if (pRecord == nullptr)
        return CB_E_INVALID_ARG;
    static_assert(sizeof(NvWriteRecord) == CB_RECORD_SIZE);
    BYTE abPayload[CB_RECORD_SIZE];
    memcpy(abPayload, pRecord, CB_RECORD_SIZE);
    CbFrame reply;
    const int nResult = Request(bCommand, abPayload, sizeof(abPayload),
                                CbGetTimings().dwWriteReplyMs, nullptr, CB_STATUS_SIZE, &reply);
    if (nResult == CB_OK) {
        std::lock_guard<std::mutex> lock(m_idLock);
        m_storedId = m_lastId;
    }
    return nResult;
}

std::string CPhoneSession::StoredHandsetId() {
    std::lock_guard<std::mutex> lock(m_idLock);
    return m_storedId;
}

int CPhoneSession::ReadItem(WORD wItem, char* pszText, size_t cbText) {
    if (pszText == nullptr || cbText == 0)
        return CB_E_INVALID_ARG;
    pszText[0] = '\0';
    BYTE abPayload[CB_READ_REQUEST_SIZE];
    CbPutLe16(abPayload, wItem);
    CbFrame reply;
    int nResult = Request(CB_CMD_NV_READ, abPayload, sizeof(abPayload),
                          CbGetTimings().dwReadReplyMs, nullptr, CB_READ_REPLY_SIZE, &reply);
    if (nResult != CB_OK)
        return nResult;
    // The handset's field need not be terminated: take at most its width,
    // then cut to the caller's buffer.
    const char* pszField = reinterpret_cast<const char*>(&reply.payload[CB_STATUS_SIZE]);
    size_t cbCopy = strnlen(pszField, CB_ITEM_TEXT_SIZE);
    // A cut text could equal the one written while the handset holds more:
    // the read-back must not pass on it, so a cut is reported.
    nResult = CB_OK;
    if (cbCopy > cbText - 1) {
        cbCopy = cbText - 1;
        nResult = CB_E_INVALID_ARG;
    }
    memcpy(pszText, pszField, cbCopy);
    pszText[cbCopy] = '\0';
    return nResult;
}

int CPhoneSession::EndTest() {
    CbFrame reply;
    return Request(CB_CMD_END_TEST, nullptr, 0, CbGetTimings().dwEndReplyMs, nullptr, 0, &reply);
}
