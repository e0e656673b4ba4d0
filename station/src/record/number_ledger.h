// The station's record of write jobs: one row per handset written or tried, in a SQLite
// database file beside the program. It keeps the station's promise that an IMEI goes to
// exactly one handset: a job's numbers are on disk before the first write call, so whatever
// ends the program (Esc, crash, kill -9, power cut), a number that may have reached a handset
// is never offered again.
//
// The file is readable with the sqlite3 shell (table `jobs`) and may be shared by several
// processes: every call waits up to LEDGER_BUSY_TIMEOUT_MS for another process's lock before
// it fails, and a reader (the shell, a report) never blocks a writer (write-ahead log).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "job_record.h"

struct sqlite3;

// How long a call waits for another process's lock on the file before it fails.
constexpr int LEDGER_BUSY_TIMEOUT_MS = 2000;

// Not copyable (owns the database connection). Every method is thread-safe: one internal
// mutex serialises them. Failures are returned (FALSE, 0, or as each method says) with a
// message in *pError when pError is not null; nothing throws, nothing aborts. On success
// *pError is left unchanged.
class CNumberLedger : public IJobRecord {
public:
    CNumberLedger() = default;
    ~CNumberLedger() override;
    CNumberLedger(const CNumberLedger&) = delete;
    CNumberLedger& operator=(const CNumberLedger&) = delete;

    // Opens the database file at path (UTF-8), creating the file and its schema when
    // missing, with a write-ahead log synced on every commit (synchronous=FULL). Converts
    // every InFlight row to PresumedWritten, since a job that never recorded its outcome may
    // have stored its numbers; RecoveredCount() then says how many. FALSE, with the ledger
    // closed, when the path cannot be opened for writing, is not a SQLite database, holds a
    // `jobs` table of another shape, or the ledger is already open.
    bool Open(const std::string& path, std::string* pError);
    // Closes the file (no-op when not open). Unfinished jobs stay InFlight on disk.
    void Close();
    bool IsOpen() const;
    // Rows the last successful Open converted from InFlight to PresumedWritten.
    int RecoveredCount() const override;
    // The station, operator and work order stored with every later job.
    void SetTrace(const RecordTrace& trace);

    // Records a job as InFlight. The row is on disk (fsync'd by SQLite's commit) before it
    // returns. Returns the row id (> 0), or 0 on failure with *pError.
    int64_t BeginJob(const LedgerJob& job, std::string* pError);
    // As BeginJob, but in one write transaction first checks that no IMEI and no Bluetooth
    // address of the job is used (see IsImeiUsed), so two stations sharing the file cannot
    // both take the same number between a check and a BeginJob. Returns 0 with *pConflict
    // (when not null) set to the first used number and a message in *pError when one is used.
    // A rework of a handset that already holds some of the job's numbers names them in
    // inHandset: those are not conflicts, and when one of them is on record the row is marked
    // as a rework (column `rework` 1).
    int64_t BeginJobIfUnused(const LedgerJob& job, std::string* pConflict, std::string* pError,
                             const std::vector<std::string>& inHandset = {});
    // Records the outcome (Written, Refused or Uncertain) and the last result code of an
    // unfinished job, with the time (durable). FALSE on failure, for another outcome, and for
    // an id that is unknown or already finished. A row that another process's Open marked
    // PresumedWritten while its job still ran is unfinished and takes its real outcome.
    bool FinishJob(int64_t id, LedgerOutcome outcome, int nResultCode,
                   std::string* pError) override;
    // BeginJobIfUnused, as the interface reports it.
    int64_t ClaimJob(const LedgerJob& job, const std::vector<std::string>& inHandset,
                     ClaimError* pError) override;
    // A file has no pool: always 0 with ClaimFailure::NoPool.
    int64_t ClaimPoolJob(const PoolDraw& draw, LedgerJob& job, ClaimError* pError) override;

    // The largest IMEI body (the 15-digit IMEI without its check digit, i.e. value / 10) over
    // all IMEI texts of rows whose outcome is not Refused, or -1 when none. Texts that are not
    // 15 digits are ignored. LEDGER_QUERY_FAILED with *pError when the file cannot be read.
    // Used at start-up: generation resumes at HighestImeiBody()+1 when that is above the
    // settings' start number.
    int64_t HighestImeiBody(std::string* pError = nullptr) override;
    // TRUE when any row whose outcome is not Refused holds this Bluetooth address (in either
    // case of its hexadecimal letters), or this IMEI (in any of the three columns). An empty text
    // is never used. When the file cannot be read they answer TRUE (with *pError), so a failure
    // never lets a number out twice.
    bool IsBtAddrUsed(const std::string& btAddr, std::string* pError = nullptr) override;
    bool IsImeiUsed(const std::string& imei, std::string* pError = nullptr) override;

    // Writes every row, in id order, as CSV to csvPath (UTF-8; replaced atomically: written
    // beside it and renamed). Header line "id,time,port,imei1,imei2,imei3,bt_addr,outcome,
    // result,rework"; outcome by LedgerOutcomeName, rework 1 or 0; lines end in \n; a value is
    // quoted, with its quotes doubled, only when it holds a comma, quote or line break.
    bool ExportCsv(const std::string& csvPath, std::string* pError) override;

private:
    int64_t InsertJobLocked(const LedgerJob& job, bool bCheckUnused,
                            const std::vector<std::string>& inHandset, std::string* pConflict,
                            std::string* pError);
    // 1 when a row not Refused holds text (bound to lpszSql's ?1), 0 when none (or text is
    // empty), -1 on a failure with *pError.
    int UsedLocked(const char* lpszSql, const std::string& text, std::string* pError);
    bool SchemaLocked(std::string* pError);

    mutable std::mutex m_lock;
    sqlite3* m_pDb = nullptr;
    int m_nRecovered = 0;
    RecordTrace m_trace;
};
