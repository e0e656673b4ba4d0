// The error database's access layer: one connection to an SQLite database
// file, one forward-reading result set, SQL text in the Jet dialect, field
// values as narrow text in the ANSI code page.
//
// One object serves the thread that created it; there is no locking.
// Database errors never escape: every operation reports them as FALSE.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/win_types.h"

struct sqlite3;
struct sqlite3_stmt;

namespace faultreader {

class CDbAccess {
public:
    CDbAccess();
    virtual ~CDbAccess();
    CDbAccess(const CDbAccess&) = delete;
    CDbAccess& operator=(const CDbAccess&) = delete;

    // Opens the database file named by the connection string's "Data Source"
    // and checks its "Jet OLEDB:Database Password" (see db_password.h). An
    // open connection is closed first. FALSE for an empty text, a missing
    // file, a file that is no database, or a wrong password.
    BOOL Connect(const std::string& strConnection);
    BOOL IsConnected() const;
    void Disconnect();

    // Runs a query and stands on its first record. FALSE for an empty text,
    // no connection, or SQL the engine rejects; the previous result set is
    // closed either way once the connection is open.
    BOOL OpenQuery(const std::string& strSql);
    // The same with the texts bound, in order, to the statement's "?"
    // parameters.
    BOOL OpenQuery(const std::string& strSql, const std::vector<std::string>& params);
    BOOL IsQueryOpen() const;
    void CloseQuery();
    // TRUE past the last record, and when no result set is open.
    BOOL AtEnd() const;
    void NextRecord();

    // Runs one statement that returns no records. FALSE for an empty text,
    // no connection, a rejected statement, a statement that returns records,
    // or text holding a second statement.
    BOOL ExecuteSql(const std::string& strSql);
    BOOL ExecuteSql(const std::string& strSql, const std::vector<std::string>& params);

    // The current record's field as text, by the column's declared type:
    // integers in decimal, reals in the general format, dates with
    // strFormat (strftime codes; "%Y-%m-%d %H:%M:%S" when empty), booleans
    // "TRUE"/"FALSE", texts in the ANSI code page. FALSE and strOut
    // unchanged for NULL, an unsupported type, no such field or no record.
    BOOL GetFieldText(const std::string& strField, std::string& strOut,
                      const std::string& strFormat);

    // Lists the user tables (type "TABLE") in schema order, each name cut to
    // 29 bytes. The list stays owned by the object, valid until the next
    // ListTables or destruction. Closes the current result set.
    BOOL ListTables(const std::vector<std::string>** ppOut);

    // Transactions around a series of statements (used by the import, so
    // that a failed import leaves the tables as they were).
    BOOL BeginTransaction();
    BOOL CommitTransaction();
    void RollbackTransaction();

    // Sets (or, with an empty text, removes) the password that Connect
    // checks. Only a salted hash is stored. Needs an open connection.
    // FALSE, and the database unchanged, for a password hosts could never
    // give (see IsUsablePassword).
    BOOL SetPassword(const std::string& strPassword);

    // The engine's work so far on this object: the virtual machine steps of
    // every statement run. It grows with the rows each statement visits, so
    // a full scan and a keyed read tell apart; for measurements and tests.
    unsigned long long EngineSteps() const { return m_ullEngineSteps; }

protected:
    sqlite3* m_pConnection;
    sqlite3_stmt* m_pRecordset;
    std::string m_strScratch;
    std::vector<std::string> m_TableNames;

private:
    // Prepares (or takes from the cache) the statement and binds the texts;
    // *pKey receives its cache key.
    BOOL Prepare(const std::string& strSql, const std::vector<std::string>& params,
                 sqlite3_stmt** ppStmt, std::string* pKey);
    // Resets a statement and keeps it for the next use of the same text.
    void Recycle(const std::string& strKey, sqlite3_stmt* pStmt);

    bool m_bAtEnd;
    std::string m_strRecordsetKey;
    // Idle prepared statements by their SQL text: the lookups repeat a few
    // texts, and parsing them again each time costs more than running them.
    std::map<std::string, sqlite3_stmt*> m_Statements;
    unsigned long long m_ullEngineSteps = 0;
};

}  // namespace faultreader
