// CFaultreader: the parser object behind IFaultreader.
#pragma once

#include <string>

#include "error_code_db.h"
#include "faultreader/faultreader.h"

namespace faultreader {

class CFaultreader : public IFaultreader {
public:
    // Reads ErrorCode.ini beside the executable; does not connect.
    CFaultreader();
    // Names the database directly (for the maintenance tool); does not
    // connect.
    CFaultreader(const std::string& strDbPath, const std::string& strPassword);
    ~CFaultreader() override;
    CFaultreader(const CFaultreader&) = delete;
    CFaultreader& operator=(const CFaultreader&) = delete;

    BOOL ConnectDatabase() override;
    void Release() override;
    BOOL GetErrorInfo(const DWORD* pdwWords, UINT nCount, std::string& strOut) override;
    BOOL GetSolutionInfo(const DWORD* pdwWords, UINT nCount, std::string& strOut) override;
    BOOL ShowTroubleshooting(const DWORD* pdwWords, UINT nCount) override;
    BOOL InsertRecord(LPCSTR lpszTable, int nKey, LPCSTR lpszText) override;
    BOOL ImportCsv(LPCSTR lpszPath) override;
    BOOL ExportCsv(LPCSTR lpszDirectory) override;
    BOOL GetTableList(const std::vector<std::string>** ppList) override;

    // Imports CSV text (newlines as "\n") into the table the table text
    // names, in one transaction: TRUE when every line was taken, else FALSE
    // with the table as it was (also for a text holding a zero byte, which
    // could not be stored whole). ImportCsv reads its file and calls this.
    BOOL ImportCsvText(LPCSTR lpszTable, const std::string& strText);

    CErrorCodeDb& Database() { return m_Db; }
    const std::string& DbPath() const { return m_strDbPath; }

private:
    CErrorCodeDb m_Db;
    std::string m_strDbPath;
    std::string m_strPassword;
};

// The fields of an error code word.
struct ErrorWord {
    int nModule;
    int nInterface;
    int nError;
    bool bContinue;
};
inline ErrorWord DecodeErrorWord(DWORD dwWord) {
    return {static_cast<int>(dwWord >> 26), static_cast<int>((dwWord >> 11) & 0x7FFFu),
            static_cast<int>(dwWord & 0x3FFu), ((dwWord >> 10) & 1u) != 0};
}

}  // namespace faultreader
