// Making a new, empty error database file (for the maintenance tool and the
// tests): the module table and the four tables of each module asked for.
#pragma once

#include <string>
#include <vector>

#include "platform/win_types.h"

namespace faultreader {

// Creates the database file strPath (ANSI code page; it must not exist yet)
// with "模块索引表" and, for each module number, its interface, error code,
// solution list and solution index tables, and sets the password (none when
// empty). FALSE when the file exists or can't be made; nothing is left
// behind then.
BOOL CreateErrorDatabase(const std::string& strPath, const std::vector<int>& modules,
                         const std::string& strPassword);

// Adds the four tables of one module to a connected database (TRUE when
// they exist afterwards).
class CDbAccess;
BOOL AddModuleTables(CDbAccess& db, int nModule);

}  // namespace faultreader
