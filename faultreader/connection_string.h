// The OLE DB connection string the error database is named by, for example
// "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=/opt/line/err.db;
// Persist Security Info=False;Jet OLEDB:Database Password=abc".
#pragma once

#include <string>

namespace faultreader {

struct ConnectionSettings {
    std::string strDataSource;  // the database file, ANSI code page
    std::string strPassword;    // empty when none is given
};

// Reads the "Data Source" and "Jet OLEDB:Database Password" values. Keys are
// matched without regard to case or surrounding blanks; pairs are separated
// by ";"; a value may be quoted with " or ' (a doubled quote inside stands
// for one), so that it can hold a ";". Unknown keys are ignored. FALSE when
// there is no data source.
bool ParseConnectionString(const std::string& strText, ConnectionSettings* pOut);

// The connection string of a database file and password.
std::string BuildConnectionString(const std::string& strPath, const std::string& strPassword);

// True when the password can be set on a database that hosts then open:
// the connection string carries it back unchanged (no ";", no blank or tab
// at either end, no leading quote), and it holds no "_", which the settings
// file turns into "-" before any host sees it.
bool IsUsablePassword(const std::string& strPassword);

}  // namespace faultreader
