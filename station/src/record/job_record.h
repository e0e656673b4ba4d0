// The station's record of write jobs, behind one interface: a SQLite file
// beside the program for a lone station (number_ledger.h), or the line's
// PostgreSQL server shared by every station (server_record.h). Either keeps
// the station's promise that a number goes to exactly one handset: a job's
// numbers are recorded, durably and checked against every used number in the
// same transaction, before the first write call; whatever ends the program
// afterwards, a number that may have reached a handset is never offered
// again. Nothing above this interface knows which back end runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One row per handset written or tried. Texts are UTF-8.
struct LedgerJob {
    std::string port;                         // "COM3" or "USB:COM5"
    std::string imei1, imei2, imei3, btAddr;  // empty when the item is not written
};

// Who and what a job was for, kept with every row: the station's name, and
// the operator and work order when the settings name them (else empty).
struct RecordTrace {
    std::string station;
    std::string operatorName;
    std::string workOrder;
};

// Written: the handset confirmed the store. Refused: the handset said it stored nothing
// (the numbers may be offered again). Uncertain: no/garbled answer, port lost, a write still
// running when the job was abandoned: it may be stored. PresumedWritten: found InFlight when
// the station started. Every outcome but Refused keeps the row's numbers used.
enum class LedgerOutcome {
    InFlight = 0,
    Written = 1,
    Refused = 2,
    Uncertain = 3,
    PresumedWritten = 4
};

// The outcome's name as stored and exported: the enumerator's name in lower
// case ("inflight", "written", "refused", "uncertain", "presumedwritten").
const char* LedgerOutcomeName(LedgerOutcome outcome);
// The outcome of that name; FALSE for any other text.
bool LedgerOutcomeFromName(const std::string& name, LedgerOutcome* pOutcome);

// HighestImeiBody's result when the record could not be read (distinct from -1, "none").
constexpr int64_t LEDGER_QUERY_FAILED = -2;

// What a generation job asks of the line's pool: nBodies fresh IMEI bodies
// (1 to 3), handed out in order to the IMEI items in use (with bSameImei,
// one body for every item), and an address when bBtAddr and the pool has
// addresses.
struct PoolDraw {
    bool imeiOn[3] = {false, false, false};
    bool bSameImei = false;
    bool bBtAddr = false;
};

// Why a claim failed.
enum class ClaimFailure {
    None,
    Conflict,      // a number is used already (ClaimError::conflict names it)
    Unreachable,   // the record's server did not answer in time
    NoPool,        // no pool of that name (or the record has none)
    PoolUsedUp,    // the pool has no free numbers left
    RecordFailed,  // any other failure: nothing was recorded
};
struct ClaimError {
    ClaimFailure kind = ClaimFailure::None;
    std::string conflict;
    std::string message;
};

// Every method is thread-safe. Failures are returned (0, false, or as each
// method says) with a message in *pError when pError is not null; nothing
// throws. On success *pError is left unchanged.
class IJobRecord {
public:
    virtual ~IJobRecord() = default;

    // Jobs found unfinished when the record was opened (or, on the server,
    // first reached) and counted as written since.
    virtual int RecoveredCount() const = 0;

    // Records a job as in flight after checking, in the same transaction,
    // that none of its numbers is used (see IsImeiUsed). Returns the job's id
    // (> 0), or 0 with *pError (see ClaimError). A rework of a handset that
    // already holds some of the job's numbers names them in inHandset: those
    // are not conflicts, and when one is on record the row is marked as a
    // rework.
    virtual int64_t ClaimJob(const LedgerJob& job, const std::vector<std::string>& inHandset,
                             ClaimError* pError) = 0;
    // Generation from the line's pool: takes the next free numbers of the
    // pool in the transaction that records the job in flight. The job's IMEI
    // fields are filled in, and its address when the pool gave one (else an
    // address in job.btAddr is claimed as it stands). Returns the id, or 0
    // with *pError. A record without a pool fails (ClaimFailure::NoPool).
    virtual int64_t ClaimPoolJob(const PoolDraw& draw, LedgerJob& job, ClaimError* pError) = 0;
    // Records the outcome (Written, Refused or Uncertain) and the last result
    // code of an unfinished job, with the time. A Refused job's numbers may
    // be offered again. A row presumed written while its job still ran takes
    // its real outcome. FALSE when the outcome could not be recorded; a
    // server record then keeps it on the station and delivers it later (see
    // PendingOutcomes).
    virtual bool FinishJob(int64_t id, LedgerOutcome outcome, int nResultCode,
                           std::string* pError) = 0;

    // The largest IMEI body (IMEI / 10) over the IMEIs of every job not
    // Refused, -1 when none; LEDGER_QUERY_FAILED with *pError when the
    // record cannot be read.
    virtual int64_t HighestImeiBody(std::string* pError) = 0;
    // TRUE when a job not Refused holds this IMEI (in any item) or address
    // (in either letter case). An empty text is never used. When the record
    // cannot be read they answer TRUE with *pError, so a failure never lets
    // a number out twice.
    virtual bool IsImeiUsed(const std::string& imei, std::string* pError) = 0;
    virtual bool IsBtAddrUsed(const std::string& btAddr, std::string* pError) = 0;

    // Outcomes recorded on the station and not yet delivered to the record
    // (always 0 for a local record).
    virtual int PendingOutcomes() const { return 0; }
    // TRUE when calls go over the network (they may take seconds): the
    // window's thread then asks nothing of the record, and leaves every check
    // to the claim on the worker's thread.
    virtual bool Networked() const { return false; }
    // Writes every job as CSV to csvPath (replaced atomically).
    virtual bool ExportCsv(const std::string& csvPath, std::string* pError) = 0;
};
