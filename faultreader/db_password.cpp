#include "db_password.h"

#include <sqlite3.h>

#include "platform/ext/password_hash.h"

namespace faultreader {
namespace {

const char kCreateSql[] =
    "CREATE TABLE IF NOT EXISTS frsys_password (id INTEGER PRIMARY KEY CHECK (id = 1), "
    "hash TEXT NOT NULL)";

// The stored hash; false when there is none (no table, or no row).
bool ReadHash(sqlite3* pDb, std::string* pHash) {
    sqlite3_stmt* pStmt = nullptr;
    if (sqlite3_prepare_v2(pDb, "SELECT hash FROM frsys_password WHERE id = 1", -1, &pStmt,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(pStmt);
        return false;
    }
    bool bFound = false;
    if (sqlite3_step(pStmt) == SQLITE_ROW) {
        const unsigned char* lpsz = sqlite3_column_text(pStmt, 0);
        pHash->assign(lpsz != nullptr ? reinterpret_cast<const char*>(lpsz) : "");
        bFound = true;
    }
    sqlite3_finalize(pStmt);
    return bFound;
}

bool HasPasswordTable(sqlite3* pDb) {
    sqlite3_stmt* pStmt = nullptr;
    if (sqlite3_prepare_v2(pDb,
                           "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND "
                           "name = 'frsys_password'",
                           -1, &pStmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(pStmt);
        return false;
    }
    const bool bFound = sqlite3_step(pStmt) == SQLITE_ROW;
    sqlite3_finalize(pStmt);
    return bFound;
}

}  // namespace

bool CheckDatabasePassword(sqlite3* pDb, const std::string& strPassword) {
    std::string strHash;
    if (!ReadHash(pDb, &strHash)) {
        // A password table that can't be read (damaged, or not ours) must
        // not let every password in.
        return !HasPasswordTable(pDb);
    }
    return platform::VerifyPassword(strPassword.c_str(), strHash.c_str()) != FALSE;
}

bool StoreDatabasePassword(sqlite3* pDb, const std::string& strPassword) {
    if (strPassword.empty())
        return sqlite3_exec(pDb, "DROP TABLE IF EXISTS frsys_password", nullptr, nullptr,
                            nullptr) == SQLITE_OK;
    char szHash[256];
    if (!platform::HashPassword(strPassword.c_str(), szHash, sizeof szHash))
        return false;
    if (sqlite3_exec(pDb, kCreateSql, nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    sqlite3_stmt* pStmt = nullptr;
    if (sqlite3_prepare_v2(pDb, "INSERT OR REPLACE INTO frsys_password (id, hash) VALUES (1, ?)",
                           -1, &pStmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(pStmt);
        return false;
    }
    sqlite3_bind_text(pStmt, 1, szHash, -1, SQLITE_TRANSIENT);
    const bool bOk = sqlite3_step(pStmt) == SQLITE_DONE;
    sqlite3_finalize(pStmt);
    return bOk;
}

}  // namespace faultreader
