// CPhoneSession: one open port to a handset and the request/reply exchange
// over it. Every request gets a fresh sequence number, and only the reply
// with that number (and the matching command) answers it, so a late reply to
// an earlier request that timed out is never taken for the answer to a new
// one. Sequence numbers run on across sessions in the process, so a reply
// from a previous session on the same handset cannot match either.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "cellbridge/cellbridge.h"
#include "frame_codec.h"
#include "platform/windows.h"
#include "timings.h"

class ICommChannel;

// Result of a request abandoned because its abort event was set (internal).
#define CB_E_ABORTED (-1)

// Not copyable. Requests are serialised by an internal lock, so the
// mode-entry thread and the station's calls may share one session.
class CPhoneSession {
public:
    CPhoneSession();
    ~CPhoneSession();
    CPhoneSession(const CPhoneSession&) = delete;
    CPhoneSession& operator=(const CPhoneSession&) = delete;

    // Opens COM<dwPort> at dwBaud through a new Cordlink channel. CB_OK, or
    // CB_E_PORT_OPEN with nothing left open. Thread-safe.
    int Open(DWORD dwPort, DWORD dwBaud);
    // Closes the channel (waiting for a request in progress). Thread-safe.
    void Close();
    // The port given to a successful Open; 0 when closed.
    DWORD Port() const { return m_dwPort.load(); }
    // TRUE once any valid reply arrived since Open.
    BOOL HandsetSeen() const { return m_bHandsetSeen.load(); }
    // Marks the handset as known to be there (it answered on an earlier
    // session on the same port).
    void MarkHandsetSeen() { m_bHandsetSeen = TRUE; }

    // Sends one request and waits up to dwTimeoutMs for its reply, checking
    // hAbort (may be null) at least every slice. CB_OK with the reply's
    // payload in *pReply; CB_E_NO_ANSWER, CB_E_PORT_LOST, CB_E_NOT_READY
    // (closed), CB_E_ABORTED. Thread-safe.
    int Transact(BYTE bCommand, const BYTE* pPayload, size_t cbPayload, DWORD dwTimeoutMs,
                 HANDLE hAbort, CbFrame* pReply);

    // Presence probe. CB_OK with the handset's mode and id; else as Transact.
    int Hello(HANDLE hAbort, DWORD* pdwMode, std::string* pId);
    // Enters mode dwMode. CB_OK, a handset code, or as Transact.
    int EnterMode(DWORD dwMode, HANDLE hAbort);
    // Sends the record with bCommand (direct or fast write). CB_OK, a handset
    // code, or as Transact.
    int WriteRecord(BYTE bCommand, const NvWriteRecord* pRecord);
    // Reads an item into pszText (cbText > 0; cut to fit). CB_OK or a code.
    int ReadItem(WORD wItem, char* pszText, size_t cbText);
    // Tells the handset the test is over. CB_OK or a code.
    int EndTest();
    // The id of the handset that stored a write on this session (its last
    // presence answer before the write); empty when none stored one.
    // Thread-safe.
    std::string StoredHandsetId();

private:
    // The handset's status word as a result: 0, the code itself (>= 16), or
    // CB_E_REFUSED for a code the library cannot pass on unmistakably.
    static int StatusResult(const CbFrame& reply);
    // Transact, then the reply's status; a successful reply must carry
    // exactly cbReply payload bytes (0: any size) or it is CB_E_BAD_REPLY.
    int Request(BYTE bCommand, const BYTE* pPayload, size_t cbPayload, DWORD dwTimeoutMs,
                HANDLE hAbort, size_t cbReply, CbFrame* pReply);
    // Reads until the reply to wSequence arrives (Transact's results). Runs
    // under m_lock.
    int ReceiveReplyLocked(BYTE bCommand, WORD wSequence, DWORD dwTimeoutMs, HANDLE hAbort,
                           CbFrame* pReply);

    std::mutex m_lock;  // serialises Open, Close and Transact
    ICommChannel* m_pChannel;
    std::atomic<DWORD> m_dwPort;
    std::atomic<BOOL> m_bHandsetSeen;
    CFrameDecoder m_decoder;
    std::mutex m_idLock;  // guards the two ids below
    std::string m_lastId;
    std::string m_storedId;
};
