#include "number_ledger.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "csv_file.h"
#include "platform/win_system.h"
#include "sqlite_file.h"

namespace {

// AUTOINCREMENT: an id is never handed out twice, even after someone deletes the last row
// with the shell, so a late FinishJob can never land on another handset's row.
const char* const SCHEMA_SQL =
    "CREATE TABLE IF NOT EXISTS jobs ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time TEXT NOT NULL,"
    " port TEXT,"
    " imei1 TEXT,"
    " imei2 TEXT,"
    " imei3 TEXT,"
    " bt_addr TEXT,"
    " outcome TEXT NOT NULL,"
    " result INTEGER,"
    " finished TEXT,"
    " rework INTEGER NOT NULL DEFAULT 0,"
    " station TEXT,"
    " operator TEXT,"
    " work_order TEXT);";
const char* const INDEX_SQL =
    "CREATE INDEX IF NOT EXISTS jobs_imei1 ON jobs(imei1);"
    "CREATE INDEX IF NOT EXISTS jobs_imei2 ON jobs(imei2);"
    "CREATE INDEX IF NOT EXISTS jobs_imei3 ON jobs(imei3);"
    "CREATE INDEX IF NOT EXISTS jobs_bt_addr ON jobs(bt_addr);"
    "CREATE INDEX IF NOT EXISTS jobs_bt_addr_upper ON jobs(upper(bt_addr));";

// Columns that files made by earlier versions lack; each is added at Open.
struct AddedColumn {
    const char* lpszName;
    const char* lpszDefinition;
};
const AddedColumn ADDED_COLUMNS[] = {
    {"rework", "rework INTEGER NOT NULL DEFAULT 0"},
    {"station", "station TEXT"},
    {"operator", "operator TEXT"},
    {"work_order", "work_order TEXT"},
};

// Preparing this fails when a `jobs` table of another shape is in the file.
const char* const SHAPE_SQL =
    "SELECT id, time, port, imei1, imei2, imei3, bt_addr, outcome, result, finished FROM jobs "
    "LIMIT 0";

const char* const INSERT_SQL =
    "INSERT INTO jobs (time, port, imei1, imei2, imei3, bt_addr, outcome, rework, station, "
    "operator, work_order) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)";

// Each column is its own index lookup (SQLite's multi-index OR).
const char* const IMEI_USED_SQL =
    "SELECT 1 FROM jobs WHERE (imei1 = ?1 OR imei2 = ?1 OR imei3 = ?1) AND outcome <> 'refused' "
    "LIMIT 1";
// An address is hexadecimal: "00a1..." and "00A1..." are one address (an index on the
// upper-case form keeps this a lookup).
const char* const BT_USED_SQL =
    "SELECT 1 FROM jobs WHERE upper(bt_addr) = upper(?1) AND outcome <> 'refused' LIMIT 1";

// The largest 15-digit text of one column. Among texts of 15 digits the text order is the
// numeric order, so the index is walked down from '999999999999999' and the walk stops at the
// first row that passes; the range keeps longer or lettered texts out of the walk.
const char* const HIGHEST_SQL[3] = {
    "SELECT imei1 FROM jobs WHERE imei1 BETWEEN '000000000000000' AND '999999999999999' "
    "AND length(imei1) = 15 AND imei1 NOT GLOB '*[^0-9]*' AND outcome <> 'refused' "
    "ORDER BY imei1 DESC LIMIT 1",
    "SELECT imei2 FROM jobs WHERE imei2 BETWEEN '000000000000000' AND '999999999999999' "
    "AND length(imei2) = 15 AND imei2 NOT GLOB '*[^0-9]*' AND outcome <> 'refused' "
    "ORDER BY imei2 DESC LIMIT 1",
    "SELECT imei3 FROM jobs WHERE imei3 BETWEEN '000000000000000' AND '999999999999999' "
    "AND length(imei3) = 15 AND imei3 NOT GLOB '*[^0-9]*' AND outcome <> 'refused' "
    "ORDER BY imei3 DESC LIMIT 1",
};

const char* const NOT_OPEN = "the number ledger is not open";

// "YYYY-MM-DD hh:mm:ss.mmm", local time.
std::string LocalTimeText() {
    SYSTEMTIME st = {};
    GetLocalTime(&st);
    char szTime[48] = {};
    snprintf(szTime, sizeof(szTime), "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth,
             st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return szTime;
}

}  // namespace

CNumberLedger::~CNumberLedger() {
    Close();
}

bool CNumberLedger::Open(const std::string& path, std::string* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb != nullptr) {
        SetError(pError, "the number ledger is already open");
        return false;
    }
    m_nRecovered = 0;
    const std::string what = "cannot open the number ledger " + path;
    if (!OpenDurableFile(path, LEDGER_BUSY_TIMEOUT_MS, &m_pDb, pError)) {
        if (pError != nullptr)
            *pError = what + ": " + *pError;
        return false;
    }
    if (!SchemaLocked(pError)) {
        if (pError != nullptr)
            *pError = what + ": " + *pError;
        sqlite3_close(m_pDb);
        m_pDb = nullptr;
        return false;
    }
    return true;
}

// Schema check and recovery, with m_pDb freshly opened.
bool CNumberLedger::SchemaLocked(std::string* pError) {
    if (!Exec(m_pDb, "BEGIN IMMEDIATE", "starting the schema transaction", pError))
        return false;
    if (!Exec(m_pDb, SCHEMA_SQL, "creating the jobs table", pError)) {
        Rollback(m_pDb);
        return false;
    }
    for (const AddedColumn& column : ADDED_COLUMNS) {
        const std::string probe = std::string("SELECT ") + column.lpszName + " FROM jobs LIMIT 0";
        const std::string add = std::string("ALTER TABLE jobs ADD COLUMN ") + column.lpszDefinition;
        if (!CStatement(m_pDb, probe.c_str()).Ok() &&
            !Exec(m_pDb, add.c_str(), std::string("adding the column ") + column.lpszName,
                  pError)) {
            Rollback(m_pDb);
            return false;
        }
    }
    {
        CStatement shape(m_pDb, SHAPE_SQL);
        if (!shape.Ok()) {
            SetDbError(pError, m_pDb, "the jobs table has another shape");
            Rollback(m_pDb);
            return false;
        }
    }
    if (!Exec(m_pDb, INDEX_SQL, "creating the indexes", pError)) {
        Rollback(m_pDb);
        return false;
    }
    // A row still in flight belongs to a job whose process ended without its outcome; its
    // numbers may be in a handset.
    if (!Exec(m_pDb, "UPDATE jobs SET outcome = 'presumedwritten' WHERE outcome = 'inflight'",
              "recovering unfinished jobs", pError)) {
        Rollback(m_pDb);
        return false;
    }
    int nRecovered = sqlite3_changes(m_pDb);
    if (!Exec(m_pDb, "COMMIT", "committing the schema", pError)) {
        Rollback(m_pDb);
        return false;
    }
    m_nRecovered = nRecovered;
    return true;
}

void CNumberLedger::Close() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb == nullptr)
        return;
    // sqlite3_close_v2 never fails for a busy connection; all statements are finalized by
    // the time any method returns, so the handle goes at once.
    sqlite3_close_v2(m_pDb);
    m_pDb = nullptr;
}

bool CNumberLedger::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pDb != nullptr;
}

int CNumberLedger::RecoveredCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_nRecovered;
}

void CNumberLedger::SetTrace(const RecordTrace& trace) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_trace = trace;
}

int64_t CNumberLedger::ClaimJob(const LedgerJob& job, const std::vector<std::string>& inHandset,
                                ClaimError* pError) {
    std::string conflict, message;
    const int64_t nId = BeginJobIfUnused(job, &conflict, &message, inHandset);
    if (nId == 0 && pError != nullptr) {
        pError->kind = conflict.empty() ? ClaimFailure::RecordFailed : ClaimFailure::Conflict;
        pError->conflict = conflict;
        pError->message = message;
    }
    return nId;
}

int64_t CNumberLedger::ClaimPoolJob(const PoolDraw&, LedgerJob&, ClaimError* pError) {
    if (pError != nullptr) {
        pError->kind = ClaimFailure::NoPool;
        pError->message = "a record file has no number pool";
    }
    return 0;
}

int64_t CNumberLedger::BeginJob(const LedgerJob& job, std::string* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    return InsertJobLocked(job, false, {}, nullptr, pError);
}

int64_t CNumberLedger::BeginJobIfUnused(const LedgerJob& job, std::string* pConflict,
                                        std::string* pError,
                                        const std::vector<std::string>& inHandset) {
    std::lock_guard<std::mutex> lock(m_lock);
    return InsertJobLocked(job, true, inHandset, pConflict, pError);
}

int64_t CNumberLedger::InsertJobLocked(const LedgerJob& job, bool bCheckUnused,
                                       const std::vector<std::string>& inHandset,
                                       std::string* pConflict, std::string* pError) {
    if (m_pDb == nullptr) {
        SetError(pError, NOT_OPEN);
        return 0;
    }
    // The check and the insert share one write transaction, taken at once (IMMEDIATE), so no
    // other process can record the same number in between.
    bool bRework = false;
    if (bCheckUnused) {
        if (!Exec(m_pDb, "BEGIN IMMEDIATE", "starting the job transaction", pError))
            return 0;
        const std::pair<const char*, const std::string*> items[] = {
            {IMEI_USED_SQL, &job.imei1},
            {IMEI_USED_SQL, &job.imei2},
            {IMEI_USED_SQL, &job.imei3},
            {BT_USED_SQL, &job.btAddr},
        };
        for (const auto& item : items) {
            int nUsed = UsedLocked(item.first, *item.second, pError);
            if (nUsed == 0)
                continue;
            if (nUsed > 0 &&
                std::find(inHandset.begin(), inHandset.end(), *item.second) != inHandset.end()) {
                bRework = true;
                continue;
            }
            if (nUsed > 0) {
                if (pConflict != nullptr)
                    *pConflict = *item.second;
                SetError(pError, "the number " + *item.second + " is already recorded");
            }
            Rollback(m_pDb);
            return 0;
        }
    }
    CStatement stmt(m_pDb, INSERT_SQL);
    bool bBound = stmt.Ok() && stmt.BindText(1, LocalTimeText()) && stmt.BindText(2, job.port) &&
                  stmt.BindText(3, job.imei1) && stmt.BindText(4, job.imei2) &&
                  stmt.BindText(5, job.imei3) && stmt.BindText(6, job.btAddr) &&
                  stmt.BindText(7, LedgerOutcomeName(LedgerOutcome::InFlight)) &&
                  stmt.BindInt(8, bRework ? 1 : 0) && stmt.BindText(9, m_trace.station) &&
                  stmt.BindText(10, m_trace.operatorName) && stmt.BindText(11, m_trace.workOrder);
    if (!bBound || stmt.Step() != SQLITE_DONE) {
        SetDbError(pError, m_pDb, "cannot record the job");
        Rollback(m_pDb);
        return 0;
    }
    int64_t nId = sqlite3_last_insert_rowid(m_pDb);
    if (bCheckUnused && !Exec(m_pDb, "COMMIT", "cannot commit the job", pError)) {
        Rollback(m_pDb);
        return 0;
    }
    return nId;
}

bool CNumberLedger::FinishJob(int64_t id, LedgerOutcome outcome, int nResultCode,
                              std::string* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb == nullptr) {
        SetError(pError, NOT_OPEN);
        return false;
    }
    if (outcome != LedgerOutcome::Written && outcome != LedgerOutcome::Refused &&
        outcome != LedgerOutcome::Uncertain) {
        SetError(pError, std::string("a job cannot finish as ") + LedgerOutcomeName(outcome));
        return false;
    }
    CStatement stmt(m_pDb,
                    "UPDATE jobs SET outcome = ?1, result = ?2, finished = ?3 "
                    "WHERE id = ?4 AND finished IS NULL");
    bool bBound = stmt.Ok() && stmt.BindText(1, LedgerOutcomeName(outcome)) &&
                  stmt.BindInt(2, nResultCode) && stmt.BindText(3, LocalTimeText()) &&
                  stmt.BindInt(4, id);
    if (!bBound || stmt.Step() != SQLITE_DONE) {
        SetDbError(pError, m_pDb, "cannot record the outcome of job " + std::to_string(id));
        return false;
    }
    if (sqlite3_changes(m_pDb) != 1) {
        SetError(pError, "no unfinished job with id " + std::to_string(id));
        return false;
    }
    return true;
}

int64_t CNumberLedger::HighestImeiBody(std::string* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb == nullptr) {
        SetError(pError, NOT_OPEN);
        return LEDGER_QUERY_FAILED;
    }
    int64_t nHighest = -1;
    for (const char* lpszSql : HIGHEST_SQL) {
        CStatement stmt(m_pDb, lpszSql);
        int rc = stmt.Ok() ? stmt.Step() : SQLITE_ERROR;
        if (rc == SQLITE_DONE)
            continue;
        if (rc != SQLITE_ROW) {
            SetDbError(pError, m_pDb, "cannot read the highest IMEI");
            return LEDGER_QUERY_FAILED;
        }
        // 15 digits checked by the query: at most 999999999999999, well inside 64 bits.
        int64_t nValue = 0;
        for (char c : stmt.Text(0))
            nValue = nValue * 10 + (c - '0');
        if (nValue / 10 > nHighest)
            nHighest = nValue / 10;
    }
    return nHighest;
}

int CNumberLedger::UsedLocked(const char* lpszSql, const std::string& text, std::string* pError) {
    if (text.empty())
        return 0;
    CStatement stmt(m_pDb, lpszSql);
    int rc = stmt.Ok() && stmt.BindText(1, text) ? stmt.Step() : SQLITE_ERROR;
    if (rc == SQLITE_ROW)
        return 1;
    if (rc == SQLITE_DONE)
        return 0;
    SetDbError(pError, m_pDb, "cannot look up " + text);
    return -1;
}

bool CNumberLedger::IsBtAddrUsed(const std::string& btAddr, std::string* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb == nullptr) {
        SetError(pError, NOT_OPEN);
        return true;
    }
    return UsedLocked(BT_USED_SQL, btAddr, pError) != 0;
}

bool CNumberLedger::IsImeiUsed(const std::string& imei, std::string* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb == nullptr) {
        SetError(pError, NOT_OPEN);
        return true;
    }
    return UsedLocked(IMEI_USED_SQL, imei, pError) != 0;
}

bool CNumberLedger::ExportCsv(const std::string& csvPath, std::string* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb == nullptr) {
        SetError(pError, NOT_OPEN);
        return false;
    }
    std::error_code ec;
    // The export replaces its target: never the database file or one of its companions.
    const std::filesystem::path target = std::filesystem::weakly_canonical(csvPath, ec);
    const std::string dbPath = sqlite3_db_filename(m_pDb, "main");
    for (const char* lpszSuffix : {"", "-wal", "-shm", "-journal"}) {
        if (!ec && target == std::filesystem::weakly_canonical(dbPath + lpszSuffix, ec)) {
            SetError(pError, "cannot export over the ledger's own file " + csvPath);
            return false;
        }
    }
    CCsvFile out;
    if (!out.Create(csvPath, pError))
        return false;
    out.Row({"id", "time", "port", "imei1", "imei2", "imei3", "bt_addr", "outcome", "result",
             "rework"});
    // One statement reads one consistent snapshot, whatever other processes write meanwhile.
    CStatement stmt(m_pDb,
                    "SELECT id, time, port, imei1, imei2, imei3, bt_addr, outcome, result, "
                    "rework FROM jobs ORDER BY id");
    int rc = stmt.Ok() ? stmt.Step() : SQLITE_ERROR;
    for (; rc == SQLITE_ROW; rc = stmt.Step()) {
        std::vector<std::string> fields;
        for (int nColumn = 0; nColumn < 10; ++nColumn)
            fields.push_back(stmt.Text(nColumn));
        out.Row(fields);
    }
    if (rc != SQLITE_DONE) {
        SetDbError(pError, m_pDb, "cannot read the jobs");
        return false;
    }
    return out.Commit(pError);
}
