#include "error_code_settings.h"

#include <cstring>

#include "platform/win_codepage.h"
#include "platform/win_profile.h"
#include "platform/win_system.h"

namespace faultreader {

void ReadErrorCodeSettings(std::string* pDbPath, std::string* pPassword) {
    pDbPath->clear();
    pPassword->clear();
    wchar_t szWide[MAX_PATH];
    const DWORD cch = GetModuleFileNameW(nullptr, szWide, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return;
    char szDir[MAX_PATH];
    const int cb =
        WideCharToMultiByte(CP_ACP, 0, szWide, -1, szDir, sizeof szDir, nullptr, nullptr);
    if (cb <= 0)
        return;
    // The directory: the path up to, not including, its last separator.
    char* pSlash = std::strrchr(szDir, '/');
    char* pBackslash = std::strrchr(szDir, '\\');
    if (pBackslash != nullptr && (pSlash == nullptr || pBackslash > pSlash))
        pSlash = pBackslash;
    if (pSlash == nullptr)
        return;
    *pSlash = '\0';
    const std::string strDir = szDir;
    const std::string strIni = strDir + "/ErrorCode.ini";
    if (strIni.size() >= MAX_PATH)
        return;

    char szName[100];
    char szPassword[100];
    GetPrivateProfileStringA("Database", "Name", "", szName, sizeof szName, strIni.c_str());
    GetPrivateProfileStringA("Database", "Password", "", szPassword, sizeof szPassword,
                             strIni.c_str());
    // A dash can't be written in the file's password; an underscore stands
    // for it.
    for (char* p = szPassword; *p != '\0'; ++p) {
        if (*p == '_')
            *p = '-';
    }
    *pDbPath = strDir + "/" + szName;
    *pPassword = szPassword;
}

}  // namespace faultreader
