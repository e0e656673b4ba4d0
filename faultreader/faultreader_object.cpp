#include "faultreader_object.h"

#include "error_code_settings.h"
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

BOOL CFaultreader::ExportCsv(LPCSTR lpszDirectory) {
    return m_Db.ExportAllTables(lpszDirectory);
}

BOOL CFaultreader::GetTableList(const std::vector<std::string>** ppList) {
    return m_Db.ListTables(ppList);
}

}  // namespace faultreader
