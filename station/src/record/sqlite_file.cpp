#include "sqlite_file.h"

void SetError(std::string* pError, const std::string& message) {
    if (pError != nullptr)
        *pError = message;
}

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

void Rollback(sqlite3* pDb) {
    if (sqlite3_get_autocommit(pDb) == 0)
        sqlite3_exec(pDb, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool OpenDurableFile(const std::string& path, int nBusyMs, sqlite3** ppDb, std::string* pError) {
    *ppDb = nullptr;
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2(path.c_str(), &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        SetDbError(pError, pDb, "cannot open");
        sqlite3_close(pDb);
        return false;
    }
    sqlite3_extended_result_codes(pDb, 1);
    sqlite3_busy_timeout(pDb, nBusyMs);
    // SQLite falls back to read-only when the file is write-protected; a file that cannot
    // take a write is useless here, so that is a failure now and not at the first write.
    if (sqlite3_db_readonly(pDb, "main") != 0) {
        SetError(pError, "the file is read-only");
        sqlite3_close(pDb);
        return false;
    }
    // The write-ahead log lets readers (the sqlite3 shell, a report) run beside a writer
    // without blocking it; with synchronous=FULL every commit is synced before it returns.
    // This is also the first read of the file, so a file that is no database fails here.
    std::string mode;
    bool bModeRead = false;
    {
        CStatement stmt(pDb, "PRAGMA journal_mode=WAL");
        bModeRead = stmt.Ok() && stmt.Step() == SQLITE_ROW;
        if (bModeRead)
            mode = stmt.Text(0);
    }
    // Closed only once the statement is finalized: sqlite3_close refuses a
    // connection with a live statement, and the connection would leak.
    if (!bModeRead) {
        SetDbError(pError, pDb, "setting the journal mode");
        sqlite3_close(pDb);
        return false;
    }
    // A file system without shared memory keeps a rollback journal, which is as durable;
    // a journal in memory or none is not.
    if (mode != "wal" && mode != "delete" && mode != "truncate" && mode != "persist") {
        SetError(pError, "journal mode \"" + mode + "\" is not durable");
        sqlite3_close(pDb);
        return false;
    }
    if (!Exec(pDb, "PRAGMA synchronous=FULL", "setting synchronous=FULL", pError)) {
        sqlite3_close(pDb);
        return false;
    }
    *ppDb = pDb;
    return true;
}
