// CFnLog: Enter and Leave lines of a traced function.
#include "fn_log.h"

#include <cassert>
#include <cstdarg>
#include <cstring>

#include "ansi_text.h"
#include "platform/windows.h"

namespace {
constexpr size_t kTextSize = 1024;       // formatted narrow text, or wide characters
constexpr size_t kConvertedSize = 2048;  // wide text converted to the ANSI code page
}  // namespace

CFnLog::CFnLog(IVxLog* pLog, LPCSTR lpszFnName, LPCSTR lpszFmt, ...) : m_pLog(pLog) {
    m_szFnName[0] = '\0';
    if (m_pLog == nullptr)
        return;
    assert(NULL != lpszFnName);
    if (NULL == lpszFnName) {
        // No name to pair Enter and Leave by: trace nothing.
        m_pLog = nullptr;
        return;
    }
    _snprintf_s(m_szFnName, sizeof(m_szFnName), _TRUNCATE, "%s", lpszFnName);
    if (lpszFmt == nullptr) {
        m_pLog->WriteFormatA("Enter [%s]", m_szFnName);
        return;
    }
    char szText[kTextSize];
    szText[0] = '\0';
    va_list args;
    va_start(args, lpszFmt);
    _vsnprintf_s(szText, sizeof(szText), _TRUNCATE, lpszFmt, args);
    va_end(args);
    szText[sizeof(szText) - 1] = '\0';
    m_pLog->WriteFormatA("Enter [%s] %s", m_szFnName, szText);
}

CFnLog::CFnLog(IVxLog* pLog, LPCWSTR lpszFnName, LPCWSTR lpszFmt, ...) : m_pLog(pLog) {
    m_szFnName[0] = '\0';
    if (m_pLog == nullptr)
        return;
    assert(NULL != lpszFnName);
    if (NULL == lpszFnName) {
        m_pLog = nullptr;
        return;
    }
    vxlog::WideToAnsiCut(lpszFnName, m_szFnName, sizeof(m_szFnName));
    if (lpszFmt == nullptr) {
        m_pLog->WriteFormatA("Enter [%s]", m_szFnName);
        return;
    }
    wchar_t szWide[kTextSize];
    szWide[0] = L'\0';
    va_list args;
    va_start(args, lpszFmt);
    _vsnwprintf_s(szWide, kTextSize, _TRUNCATE, lpszFmt, args);
    va_end(args);
    szWide[kTextSize - 1] = L'\0';
    char szText[kConvertedSize];
    vxlog::WideToAnsiCut(szWide, szText, sizeof(szText));
    m_pLog->WriteFormatA("Enter [%s] %s", m_szFnName, szText);
}

CFnLog::~CFnLog() {
    if (m_pLog == nullptr)
        return;
    m_pLog->WriteFormatA("Leave [%s]", m_szFnName);
    m_pLog = nullptr;
}
