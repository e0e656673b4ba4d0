#include "faultreader_object.h"

#include "csv_format.h"
#include "error_code_settings.h"
#include "table_kind.h"
#include "text_file.h"
#include "troubleshooting_dlg.h"

namespace faultreader {
namespace {

// The walks take at most two words.
const UINT kMaxWords = 2;

std::string Trimmed(std::string strText) {
    while (!strText.empty() && strText.back() == '\n')
        strText.pop_back();
    return strText;
}

}  // namespace

CFaultreader::CFaultreader() {
    ReadErrorCodeSettings(&m_strDbPath, &m_strPassword);
}

CFaultreader::CFaultreader(const std::string& strDbPath, const std::string& strPassword)
    : m_strDbPath(strDbPath), m_strPassword(strPassword) {}

CFaultreader::~CFaultreader() = default;

BOOL CFaultreader::ConnectDatabase() {
    return m_Db.OpenDatabase(m_strDbPath, m_strPassword);
}

void CFaultreader::Release() {
    delete this;
}

BOOL CFaultreader::GetErrorInfo(const DWORD* pdwWords, UINT nCount, std::string& strOut) {
    if (pdwWords == nullptr || nCount == 0 || nCount > kMaxWords)
        return FALSE;
    std::string strResult;
    for (UINT i = 0; i < nCount; ++i) {
        if (pdwWords[i] == 0)
            continue;
        const ErrorWord word = DecodeErrorWord(pdwWords[i]);
        if (word.nError == 0) {
            if (!word.bContinue)
                break;
            continue;
        }
        std::string strModule;
        // A module the database does not know contributes nothing, whatever
        // its flag says.
        if (!m_Db.GetModuleName(word.nModule, strModule))
            continue;
        strResult += Trimmed(strModule) + "--";
        std::string strText;
        // A blank keeps a missing part in its column when the dialog splits
        // the line.
        strResult += m_Db.GetInterfaceText(word.nModule, word.nInterface, strText)
                         ? Trimmed(strText)
                         : std::string(" ");
        strResult += "--";
        strResult += m_Db.GetErrorText(word.nModule, word.nError, strText) ? Trimmed(strText)
                                                                           : std::string(" ");
        if (i == nCount - 1 || !word.bContinue)
            break;
        strResult += ";\n";
    }
    if (strResult.empty())
        return FALSE;
    strOut = strResult;
    return TRUE;
}

BOOL CFaultreader::GetSolutionInfo(const DWORD* pdwWords, UINT nCount, std::string& strOut) {
    if (pdwWords == nullptr || nCount == 0 || nCount > kMaxWords)
        return FALSE;
    std::string strResult;
    for (UINT i = 0; i < nCount; ++i) {
        if (pdwWords[i] == 0)
            continue;
        const ErrorWord word = DecodeErrorWord(pdwWords[i]);
        if (word.nError != 0) {
            std::string strSolutions;
            if (!m_Db.GetSolutions(word.nModule, word.nError, strSolutions))
                continue;
            strResult += strSolutions;
        }
        if (!word.bContinue)
            break;
    }
    if (strResult.empty())
        return FALSE;
    strOut = strResult;
    return TRUE;
}

BOOL CFaultreader::ShowTroubleshooting(const DWORD* pdwWords, UINT nCount) {
    if (pdwWords == nullptr || nCount == 0)
        return FALSE;
    std::string strErrors, strSolutions;
    if (!GetErrorInfo(pdwWords, nCount, strErrors))
        return FALSE;
    GetSolutionInfo(pdwWords, nCount, strSolutions);
    return RunTroubleshootingDialog(strErrors, strSolutions);
}

BOOL CFaultreader::InsertRecord(LPCSTR lpszTable, int nKey, LPCSTR lpszText) {
    return m_Db.InsertRow(lpszTable, nKey, lpszText);
}

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

BOOL CFaultreader::ExportCsv(LPCSTR lpszDirectory) {
    return m_Db.ExportAllTables(lpszDirectory);
}

BOOL CFaultreader::GetTableList(const std::vector<std::string>** ppList) {
    return m_Db.ListTables(ppList);
}

}  // namespace faultreader
