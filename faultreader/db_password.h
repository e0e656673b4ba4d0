// The database password: a salted one-way hash in a system table
// ("frsys_password"), never the password itself.
//
// SQLite files have no password of their own. The original database engine
// refused to open a database with the wrong password; here Connect reads the
// stored hash and refuses a password that does not match it. This guards
// the error database against a host with the wrong settings, not against a
// reader of the file: the file's contents are not encrypted.
#pragma once

#include <string>

struct sqlite3;

namespace faultreader {

// TRUE when the database has no password, or strPassword matches its hash.
bool CheckDatabasePassword(sqlite3* pDb, const std::string& strPassword);

// Stores the hash of strPassword (an empty password removes it). FALSE when
// no hash could be made or the database refused the change.
bool StoreDatabasePassword(sqlite3* pDb, const std::string& strPassword);

}  // namespace faultreader
