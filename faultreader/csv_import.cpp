// The import of a CSV file into one table of the error database: the file
// is read first, then the table is emptied and filled in one transaction.
#include <string>

#include "csv_format.h"
#include "faultreader_object.h"
#include "table_kind.h"
#include "text_file.h"

namespace faultreader {

BOOL CFaultreader::ImportCsvText(LPCSTR lpszTable, const std::string& strText) {
    if (lpszTable == nullptr)
        return FALSE;
    // Emptying and filling are one transaction: a failed line, or a
    // failure to empty, leaves the table as it was.
    if (!m_Db.BeginTransaction())
        return FALSE;
    BOOL bOk = m_Db.ClearTable(lpszTable);
    if (bOk) {
        // Each line's insert looks its key up first (for the tables with
        // unique keys); without an index every lookup reads the rows
        // inserted so far. Databases made before the tables had indexes
        // get it here, on the empty table. Without it (a table lacking the
        // key field, which no insert would fill either) the import only
        // runs slower, so its result does not count.
        m_Db.ExecuteSql(KeyIndexSql(ClassifyTable(lpszTable)));
        bOk = ParseCsvRecords(strText, [&](int nKey, const std::string& strValue) {
            // A record goes in as a C string: a text holding a zero byte
            // would be stored cut there, so its line is refused instead.
            if (strValue.find('\0') != std::string::npos)
                return false;
            return InsertRecord(lpszTable, nKey, strValue.c_str()) != FALSE;
        });
    }
    if (bOk)
        bOk = m_Db.CommitTransaction();
    if (!bOk)
        m_Db.RollbackTransaction();
    return bOk;
}

BOOL CFaultreader::ImportCsv(LPCSTR lpszPath) {
    if (lpszPath == nullptr)
        return FALSE;
    // A path that names no table is refused before the file is read.
    const TableRef ref = ClassifyTable(lpszPath);
    if (ref.eKind == TableKind::kUnknown || (ref.eKind != TableKind::kModule && ref.nModule == 0))
        return FALSE;
    // The file is read before anything is emptied.
    std::string strText;
    if (!ReadTextFile(lpszPath, &strText))
        return FALSE;
    return ImportCsvText(lpszPath, strText);
}

}  // namespace faultreader
