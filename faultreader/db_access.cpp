#include "db_access.h"

#include <sqlite3.h>

#include <cstring>

#include "ansi_text.h"
#include "connection_string.h"
#include "db_password.h"
#include "field_text.h"

namespace faultreader {
namespace {

// The engine waits this long for a lock held by another connection, as the
// connection time-out of the original provider.
const int kBusyTimeoutMs = 10000;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool MatchWord(const std::string& s, size_t pos, const char* lpszWord) {
    const size_t n = std::strlen(lpszWord);
    if (pos + n > s.size())
        return false;
    for (size_t i = 0; i < n; ++i) {
        char c = s[pos + i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != lpszWord[i])
            return false;
    }
    return true;
}

// The Jet dialect writes "DELETE * FROM t"; SQLite knows "DELETE FROM t".
std::string FromJetDialect(const std::string& strSql) {
    size_t p = 0;
    while (p < strSql.size() && IsBlank(strSql[p]))
        ++p;
    if (!MatchWord(strSql, p, "DELETE"))
        return strSql;
    size_t q = p + 6;
    if (q >= strSql.size() || !IsBlank(strSql[q]))
        return strSql;
    while (q < strSql.size() && IsBlank(strSql[q]))
        ++q;
    if (q >= strSql.size() || strSql[q] != '*')
        return strSql;
    size_t r = q + 1;
    while (r < strSql.size() && IsBlank(strSql[r]))
        ++r;
    if (!MatchWord(strSql, r, "FROM"))
        return strSql;
    return strSql.substr(0, p + 6) + " " + strSql.substr(r);
}

// Only blanks and statement ends may follow the one statement prepared;
// anything else would be a second statement, which the layer never runs.
bool OnlyBlanks(const char* lpszTail) {
    for (; lpszTail != nullptr && *lpszTail != '\0'; ++lpszTail) {
        if (!IsBlank(*lpszTail) && *lpszTail != ';')
            return false;
    }
    return true;
}

// The schema rowset of the original provider: every table and view with its
// type. The engine's own tables and the layer's password table are system
// tables. Ordered as created.
const char kSchemaTablesSql[] =
    "SELECT name AS TABLE_NAME, CASE WHEN type = 'view' THEN 'VIEW' "
    "WHEN name LIKE 'sqlite\\_%' ESCAPE '\\' OR name LIKE 'frsys\\_%' ESCAPE '\\' "
    "THEN 'SYSTEM TABLE' ELSE 'TABLE' END AS TABLE_TYPE "
    "FROM sqlite_schema WHERE type IN ('table', 'view') ORDER BY rowid";

// A listed table name holds at most this many bytes.
const size_t kTableNameBytes = 29;

// Idle statements kept per connection.
const size_t kMaxCachedStatements = 64;

}  // namespace

CDbAccess::CDbAccess() : m_pConnection(nullptr), m_pRecordset(nullptr), m_bAtEnd(true) {}

CDbAccess::~CDbAccess() {
    CloseQuery();
    Disconnect();
}

BOOL CDbAccess::Connect(const std::string& strConnection) {
    if (strConnection.empty())
        return FALSE;
    Disconnect();
    ConnectionSettings settings;
    if (!ParseConnectionString(strConnection, &settings))
        return FALSE;
    std::string strPath = AnsiToUtf8(settings.strDataSource);
    for (char& c : strPath) {
        if (c == '\\')
            c = '/';
    }
    sqlite3* pDb = nullptr;
    // Never creates a file: a database that is not there is an error.
    if (sqlite3_open_v2(strPath.c_str(), &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        sqlite3_close(pDb);
        return FALSE;
    }
    sqlite3_busy_timeout(pDb, kBusyTimeoutMs);
    sqlite3_extended_result_codes(pDb, 1);
    // Opening is lazy; reading the schema proves the file is a database.
    if (sqlite3_exec(pDb, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) !=
            SQLITE_OK ||
        !CheckDatabasePassword(pDb, settings.strPassword)) {
        sqlite3_close(pDb);
        return FALSE;
    }
    m_pConnection = pDb;
    return TRUE;
}

BOOL CDbAccess::IsConnected() const {
    return m_pConnection != nullptr ? TRUE : FALSE;
}

void CDbAccess::Disconnect() {
    if (m_pConnection == nullptr)
        return;
    CloseQuery();
    for (auto& entry : m_Statements)
        sqlite3_finalize(entry.second);
    m_Statements.clear();
    sqlite3_close(m_pConnection);
    m_pConnection = nullptr;
}

BOOL CDbAccess::Prepare(const std::string& strSql, const std::vector<std::string>& params,
                        sqlite3_stmt** ppStmt, std::string* pKey) {
    const std::string strUtf8 = FromJetDialect(AnsiToUtf8(strSql));
    sqlite3_stmt* pStmt = nullptr;
    auto cached = m_Statements.find(strUtf8);
    if (cached != m_Statements.end()) {
        pStmt = cached->second;
        m_Statements.erase(cached);
    } else {
        const char* lpszTail = nullptr;
        if (sqlite3_prepare_v3(m_pConnection, strUtf8.c_str(), static_cast<int>(strUtf8.size()),
                               SQLITE_PREPARE_PERSISTENT, &pStmt, &lpszTail) != SQLITE_OK ||
            pStmt == nullptr) {
            sqlite3_finalize(pStmt);
            return FALSE;
        }
        if (!OnlyBlanks(lpszTail)) {
            sqlite3_finalize(pStmt);
            return FALSE;
        }
    }
    if (sqlite3_bind_parameter_count(pStmt) != static_cast<int>(params.size())) {
        Recycle(strUtf8, pStmt);
        return FALSE;
    }
    for (size_t i = 0; i < params.size(); ++i) {
        const std::string value = AnsiToUtf8(params[i]);
        if (sqlite3_bind_text(pStmt, static_cast<int>(i + 1), value.data(),
                              static_cast<int>(value.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
            Recycle(strUtf8, pStmt);
            return FALSE;
        }
    }
    *ppStmt = pStmt;
    *pKey = strUtf8;
    return TRUE;
}

void CDbAccess::Recycle(const std::string& strKey, sqlite3_stmt* pStmt) {
    // Every statement passes here after its run: its steps are counted, and
    // the count starts again for its next use.
    m_ullEngineSteps +=
        static_cast<unsigned>(sqlite3_stmt_status(pStmt, SQLITE_STMTSTATUS_VM_STEP, 1));
    sqlite3_reset(pStmt);
    sqlite3_clear_bindings(pStmt);
    if (m_Statements.size() < kMaxCachedStatements && m_Statements.count(strKey) == 0)
        m_Statements.emplace(strKey, pStmt);
    else
        sqlite3_finalize(pStmt);
}

BOOL CDbAccess::OpenQuery(const std::string& strSql) {
    return OpenQuery(strSql, {});
}

BOOL CDbAccess::OpenQuery(const std::string& strSql, const std::vector<std::string>& params) {
    if (strSql.empty() || m_pConnection == nullptr)
        return FALSE;
    CloseQuery();
    sqlite3_stmt* pStmt = nullptr;
    std::string strKey;
    if (!Prepare(strSql, params, &pStmt, &strKey))
        return FALSE;
    const int rc = sqlite3_step(pStmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        Recycle(strKey, pStmt);
        return FALSE;
    }
    m_pRecordset = pStmt;
    m_strRecordsetKey = strKey;
    m_bAtEnd = rc == SQLITE_DONE;
    return TRUE;
}

BOOL CDbAccess::IsQueryOpen() const {
    return m_pRecordset != nullptr && m_pConnection != nullptr ? TRUE : FALSE;
}

void CDbAccess::CloseQuery() {
    if (m_pRecordset != nullptr)
        Recycle(m_strRecordsetKey, m_pRecordset);
    m_pRecordset = nullptr;
    m_bAtEnd = true;
}

BOOL CDbAccess::AtEnd() const {
    return m_pRecordset == nullptr || m_bAtEnd ? TRUE : FALSE;
}

void CDbAccess::NextRecord() {
    if (m_pRecordset == nullptr || m_bAtEnd)
        return;
    // A failed step ends the walk, as the end of the records would.
    m_bAtEnd = sqlite3_step(m_pRecordset) != SQLITE_ROW;
}

BOOL CDbAccess::ExecuteSql(const std::string& strSql) {
    return ExecuteSql(strSql, {});
}

BOOL CDbAccess::ExecuteSql(const std::string& strSql, const std::vector<std::string>& params) {
    if (strSql.empty() || m_pConnection == nullptr)
        return FALSE;
    sqlite3_stmt* pStmt = nullptr;
    std::string strKey;
    if (!Prepare(strSql, params, &pStmt, &strKey))
        return FALSE;
    // A statement that returns records is not one to execute; it is not
    // stepped, so it changes nothing.
    if (sqlite3_column_count(pStmt) != 0) {
        Recycle(strKey, pStmt);
        return FALSE;
    }
    const int rc = sqlite3_step(pStmt);
    Recycle(strKey, pStmt);
    return rc == SQLITE_DONE ? TRUE : FALSE;
}

BOOL CDbAccess::GetFieldText(const std::string& strField, std::string& strOut,
                             const std::string& strFormat) {
    if (m_pRecordset == nullptr || m_bAtEnd)
        return FALSE;
    const std::string strName = AnsiToUtf8(strField);
    const int nColumns = sqlite3_column_count(m_pRecordset);
    int iColumn = -1;
    for (int i = 0; i < nColumns; ++i) {
        const char* lpszName = sqlite3_column_name(m_pRecordset, i);
        if (lpszName != nullptr && sqlite3_stricmp(lpszName, strName.c_str()) == 0) {
            iColumn = i;
            break;
        }
    }
    if (iColumn < 0)
        return FALSE;
    const int nStorage = sqlite3_column_type(m_pRecordset, iColumn);
    if (nStorage == SQLITE_NULL)
        return FALSE;
    FieldKind kind = KindOfDeclaredType(sqlite3_column_decltype(m_pRecordset, iColumn));
    if (kind == FieldKind::kNone) {
        kind = nStorage == SQLITE_INTEGER ? FieldKind::kInt32
               : nStorage == SQLITE_FLOAT ? FieldKind::kReal8
               : nStorage == SQLITE_TEXT  ? FieldKind::kText
                                          : FieldKind::kOther;
    }
    const bool bNumber = nStorage == SQLITE_INTEGER || nStorage == SQLITE_FLOAT;
    m_strScratch.clear();
    switch (kind) {
        case FieldKind::kByte:
        case FieldKind::kInt16:
        case FieldKind::kInt32: {
            if (nStorage != SQLITE_INTEGER)
                return FALSE;
            const sqlite3_int64 llValue = sqlite3_column_int64(m_pRecordset, iColumn);
            // A value beyond 32 bits would be a 64-bit integer, which the layer
            // does not turn into text.
            if (llValue < INT32_MIN || llValue > INT32_MAX)
                return FALSE;
            m_strScratch = std::to_string(llValue);
            break;
        }
        case FieldKind::kReal4:
            if (!bNumber)
                return FALSE;
            m_strScratch = FormatGeneral(static_cast<double>(static_cast<float>(
                                             sqlite3_column_double(m_pRecordset, iColumn))),
                                         10);
            break;
        case FieldKind::kReal8:
        case FieldKind::kDecimal:
            if (!bNumber)
                return FALSE;
            m_strScratch = FormatGeneral(sqlite3_column_double(m_pRecordset, iColumn), 20);
            break;
        case FieldKind::kDate: {
            bool bOk = false;
            if (nStorage == SQLITE_TEXT) {
                const char* lpsz =
                    reinterpret_cast<const char*>(sqlite3_column_text(m_pRecordset, iColumn));
                bOk = FormatDateText(lpsz != nullptr ? lpsz : "", strFormat, &m_strScratch);
            } else if (nStorage == SQLITE_FLOAT) {
                bOk = FormatDateJulian(sqlite3_column_double(m_pRecordset, iColumn), strFormat,
                                       &m_strScratch);
            } else if (nStorage == SQLITE_INTEGER) {
                bOk = FormatDateUnix(sqlite3_column_int64(m_pRecordset, iColumn), strFormat,
                                     &m_strScratch);
            }
            if (!bOk)
                return FALSE;
            break;
        }
        case FieldKind::kBoolean:
            if (!bNumber)
                return FALSE;
            m_strScratch = sqlite3_column_double(m_pRecordset, iColumn) != 0.0 ? "TRUE" : "FALSE";
            break;
        case FieldKind::kText: {
            if (nStorage == SQLITE_BLOB)
                return FALSE;
            const char* lpsz =
                reinterpret_cast<const char*>(sqlite3_column_text(m_pRecordset, iColumn));
            const int cb = sqlite3_column_bytes(m_pRecordset, iColumn);
            m_strScratch = Utf8ToAnsi(std::string(lpsz != nullptr ? lpsz : "", lpsz ? cb : 0));
            break;
        }
        default:
            return FALSE;
    }
    strOut = m_strScratch;
    return TRUE;
}

BOOL CDbAccess::ListTables(const std::vector<std::string>** ppOut) {
    if (ppOut == nullptr)
        return FALSE;
    m_TableNames.clear();
    CloseQuery();
    if (!OpenQuery(kSchemaTablesSql))
        return FALSE;
    while (!AtEnd()) {
        std::string strType, strName;
        if (GetFieldText("TABLE_TYPE", strType, "") && strType == "TABLE" &&
            GetFieldText("TABLE_NAME", strName, ""))
            m_TableNames.push_back(AnsiPrefix(strName, kTableNameBytes));
        NextRecord();
    }
    CloseQuery();
    *ppOut = &m_TableNames;
    return TRUE;
}

BOOL CDbAccess::BeginTransaction() {
    return ExecuteSql("BEGIN IMMEDIATE");
}

BOOL CDbAccess::CommitTransaction() {
    return ExecuteSql("COMMIT");
}

void CDbAccess::RollbackTransaction() {
    if (m_pConnection != nullptr && !sqlite3_get_autocommit(m_pConnection))
        sqlite3_exec(m_pConnection, "ROLLBACK", nullptr, nullptr, nullptr);
}

BOOL CDbAccess::SetPassword(const std::string& strPassword) {
    // A password that no connection string can give back would lock the
    // database for good.
    if (m_pConnection == nullptr || !IsUsablePassword(strPassword))
        return FALSE;
    return StoreDatabasePassword(m_pConnection, strPassword) ? TRUE : FALSE;
}

}  // namespace faultreader
