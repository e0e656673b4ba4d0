// The error database: the module table and each module's interface, error
// code, solution list and solution index tables, read by key and filled
// row by row.
#pragma once

#include <string>
#include <vector>

#include "connection_string.h"
#include "db_access.h"

namespace faultreader {

// Why one table was not exported.
struct ExportFailure {
    enum class Step {
        kName,   // the table's name is no file name
        kRead,   // the table could not be read
        kWrite,  // the file could not be written (dwError says why)
    };
    std::string strTable;
    Step eStep = Step::kRead;
    DWORD dwError = 0;  // the platform's error, for kWrite
};

class CErrorCodeDb : public CDbAccess {
public:
    // Builds the connection string of the database file and password and
    // connects.
    BOOL OpenDatabase(const std::string& strPath, const std::string& strPassword);

    // Keyed reads: TRUE and strOut set when the row exists and its text is
    // readable; FALSE and strOut unchanged otherwise.
    BOOL GetModuleName(int nModule, std::string& strOut);
    BOOL GetInterfaceText(int nModule, int nInterface, std::string& strOut);
    BOOL GetErrorText(int nModule, int nError, std::string& strOut);
    BOOL GetSolutionIndexList(int nModule, int nError, std::string& strOut);
    BOOL GetSolutionText(int nModule, int nSolution, std::string& strOut);

    // The solution lines of one error: for each solution number of its list
    // that has a text, module name, "--", the text and ";\n" (unless the
    // text ends in a newline). FALSE when the module or the list is missing;
    // TRUE with an empty text when no solution has a text.
    BOOL GetSolutions(int nModule, int nError, std::string& strOut);

    // Inserts key and text into the table the table text names. The text is
    // bound as a parameter and stored exactly as given. FALSE for a null or
    // empty text, an unknown table, a key already present in a solution
    // index, interface or module table, or a database error.
    BOOL InsertRow(LPCSTR lpszTable, int nKey, LPCSTR lpszText);

    // Empties the table the table text names. FALSE for an unknown table or
    // a per-module table without a module number (or with 0).
    BOOL ClearTable(LPCSTR lpszTable);

    // Writes every listed table to "<directory>/<table>.csv" (csv_export.cpp),
    // each file replaced whole or not at all. A table that can't be written
    // fails the export, after the other tables have been written; each such
    // table is added to *pFailures when given.
    BOOL ExportAllTables(LPCSTR lpszDirectory, std::vector<ExportFailure>* pFailures = nullptr);
    BOOL ExportTable(LPCSTR lpszTable, LPCSTR lpszDirectory, ExportFailure* pFailure = nullptr);

private:
    BOOL KeyedLookup(const std::string& strTable, const std::string& strKeyField, int nKey,
                     const std::string& strValueField, std::string& strOut);
};

// Replaces every occurrence of strFrom in strText by strTo, left to right,
// without rescanning inserted text.
std::string ReplaceAll(const std::string& strText, const std::string& strFrom,
                       const std::string& strTo);

}  // namespace faultreader
