#include "number_ledger.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/win_system.h"

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
    " rework INTEGER NOT NULL DEFAULT 0);";
const char* const INDEX_SQL =
    "CREATE INDEX IF NOT EXISTS jobs_imei1 ON jobs(imei1);"
    "CREATE INDEX IF NOT EXISTS jobs_imei2 ON jobs(imei2);"
    "CREATE INDEX IF NOT EXISTS jobs_imei3 ON jobs(imei3);"
    "CREATE INDEX IF NOT EXISTS jobs_bt_addr ON jobs(bt_addr);"
    "CREATE INDEX IF NOT EXISTS jobs_bt_addr_upper ON jobs(upper(bt_addr));";

// Files made before reworks were recorded lack the column; it is added at Open.
const char* const REWORK_COLUMN_SQL = "SELECT rework FROM jobs LIMIT 0";
const char* const ADD_REWORK_SQL = "ALTER TABLE jobs ADD COLUMN rework INTEGER NOT NULL DEFAULT 0";

// Preparing this fails when a `jobs` table of another shape is in the file.
const char* const SHAPE_SQL =
    "SELECT id, time, port, imei1, imei2, imei3, bt_addr, outcome, result, finished FROM jobs "
    "LIMIT 0";

const char* const INSERT_SQL =
    "INSERT INTO jobs (time, port, imei1, imei2, imei3, bt_addr, outcome, rework) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";

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

// One prepared statement, finalized when it goes.
class CStatement {
public:
    CStatement(sqlite3* pDb, const char* lpszSql) {
        m_nPrepare = sqlite3_prepare_v2(pDb, lpszSql, -1, &m_pStmt, nullptr);
    }
    ~CStatement() { sqlite3_finalize(m_pStmt); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    bool Ok() const { return m_nPrepare == SQLITE_OK && m_pStmt != nullptr; }
    sqlite3_stmt* Get() const { return m_pStmt; }
    // Binds a text; an empty text is stored as NULL (the item is not written).
    bool BindText(int nIndex, const std::string& text) {
        if (text.empty())
            return sqlite3_bind_null(m_pStmt, nIndex) == SQLITE_OK;
        return sqlite3_bind_text(m_pStmt, nIndex, text.data(), static_cast<int>(text.size()),
                                 SQLITE_TRANSIENT) == SQLITE_OK;
    }
    bool BindInt(int nIndex, int64_t nValue) {
        return sqlite3_bind_int64(m_pStmt, nIndex, nValue) == SQLITE_OK;
    }
    int Step() { return sqlite3_step(m_pStmt); }
    std::string Text(int nColumn) const {
        const unsigned char* p = sqlite3_column_text(m_pStmt, nColumn);
        return p != nullptr
                   ? std::string(reinterpret_cast<const char*>(p),
                                 static_cast<size_t>(sqlite3_column_bytes(m_pStmt, nColumn)))
                   : std::string();
    }

private:
    sqlite3_stmt* m_pStmt = nullptr;
    int m_nPrepare = SQLITE_ERROR;
};

void SetError(std::string* pError, const std::string& message) {
    if (pError != nullptr)
        *pError = message;
}

// "<what>: <SQLite's message> (<code>)" for the connection's last failure.
void SetDbError(std::string* pError, sqlite3* pDb, const std::string& what) {
    if (pError == nullptr)
        return;
    const char* lpszMsg = pDb != nullptr ? sqlite3_errmsg(pDb) : "out of memory";
    int nCode = pDb != nullptr ? sqlite3_extended_errcode(pDb) : SQLITE_NOMEM;
    *pError = what + ": " + lpszMsg + " (" + std::to_string(nCode) + ")";
}

bool Exec(sqlite3* pDb, const char* lpszSql, const std::string& what, std::string* pError) {
    if (sqlite3_exec(pDb, lpszSql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    SetDbError(pError, pDb, what);
    return false;
}

// Ends a failed write transaction; harmless when SQLite already rolled it back.
void Rollback(sqlite3* pDb) {
    if (sqlite3_get_autocommit(pDb) == 0)
        sqlite3_exec(pDb, "ROLLBACK", nullptr, nullptr, nullptr);
}

// "YYYY-MM-DD hh:mm:ss.mmm", local time.
std::string LocalTimeText() {
    SYSTEMTIME st = {};
    GetLocalTime(&st);
    char szTime[48] = {};
    snprintf(szTime, sizeof(szTime), "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth,
             st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return szTime;
}

// The value quoted, its quotes doubled, when it holds a comma, quote or line break.
std::string CsvField(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos)
        return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

const char* LedgerOutcomeName(LedgerOutcome outcome) {
    switch (outcome) {
        case LedgerOutcome::InFlight:
            return "inflight";
        case LedgerOutcome::Written:
            return "written";
        case LedgerOutcome::Refused:
            return "refused";
        case LedgerOutcome::Uncertain:
            return "uncertain";
        case LedgerOutcome::PresumedWritten:
            return "presumedwritten";
    }
    return "unknown";
}

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
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2(path.c_str(), &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        SetDbError(pError, pDb, what);
        sqlite3_close(pDb);
        return false;
    }
    m_pDb = pDb;
    sqlite3_extended_result_codes(pDb, 1);
    sqlite3_busy_timeout(pDb, LEDGER_BUSY_TIMEOUT_MS);
    // SQLite falls back to read-only when the file is write-protected; a ledger that cannot
    // record a job is useless, so that is a failure here and not at the first BeginJob.
    if (sqlite3_db_readonly(pDb, "main") != 0) {
        SetError(pError, what + ": the file is read-only");
        sqlite3_close(m_pDb);
        m_pDb = nullptr;
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

// Journal mode, schema check and recovery, with m_pDb freshly opened.
bool CNumberLedger::SchemaLocked(std::string* pError) {
    // The write-ahead log lets readers (the sqlite3 shell, a report) run beside a writer
    // without blocking it; with synchronous=FULL every commit is synced before it returns.
    // This is also the first read of the file, so a file that is no database fails here.
    std::string mode;
    {
        CStatement stmt(m_pDb, "PRAGMA journal_mode=WAL");
        if (!stmt.Ok() || stmt.Step() != SQLITE_ROW) {
            SetDbError(pError, m_pDb, "setting the journal mode");
            return false;
        }
        mode = stmt.Text(0);
    }
    // A file system without shared memory keeps a rollback journal, which is as durable;
    // a journal in memory or none is not.
    if (mode != "wal" && mode != "delete" && mode != "truncate" && mode != "persist") {
        SetError(pError, "journal mode \"" + mode + "\" is not durable");
        return false;
    }
    if (!Exec(m_pDb, "PRAGMA synchronous=FULL", "setting synchronous=FULL", pError))
        return false;
    if (!Exec(m_pDb, "BEGIN IMMEDIATE", "starting the schema transaction", pError))
        return false;
    if (!Exec(m_pDb, SCHEMA_SQL, "creating the jobs table", pError)) {
        Rollback(m_pDb);
        return false;
    }
    if (!CStatement(m_pDb, REWORK_COLUMN_SQL).Ok() &&
        !Exec(m_pDb, ADD_REWORK_SQL, "adding the rework column", pError)) {
        Rollback(m_pDb);
        return false;
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
                  stmt.BindInt(8, bRework ? 1 : 0);
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
    const std::string tmpPath = csvPath + ".tmp";
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
    ec.clear();
    std::ofstream out(tmpPath, std::ios::binary | std::ios::trunc);
    if (!out) {
        SetError(pError, "cannot create " + tmpPath);
        return false;
    }
    out << "id,time,port,imei1,imei2,imei3,bt_addr,outcome,result,rework\n";
    // One statement reads one consistent snapshot, whatever other processes write meanwhile.
    CStatement stmt(m_pDb,
                    "SELECT id, time, port, imei1, imei2, imei3, bt_addr, outcome, result, "
                    "rework FROM jobs ORDER BY id");
    int rc = stmt.Ok() ? stmt.Step() : SQLITE_ERROR;
    for (; rc == SQLITE_ROW; rc = stmt.Step()) {
        for (int nColumn = 0; nColumn < 10; ++nColumn)
            out << (nColumn > 0 ? "," : "") << CsvField(stmt.Text(nColumn));
        out << '\n';
    }
    if (rc != SQLITE_DONE) {
        SetDbError(pError, m_pDb, "cannot read the jobs");
        out.close();
        std::filesystem::remove(tmpPath, ec);
        return false;
    }
    out.close();
    if (!out) {
        SetError(pError, "cannot write " + tmpPath);
        std::filesystem::remove(tmpPath, ec);
        return false;
    }
    std::filesystem::rename(tmpPath, csvPath, ec);
    if (ec) {
        SetError(pError, "cannot replace " + csvPath + ": " + ec.message());
        std::filesystem::remove(tmpPath, ec);
        return false;
    }
    return true;
}
