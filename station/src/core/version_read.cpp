// Version read through the platform's version-resource calls.
#include "version_read.h"

#include <cwchar>
#include <vector>

#include "platform/win_format.h"
#include "platform/win_system.h"
#include "platform/win_version.h"

ProgramVersion ParseFileVersion(const std::wstring& fileVersion) {
    ProgramVersion result;
    for (wchar_t c : fileVersion) {
        if (c == L',')
            result.version += L'.';
        else if (c != L' ')
            result.version += c;
    }
    const size_t dot = result.version.rfind(L'.');
    if (dot == std::wstring::npos)
        return result;
    const std::wstring build = result.version.substr(dot + 1);
    result.version.resize(dot);
    wchar_t szBuild[16];
    _snwprintf_s(szBuild, 16, _TRUNCATE, L"%04d",
                 static_cast<int>(std::wcstol(build.c_str(), nullptr, 10)));
    result.build = szBuild;
    return result;
}

ProgramVersion ReadProgramVersion() {
    wchar_t szExe[MAX_PATH];
    if (GetModuleFileNameW(nullptr, szExe, MAX_PATH) == 0)
        return {};
    DWORD dwHandle = 0;
    const DWORD cb = GetFileVersionInfoSizeW(szExe, &dwHandle);
    if (cb == 0)
        return {};
    std::vector<BYTE> block(cb);
    if (!GetFileVersionInfoW(szExe, dwHandle, cb, block.data()))
        return {};
    LPVOID pValue = nullptr;
    UINT uLen = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &pValue, &uLen) ||
        uLen < 2 * sizeof(WORD))
        return {};
    const WORD* pTranslation = static_cast<const WORD*>(pValue);
    wchar_t szQuery[64];
    _snwprintf_s(szQuery, 64, _TRUNCATE, L"\\StringFileInfo\\%04x%04x\\FileVersion",
                 pTranslation[0], pTranslation[1]);
    if (!VerQueryValueW(block.data(), szQuery, &pValue, &uLen))
        return {};
    return ParseFileVersion(static_cast<const wchar_t*>(pValue));
}
