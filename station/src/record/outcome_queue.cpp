#include "outcome_queue.h"

#include "sqlite_file.h"

namespace {

constexpr int kBusyMs = 2000;
const char kNotOpen[] = "the outcome queue is not open";

}  // namespace

COutcomeQueue::~COutcomeQueue() {
    Close();
}

bool COutcomeQueue::Open(const std::string& path, std::string* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb != nullptr) {
        SetError(pError, "the outcome queue is already open");
        return false;
    }
    if (!OpenDurableFile(path, kBusyMs, &m_pDb, pError) ||
        !Exec(m_pDb,
              "CREATE TABLE IF NOT EXISTS outcomes (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
              " token TEXT NOT NULL UNIQUE, outcome TEXT NOT NULL, result INTEGER NOT NULL)",
              "creating the outcome queue", pError)) {
        if (pError != nullptr)
            *pError = "cannot open the outcome queue " + path + ": " + *pError;
        if (m_pDb != nullptr)
            sqlite3_close(m_pDb);
        m_pDb = nullptr;
        return false;
    }
    return true;
}

void COutcomeQueue::Close() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb != nullptr)
        sqlite3_close_v2(m_pDb);
    m_pDb = nullptr;
}

bool COutcomeQueue::Push(const QueuedOutcome& item, std::string* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb == nullptr) {
        SetError(pError, kNotOpen);
        return false;
    }
    CStatement stmt(m_pDb,
                    "INSERT OR REPLACE INTO outcomes (token, outcome, result) VALUES (?1, ?2, ?3)");
    if (!stmt.Ok() || !stmt.BindText(1, item.token) ||
        !stmt.BindText(2, LedgerOutcomeName(item.outcome)) || !stmt.BindInt(3, item.nResult) ||
        stmt.Step() != SQLITE_DONE) {
        SetDbError(pError, m_pDb, "cannot keep the outcome of job " + item.token);
        return false;
    }
    return true;
}

bool COutcomeQueue::Pending(std::vector<QueuedOutcome>* pItems, std::string* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    pItems->clear();
    if (m_pDb == nullptr) {
        SetError(pError, kNotOpen);
        return false;
    }
    CStatement stmt(m_pDb, "SELECT token, outcome, result FROM outcomes ORDER BY seq");
    int rc = stmt.Ok() ? stmt.Step() : SQLITE_ERROR;
    for (; rc == SQLITE_ROW; rc = stmt.Step()) {
        QueuedOutcome item;
        item.token = stmt.Text(0);
        // A row that names no outcome (edited by hand) still delivers: as
        // uncertain, which keeps its numbers used.
        if (!LedgerOutcomeFromName(stmt.Text(1), &item.outcome))
            item.outcome = LedgerOutcome::Uncertain;
        item.nResult = sqlite3_column_int(stmt.Get(), 2);
        pItems->push_back(item);
    }
    if (rc != SQLITE_DONE) {
        SetDbError(pError, m_pDb, "cannot read the outcome queue");
        return false;
    }
    return true;
}

bool COutcomeQueue::Remove(const std::string& token, std::string* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb == nullptr) {
        SetError(pError, kNotOpen);
        return false;
    }
    CStatement stmt(m_pDb, "DELETE FROM outcomes WHERE token = ?1");
    if (!stmt.Ok() || !stmt.BindText(1, token) || stmt.Step() != SQLITE_DONE) {
        SetDbError(pError, m_pDb, "cannot forget the outcome of job " + token);
        return false;
    }
    return true;
}

int COutcomeQueue::Count() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pDb == nullptr)
        return -1;
    CStatement stmt(m_pDb, "SELECT count(*) FROM outcomes");
    if (!stmt.Ok() || stmt.Step() != SQLITE_ROW)
        return -1;
    return sqlite3_column_int(stmt.Get(), 0);
}
