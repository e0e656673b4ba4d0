// What the station's SQLite files share (the record file and the outcome
// queue): prepared statements that finalize themselves, error texts, and a
// durable open (write-ahead log, every commit synced).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

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

void SetError(std::string* pError, const std::string& message);
// "<what>: <SQLite's message> (<code>)" for the connection's last failure.
void SetDbError(std::string* pError, sqlite3* pDb, const std::string& what);
bool Exec(sqlite3* pDb, const char* lpszSql, const std::string& what, std::string* pError);
// Ends a failed write transaction; harmless when SQLite already rolled it back.
void Rollback(sqlite3* pDb);

// Opens (creating) the database file at path for writing, waiting up to
// nBusyMs for other processes' locks, with a durable journal: a write-ahead
// log (or, where shared memory is missing, a rollback journal) and
// synchronous=FULL. FALSE with *pError (and *ppDb null) when the file cannot
// be opened for writing, is no database, or would not be durable.
bool OpenDurableFile(const std::string& path, int nBusyMs, sqlite3** ppDb, std::string* pError);
