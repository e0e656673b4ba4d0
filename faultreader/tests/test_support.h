// Shared by the Faultreader tests: a private directory, a database file made
// with the engine's own API, and texts in GBK.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ansi_text.h"
#include "temp_dir.h"

namespace frtest {

// The platform tests' private directory.
using ::TempDir;

// UTF-8 source text as GBK, the library's narrow text.
inline std::string G(const std::string& strUtf8) {
    return faultreader::Utf8ToAnsi(strUtf8);
}

// Runs UTF-8 SQL on the database file (created when missing); true on success.
inline bool Exec(const std::string& strPath, const std::string& strSql) {
    sqlite3* pDb = nullptr;
    bool bOk = sqlite3_open(strPath.c_str(), &pDb) == SQLITE_OK &&
               sqlite3_exec(pDb, strSql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(pDb);
    return bOk;
}

// The connection string the error database builds for a file.
inline std::string ConnectionFor(const std::string& strPath, const std::string& strPassword = "") {
    return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + G(strPath) +
           ";Persist Security Info=False;Jet OLEDB:Database Password=" + strPassword;
}

// Output of the sqlite3 shell for one statement (list mode, UTF-8).
inline std::string Shell(const std::string& strPath, const std::string& strSql) {
    std::string cmd = "sqlite3 -batch '" + strPath + "' \"" + strSql + "\" 2>&1";
    std::string out;
    if (FILE* pipe = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
            out.append(buf, n);
        pclose(pipe);
    }
    return out;
}

}  // namespace frtest
