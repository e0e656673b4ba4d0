#include "database_file.h"

#include <sqlite3.h>

#include "ansi_text.h"
#include "db_access.h"
#include "error_code_db.h"
#include "platform/win_codepage.h"
#include "platform/win_file.h"
#include "table_kind.h"

namespace faultreader {
namespace {

std::string CreateSql(const std::string& strTable, TableKind eKind) {
    return "CREATE TABLE IF NOT EXISTS " + strTable + " (" + KeyField(eKind) + " INTEGER, " +
           ValueField(eKind) + " TEXT)";
}

}  // namespace

BOOL AddModuleTables(CDbAccess& db, int nModule) {
    for (TableKind eKind : {TableKind::kInterface, TableKind::kErrorCode, TableKind::kSolutionList,
                            TableKind::kSolutionIndex}) {
        if (!db.ExecuteSql(CreateSql(TableName({eKind, nModule}), eKind)) ||
            !db.ExecuteSql(KeyIndexSql({eKind, nModule})))
            return FALSE;
    }
    return TRUE;
}

BOOL CreateErrorDatabase(const std::string& strPath, const std::vector<int>& modules,
                         const std::string& strPassword) {
    if (strPath.empty())
        return FALSE;
    std::wstring wide(strPath.size() + 1, L'\0');
    const int cch = MultiByteToWideChar(CP_ACP, 0, strPath.c_str(), -1, wide.data(),
                                        static_cast<int>(wide.size()));
    wide.resize(cch > 0 ? static_cast<size_t>(cch - 1) : 0);
    // An existing file is never taken over.
    if (wide.empty() || GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES)
        return FALSE;
    sqlite3* pDb = nullptr;
    const bool bCreated =
        sqlite3_open_v2(AnsiToUtf8(strPath).c_str(), &pDb,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK &&
        sqlite3_exec(pDb, "PRAGMA user_version = 1", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(pDb);
    BOOL bOk = FALSE;
    if (bCreated) {
        CDbAccess db;
        bOk = db.Connect(BuildConnectionString(strPath, "")) && db.BeginTransaction() &&
              db.ExecuteSql(CreateSql(TableName({TableKind::kModule, 0}), TableKind::kModule)) &&
              db.ExecuteSql(KeyIndexSql({TableKind::kModule, 0}));
        for (int nModule : modules) {
            if (bOk)
                bOk = AddModuleTables(db, nModule);
        }
        if (bOk)
            bOk = db.SetPassword(strPassword) && db.CommitTransaction();
        if (!bOk)
            db.RollbackTransaction();
    }
    if (!bOk)
        DeleteFileW(wide.c_str());
    return bOk;
}

}  // namespace faultreader
