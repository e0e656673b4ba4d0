// The record on the line's PostgreSQL server (see line_schema.h), shared by
// every station of the line: one pool of numbers and one set of used
// numbers under a unique key. Each call that reaches the server is bounded
// in time (pg_connection.h); the station's window never calls it (its jobs
// run on worker threads).
//
// The server may be down or cut off at any moment. A job whose claim does
// not commit writes nothing. A job whose outcome cannot be delivered keeps
// its numbers used on the server (the row stays in flight) and its outcome
// in a durable queue on the station (outcome_queue.h); a thread of this
// record delivers the queue whenever the server answers again. When it
// first reaches the server, the record marks this station's own jobs that
// an earlier run left in flight as presumed written, and no other
// station's.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "job_record.h"
#include "platform/win_handle.h"

struct ServerRecordSettings {
    std::string conninfo;   // a libpq connection string
    RecordTrace trace;      // trace.station must not be empty
    std::string pool;       // generation's pool, empty for none
    std::string queuePath;  // the outcome queue's file
};

class CServerRecord : public IJobRecord {
public:
    CServerRecord();
    // Stops the delivery thread, waiting at most a few seconds; a thread
    // still inside a bounded server call ends by itself.
    ~CServerRecord() override;
    CServerRecord(const CServerRecord&) = delete;
    CServerRecord& operator=(const CServerRecord&) = delete;

    // Opens the outcome queue and starts delivering it. Does not wait for
    // the server. FALSE with *pError when the queue cannot be opened or the
    // settings are incomplete.
    bool Open(const ServerRecordSettings& settings, std::string* pError);
    // Reaches the server now (connect, schema check, recovery), for callers
    // that want to know at once. Every other call does this by itself.
    bool Connect(std::string* pError);

    int RecoveredCount() const override;
    int64_t ClaimJob(const LedgerJob& job, const std::vector<std::string>& inHandset,
                     ClaimError* pError) override;
    int64_t ClaimPoolJob(const PoolDraw& draw, LedgerJob& job, ClaimError* pError) override;
    // TRUE when the outcome is on the server, or kept on the station for
    // delivery.
    bool FinishJob(int64_t id, LedgerOutcome outcome, int nResultCode,
                   std::string* pError) override;
    int64_t HighestImeiBody(std::string* pError) override;
    bool IsImeiUsed(const std::string& imei, std::string* pError) override;
    bool IsBtAddrUsed(const std::string& btAddr, std::string* pError) override;
    int PendingOutcomes() const override;
    bool Networked() const override { return true; }
    bool ExportCsv(const std::string& csvPath, std::string* pError) override;

    // Delivers the queued outcomes now; TRUE when none is left.
    bool DeliverPending(std::string* pError);

    struct State;

private:
    int64_t Claim(const PoolDraw* pDraw, LedgerJob& job, const std::vector<std::string>& inHandset,
                  ClaimError* pError);

    std::shared_ptr<State> m_pState;
    HANDLE m_hDelivery = nullptr;
};
