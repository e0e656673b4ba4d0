// The export of the error database's tables as CSV files, one per table.
#include <string>

#include "csv_format.h"
#include "error_code_db.h"
#include "platform/win_error.h"
#include "table_kind.h"
#include "text_file.h"

namespace faultreader {
namespace {

// A listed name that is not a plain word (letters, digits, "_", or any
// non-ASCII character) is quoted, so that no table name can change the
// statement it is read by.
std::string QuotedIfNeeded(const std::string& strName) {
    bool bPlain = !strName.empty();
    for (unsigned char c : strName) {
        if (!(c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
              (c >= 'a' && c <= 'z') || c == '_'))
            bPlain = false;
    }
    if (bPlain)
        return strName;
    std::string quoted = "\"";
    for (char c : strName) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

// The file is named after the table: a name that is a path of its own
// ("..", or one holding a separator) would put it outside the directory.
bool IsFileName(const std::string& strName) {
    return strName != "." && strName != ".." &&
           strName.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

}  // namespace

BOOL CErrorCodeDb::ExportAllTables(LPCSTR lpszDirectory, std::vector<ExportFailure>* pFailures) {
    const std::vector<std::string>* pTables = nullptr;
    if (!ListTables(&pTables))
        return FALSE;
    // ExportTable may list nothing else, but it replaces the result set the
    // list came from; the names are copied first.
    const std::vector<std::string> tables = *pTables;
    BOOL bAll = TRUE;
    for (const std::string& strTable : tables) {
        ExportFailure failure{strTable, ExportFailure::Step::kName, 0};
        // A name cut at a zero byte would name another file.
        if (strTable.find('\0') == std::string::npos &&
            ExportTable(strTable.c_str(), lpszDirectory, &failure))
            continue;
        bAll = FALSE;
        if (pFailures != nullptr)
            pFailures->push_back(failure);
    }
    return bAll;
}

BOOL CErrorCodeDb::ExportTable(LPCSTR lpszTable, LPCSTR lpszDirectory, ExportFailure* pFailure) {
    if (lpszTable == nullptr || lpszDirectory == nullptr)
        return FALSE;
    const std::string strTable = lpszTable;
    const auto fail = [&](ExportFailure::Step eStep, DWORD dwError) {
        if (pFailure != nullptr)
            *pFailure = {strTable, eStep, dwError};
        return FALSE;
    };
    if (!IsFileName(strTable))
        return fail(ExportFailure::Step::kName, 0);
    if (!OpenQuery(
            ReplaceAll("SELECT * FROM _TABLE_NAME_", "_TABLE_NAME_", QuotedIfNeeded(strTable))))
        return fail(ExportFailure::Step::kRead, 0);
    std::string strPath = lpszDirectory;
    if (strPath.empty() || (strPath.back() != '/' && strPath.back() != '\\'))
        strPath += '/';
    strPath += strTable + ".csv";

    std::string strKeyField, strValueField;
    ExportFields(strTable, &strKeyField, &strValueField);
    std::string strText;
    while (!AtEnd()) {
        std::string strKey, strValue;
        if (GetFieldText(strKeyField, strKey, "") && GetFieldText(strValueField, strValue, ""))
            strText += FormatCsvLine(strKey, strValue);
        NextRecord();
    }
    CloseQuery();
    // The file is replaced whole, or left as it was.
    if (!WriteTextFile(strPath, strText))
        return fail(ExportFailure::Step::kWrite, GetLastError());
    return TRUE;
}

}  // namespace faultreader
