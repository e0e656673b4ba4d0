// CVxLog: log files, lines, hex dumps, console echo and options.
#include "vx_log.h"

#include <cassert>
#include <cstdarg>
#include <cstring>
#include <cwchar>

#include "ansi_text.h"
#include "platform/windows.h"

namespace {

// Fixed buffer widths, each including its terminator.
constexpr size_t kLineSize = 8222;        // one composed text line
constexpr size_t kFormatSize = 8192;      // formatted or converted narrow text
constexpr size_t kWideFormatSize = 4096;  // formatted wide text
constexpr size_t kDumpHeaderSize = 50;    // "<marker> <n>(0x<n>) Bytes"
constexpr size_t kDumpIndentSize = 50;    // spaces under the timestamp
constexpr size_t kDumpHexSize = 68;       // offset and hex pairs
constexpr size_t kDumpCharsSize = 32;     // character column
constexpr size_t kDumpLineSize = 180;     // one composed dump line
constexpr DWORD kMaxBytesPerLine = 16;
constexpr DWORD kDefaultFlags = 0x5002;

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kHexLower[] = "0123456789abcdef";

bool IsSeparator(WCHAR ch) {
    return ch == L'/' || ch == L'\\';
}

// Copies lpszSrc into a MAX_PATH buffer, cut at 259 characters.
void CopyPath(LPWSTR lpszDst, LPCWSTR lpszSrc) {
    size_t cch = wcsnlen(lpszSrc, MAX_PATH - 1);
    wmemcpy(lpszDst, lpszSrc, cch);
    lpszDst[cch] = L'\0';
}

// Length of the directory part of a path: everything before its last
// component, without the separator that ends it ("/a/b.log" -> 2).
size_t DirectoryLength(LPCWSTR lpszPath) {
    size_t cch = static_cast<size_t>(PathFindFileNameW(lpszPath) - lpszPath);
    if (cch > 0 && IsSeparator(lpszPath[cch - 1]))
        --cch;
    return cch;
}

// Case-insensitive comparison of an extension with an ASCII literal.
bool ExtensionEquals(LPCWSTR lpszExt, const wchar_t* lpszAscii) {
    for (; *lpszExt != L'\0' && *lpszAscii != L'\0'; ++lpszExt, ++lpszAscii) {
        WCHAR ch = *lpszExt;
        if (ch >= L'A' && ch <= L'Z')
            ch = static_cast<WCHAR>(ch - L'A' + L'a');
        if (ch != *lpszAscii)
            return false;
    }
    return *lpszExt == L'\0' && *lpszAscii == L'\0';
}

// Makes sure the directory exists, creating missing parents first. TRUE when
// it exists afterwards. Walks back to the deepest existing directory, then
// creates the levels below it in order (no recursion: a 259-character path
// could otherwise nest over a hundred stack frames of path buffers).
BOOL CreateLogDirectory(LPCWSTR lpszDir) {
    if (lpszDir == nullptr || wcsnlen(lpszDir, 2) < 2)
        return FALSE;
    WCHAR szFull[MAX_PATH];
    CopyPath(szFull, lpszDir);
    size_t cchFull = wcslen(szFull);
    if (IsSeparator(szFull[cchFull - 1]))
        szFull[--cchFull] = L'\0';

    WCHAR szPart[MAX_PATH];
    wmemcpy(szPart, szFull, cchFull + 1);
    size_t cchExisting = cchFull;
    while (!PathIsDirectoryW(szPart)) {
        size_t cut = cchExisting;
        while (cut > 0 && !IsSeparator(szPart[cut - 1]))
            --cut;
        if (cut == 0)
            return FALSE;  // no separator left: nothing to stand on
        cchExisting = cut - 1;
        szPart[cchExisting] = L'\0';
        if (cchExisting == 0)
            break;  // the root of an absolute path
    }
    for (size_t i = cchExisting + 1; i <= cchFull; ++i) {
        if (i < cchFull && !IsSeparator(szFull[i]))
            continue;
        if (IsSeparator(szFull[i - 1]))
            continue;  // doubled separator
        wmemcpy(szPart, szFull, i);
        szPart[i] = L'\0';
        // Another writer may create the same level at the same moment.
        if (!CreateDirectoryW(szPart, nullptr) && !PathIsDirectoryW(szPart))
            return FALSE;
    }
    return TRUE;
}

// Writes exactly nWidth decimal digits of dwValue (zero-padded).
char* PutDecimal(char* p, DWORD dwValue, int nWidth) {
    for (int i = nWidth - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + dwValue % 10);
        dwValue /= 10;
    }
    return p + nWidth;
}

LPCSTR DumpMarker(DWORD dwDirection) {
    switch (dwDirection) {
        case DUMP_READ:
            return "<--";
        case DUMP_WRITE:
            return "-->";
        case DUMP_AUTO_READ:
            return "<<-";
        default:
            return "---";
    }
}

}  // namespace

CVxLog::CVxLog()
    : m_hTextFile(INVALID_HANDLE_VALUE),
      m_hBinFile(INVALID_HANDLE_VALUE),
      m_dwFlags(kDefaultFlags),
      m_bTimestamp(TRUE),
      m_bAddress(TRUE),
      m_bAscii(TRUE),
      m_dwBytesPerLine(kMaxBytesPerLine),
      m_bConsole(FALSE),
      m_hConsole(INVALID_HANDLE_VALUE) {
    wmemset(m_szModuleName, L'\0', MAX_PATH);
    wmemset(m_szLogDir, L'\0', MAX_PATH);
    wmemset(m_szLogName, L'\0', MAX_PATH);
    wmemset(m_szLogPath, L'\0', MAX_PATH);
    memset(m_szTimestamp, 0, sizeof(m_szTimestamp));

    WCHAR szExe[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, szExe, MAX_PATH) == 0)
        szExe[0] = L'\0';
    CopyPath(m_szModuleName, PathFindFileNameW(szExe));
    *PathFindExtensionW(m_szModuleName) = L'\0';
    szExe[DirectoryLength(szExe)] = L'\0';
    // Design paths join with a backslash; here the native separator.
    _snwprintf_s(m_szLogDir, MAX_PATH, _TRUNCATE, L"%s/%s", szExe, L"Log");
    CopyPath(m_szLogName, m_szModuleName);
}

CVxLog::~CVxLog() {
    CVxLog::Close();
}

LPCWSTR CVxLog::BuildLogPathLocked(LPCWSTR lpszFileName, BOOL bBinary) {
    WCHAR szWork[MAX_PATH];
    CopyPath(szWork, lpszFileName != nullptr ? lpszFileName : m_szLogName);
    LPCWSTR pszFile = PathFindFileNameW(szWork);

    WCHAR szBase[MAX_PATH];
    CopyPath(szBase, pszFile);
    *PathFindExtensionW(szBase) = L'\0';

    WCHAR szExt[MAX_PATH];
    CopyPath(szExt, PathFindExtensionW(pszFile));
    if (szExt[0] != L'\0' && (m_dwFlags & LOG_TEXT) && (m_dwFlags & LOG_BINARY)) {
        // Both files from one name: the name's extension cannot serve both.
        if (bBinary || ExtensionEquals(szExt, L".bin"))
            szExt[0] = L'\0';
    }
    if (szExt[0] == L'\0')
        CopyPath(szExt, bBinary ? L".bin" : L".log");

    if (PathIsRelativeW(szWork)) {
        CreateLogDirectory(m_szLogDir);  // a failure shows in the open that follows
        SYSTEMTIME st;
        GetLocalTime(&st);
        if (m_dwFlags & LOG_NAME_TIME) {
            _snwprintf_s(m_szLogPath, MAX_PATH, _TRUNCATE, L"%s/%s_%04d_%02d_%02d_%02d_%02d_%02d%s",
                         m_szLogDir, szBase, st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                         st.wSecond, szExt);
        } else if (m_dwFlags & LOG_NAME_DATE) {
            _snwprintf_s(m_szLogPath, MAX_PATH, _TRUNCATE, L"%s/%s_%04d_%02d_%02d%s", m_szLogDir,
                         szBase, st.wYear, st.wMonth, st.wDay, szExt);
        } else {
            _snwprintf_s(m_szLogPath, MAX_PATH, _TRUNCATE, L"%s/%s%s", m_szLogDir, szBase, szExt);
        }
    } else {
        szWork[DirectoryLength(szWork)] = L'\0';
        _snwprintf_s(m_szLogPath, MAX_PATH, _TRUNCATE, L"%s/%s%s", szWork, szBase, szExt);
    }
    return m_szLogPath;
}

HANDLE CVxLog::OpenLogFileLocked(LPCWSTR lpszPath) const {
    const BOOL bAppend = (m_dwFlags & LOG_APPEND) != 0;
    HANDLE hFile =
        CreateFileW(lpszPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    bAppend ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE || !bAppend)
        return hFile;
    // A file whose end cannot be found would be overwritten from its start:
    // refuse it rather than destroy what an earlier run logged.
    LONG lHigh = 0;
    SetLastError(NO_ERROR);
    if (SetFilePointer(hFile, 0, &lHigh, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
        DWORD dwError = GetLastError();
        CloseHandle(hFile);
        SetLastError(dwError);
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}

BOOL CVxLog::Open(LPCWSTR lpszFileName, DWORD dwFlags) {
    // Through the interface, so that a class derived from this one closes
    // its own way too.
    Close();
    std::lock_guard<std::mutex> lock(m_lock);
    m_dwFlags = dwFlags;
    if ((m_dwFlags & (LOG_TEXT | LOG_BINARY)) == 0)
        m_dwFlags |= LOG_TEXT;
    if (m_dwFlags & LOG_TEXT) {
        m_hTextFile = OpenLogFileLocked(BuildLogPathLocked(lpszFileName, FALSE));
        if (m_hTextFile == INVALID_HANDLE_VALUE)
            return FALSE;
    }
    if (m_dwFlags & LOG_BINARY) {
        m_hBinFile = OpenLogFileLocked(BuildLogPathLocked(lpszFileName, TRUE));
        if (m_hBinFile == INVALID_HANDLE_VALUE)
            return FALSE;
    }
    if (m_bConsole)
        CreateConsoleLocked();
    return TRUE;
}

BOOL CVxLog::Close() {
    std::lock_guard<std::mutex> lock(m_lock);
    CloseLocked();
    return TRUE;
}

void CVxLog::CloseLocked() {
    for (HANDLE* phFile : {&m_hTextFile, &m_hBinFile}) {
        if (*phFile == INVALID_HANDLE_VALUE)
            continue;
        FlushFileBuffers(*phFile);
        CloseHandle(*phFile);
        *phFile = INVALID_HANDLE_VALUE;
    }
    ReleaseConsoleLocked();
}

void CVxLog::Release() {
    delete this;
}

BOOL CVxLog::WriteBlockLocked(HANDLE hFile, LPCVOID lpBuffer, DWORD dwSize) {
    if (hFile == INVALID_HANDLE_VALUE)
        return FALSE;
    // The size is trusted; only a missing buffer is refused.
    if (lpBuffer == nullptr && dwSize != 0)
        return FALSE;
    DWORD dwWritten = 0;
    BOOL bResult = WriteFile(hFile, lpBuffer, dwSize, &dwWritten, nullptr);
    if (m_bConsole && m_hConsole != INVALID_HANDLE_VALUE && dwWritten > 0) {
        EchoToConsoleLocked(lpBuffer, dwWritten);
    }
    // A short write lost bytes: report it, never count it as written.
    return bResult && dwWritten == dwSize;
}

void CVxLog::EchoToConsoleLocked(LPCVOID lpBuffer, DWORD dwSize) {
    assert(NULL != lpBuffer);
    if (NULL == lpBuffer)
        return;
    DWORD dwWritten = 0;
    WriteConsoleA(m_hConsole, lpBuffer, dwSize, &dwWritten, nullptr);
}

void CVxLog::MakeTimestampLocked() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    if (st.wYear > 9999) {
        _snprintf_s(m_szTimestamp, sizeof(m_szTimestamp), _TRUNCATE,
                    "[%04d-%02d-%02d %02d:%02d:%02d:%04d]", st.wYear, st.wMonth, st.wDay, st.wHour,
                    st.wMinute, st.wSecond, st.wMilliseconds);
        return;
    }
    // "[%04d-%02d-%02d %02d:%02d:%02d:%04d]" by hand: every field fits its
    // width, and this runs for every line.
    char* p = m_szTimestamp;
    *p++ = '[';
    p = PutDecimal(p, st.wYear, 4);
    *p++ = '-';
    p = PutDecimal(p, st.wMonth, 2);
    *p++ = '-';
    p = PutDecimal(p, st.wDay, 2);
    *p++ = ' ';
    p = PutDecimal(p, st.wHour, 2);
    *p++ = ':';
    p = PutDecimal(p, st.wMinute, 2);
    *p++ = ':';
    p = PutDecimal(p, st.wSecond, 2);
    *p++ = ':';
    p = PutDecimal(p, st.wMilliseconds, 4);
    *p++ = ']';
    *p = '\0';
}

BOOL CVxLog::WriteLineLocked(LPCSTR lpszString) {
    // "%s %s\r\n" of timestamp and text (or "%s\r\n"), cut at 8221 bytes: a
    // cut line loses its line end. Composed whole, then written once.
    char szLine[kLineSize];
    const size_t cbCap = kLineSize - 1;
    size_t cbLen = 0;
    auto append = [&](const char* p, size_t cb) {
        if (cb > cbCap - cbLen)
            cb = cbCap - cbLen;
        memcpy(szLine + cbLen, p, cb);
        cbLen += cb;
    };
    if (m_bTimestamp) {
        MakeTimestampLocked();
        append(m_szTimestamp, strlen(m_szTimestamp));
        append(" ", 1);
    }
    append(lpszString, strnlen(lpszString, cbCap));
    append("\r\n", 2);
    return WriteBlockLocked(m_hTextFile, szLine, static_cast<DWORD>(cbLen));
}

BOOL CVxLog::WriteRaw(LPCVOID lpBuffer, DWORD dwSize) {
    assert(NULL != lpBuffer);
    if (NULL == lpBuffer)
        return FALSE;
    std::lock_guard<std::mutex> lock(m_lock);
    return WriteBlockLocked(m_hBinFile, lpBuffer, dwSize);
}

BOOL CVxLog::WriteLineA(LPCSTR lpszString) {
    assert(NULL != lpszString);
    if (NULL == lpszString)
        return FALSE;
    std::lock_guard<std::mutex> lock(m_lock);
    return WriteLineLocked(lpszString);
}

BOOL CVxLog::WriteLineW(LPCWSTR lpszString) {
    assert(NULL != lpszString);
    if (NULL == lpszString)
        return FALSE;
    char szText[kFormatSize];
    vxlog::WideToAnsiCut(lpszString, szText, sizeof(szText));
    std::lock_guard<std::mutex> lock(m_lock);
    return WriteLineLocked(szText);
}

BOOL CVxLog::WriteFormatA(LPCSTR lpszFmt, ...) {
    assert(NULL != lpszFmt);
    if (NULL == lpszFmt)
        return FALSE;
    char szText[kFormatSize];
    szText[0] = '\0';
    va_list args;
    va_start(args, lpszFmt);
    _vsnprintf_s(szText, sizeof(szText), _TRUNCATE, lpszFmt, args);
    va_end(args);
    szText[sizeof(szText) - 1] = '\0';
    std::lock_guard<std::mutex> lock(m_lock);
    return WriteLineLocked(szText);
}

BOOL CVxLog::WriteFormatW(LPCWSTR lpszFmt, ...) {
    assert(NULL != lpszFmt);
    if (NULL == lpszFmt)
        return FALSE;
    wchar_t szWide[kWideFormatSize];
    szWide[0] = L'\0';
    va_list args;
    va_start(args, lpszFmt);
    _vsnwprintf_s(szWide, kWideFormatSize, _TRUNCATE, lpszFmt, args);
    va_end(args);
    szWide[kWideFormatSize - 1] = L'\0';
    char szText[kFormatSize];
    vxlog::WideToAnsiCut(szWide, szText, sizeof(szText));
    std::lock_guard<std::mutex> lock(m_lock);
    return WriteLineLocked(szText);
}

BOOL CVxLog::WriteDump(LPCVOID lpBuffer, DWORD dwSize, DWORD dwDirection) {
    assert(NULL != lpBuffer);
    if (NULL == lpBuffer)
        return FALSE;
    const BYTE* pbData = static_cast<const BYTE*>(lpBuffer);
    std::lock_guard<std::mutex> lock(m_lock);

    char szHeader[kDumpHeaderSize];
    _snprintf_s(szHeader, sizeof(szHeader), _TRUNCATE, "%s %d(0x%08x) Bytes",
                DumpMarker(dwDirection), static_cast<int>(dwSize), dwSize);
    if (!WriteLineLocked(szHeader))
        return FALSE;
    if (dwSize == 0)
        return TRUE;

    // Dump lines start under the header's text, after the timestamp.
    char szIndent[kDumpIndentSize];
    size_t cbIndent = 0;
    if (m_bTimestamp) {
        cbIndent = strlen(m_szTimestamp) + 1;
        if (cbIndent > sizeof(szIndent) - 1)
            cbIndent = sizeof(szIndent) - 1;
        memset(szIndent, ' ', cbIndent);
    }

    const DWORD dwPerLine = m_dwBytesPerLine;
    const DWORD dwLines = dwSize / dwPerLine + (dwSize % dwPerLine != 0 ? 1 : 0);
    for (DWORD dwLine = 0; dwLine < dwLines; ++dwLine) {
        const DWORD dwOffset = dwLine * dwPerLine;
        // The offset-and-hex column: "%08xh: " then "%02X " per byte and
        // "   " for each column after the buffer's last byte.
        char szHex[kDumpHexSize];
        size_t cbHex = 0;
        if (m_bAddress) {
            for (int i = 7; i >= 0; --i)
                szHex[cbHex++] = kHexLower[(dwOffset >> (4 * i)) & 0xF];
            memcpy(szHex + cbHex, "h: ", 3);
            cbHex += 3;
        }
        char szChars[kDumpCharsSize];
        size_t cbChars = 0;
        for (DWORD dwCol = 0; dwCol < dwPerLine; ++dwCol) {
            if (dwOffset + dwCol < dwSize) {
                BYTE b = pbData[dwOffset + dwCol];
                szHex[cbHex++] = kHexUpper[b >> 4];
                szHex[cbHex++] = kHexUpper[b & 0xF];
                szHex[cbHex++] = ' ';
                if (m_bAscii)
                    szChars[cbChars++] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
            } else {
                memcpy(szHex + cbHex, "   ", 3);
                cbHex += 3;
            }
        }

        // "%s%s; %s\r\n" (or "%s%s;\r\n" without the character column); the
        // widest line (106 bytes) is well inside the 180-byte buffer.
        char szOut[kDumpLineSize];
        size_t cbOut = 0;
        memcpy(szOut, szIndent, cbIndent);
        cbOut += cbIndent;
        memcpy(szOut + cbOut, szHex, cbHex);
        cbOut += cbHex;
        szOut[cbOut++] = ';';
        if (m_bAscii) {
            szOut[cbOut++] = ' ';
            memcpy(szOut + cbOut, szChars, cbChars);
            cbOut += cbChars;
        }
        szOut[cbOut++] = '\r';
        szOut[cbOut++] = '\n';
        if (!WriteBlockLocked(m_hTextFile, szOut, static_cast<DWORD>(cbOut)))
            return FALSE;
    }
    return TRUE;
}

void CVxLog::CreateConsoleLocked() {
    if (m_hConsole != INVALID_HANDLE_VALUE)
        return;
    // A process that has a console already keeps it (the allocation fails);
    // its output handle serves all the same.
    AllocConsole();
    HANDLE hConsole = GetStdHandle(STD_OUTPUT_HANDLE);
    if (hConsole == INVALID_HANDLE_VALUE || hConsole == nullptr)
        return;
    m_hConsole = hConsole;

    COORD size = {1000, 32766};
    SetConsoleScreenBufferSize(m_hConsole, size);
    SMALL_RECT rcWindow = {0, 0, 108, 30};
    SetConsoleWindowInfo(m_hConsole, TRUE, &rcWindow);
    SetConsoleTitleW(m_szModuleName);
    // The console's window appears a moment after the allocation.
    Sleep(50);
    HWND hWnd = GetConsoleWindow();
    if (hWnd != nullptr) {
        // Closing the console window would end the host process.
        EnableMenuItem(GetSystemMenu(hWnd, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    }
    ShowWindow(hWnd, SW_HIDE);
}

void CVxLog::ReleaseConsoleLocked() {
    if (m_hConsole == INVALID_HANDLE_VALUE)
        return;
    FreeConsole();
    m_hConsole = INVALID_HANDLE_VALUE;
}

BOOL CVxLog::SetOption(DWORD dwOption, DWORD dwParam, DWORD_PTR dwValue) {
    std::lock_guard<std::mutex> lock(m_lock);
    LPCWSTR lpszValue = reinterpret_cast<LPCWSTR>(dwValue);
    switch (dwOption) {
        case LOG_OPT_DIRECTORY: {
            if (dwParam == LOG_DIR_EXPLICIT) {
                if (lpszValue == nullptr)
                    return FALSE;
                _snwprintf_s(m_szLogDir, MAX_PATH, _TRUNCATE, L"%s", lpszValue);
                return TRUE;
            }
            WCHAR szBase[MAX_PATH] = {};
            if (dwParam == LOG_DIR_PROGRAM) {
                if (GetModuleFileNameW(nullptr, szBase, MAX_PATH) == 0)
                    return FALSE;
                szBase[DirectoryLength(szBase)] = L'\0';
            } else if (dwParam == LOG_DIR_TEMP) {
                DWORD cch = GetTempPathW(MAX_PATH, szBase);
                if (cch == 0 || cch >= MAX_PATH)
                    return FALSE;
            } else {
                return FALSE;
            }
            if (lpszValue != nullptr) {
                _snwprintf_s(m_szLogDir, MAX_PATH, _TRUNCATE, L"%s/%s/%s", szBase, L"Log",
                             lpszValue);
            } else {
                _snwprintf_s(m_szLogDir, MAX_PATH, _TRUNCATE, L"%s/%s", szBase, L"Log");
            }
            return TRUE;
        }
        case LOG_OPT_NAME:
            if (lpszValue == nullptr)
                return FALSE;
            CopyPath(m_szLogName, lpszValue);
            return TRUE;
        case LOG_OPT_BYTES_PER_LINE: {
            DWORD dwCount = static_cast<DWORD>(dwValue);
            m_dwBytesPerLine =
                (dwCount == 0 || dwCount > kMaxBytesPerLine) ? kMaxBytesPerLine : dwCount;
            return TRUE;
        }
        case LOG_OPT_TIMESTAMP:
            m_bTimestamp = dwValue != 0;
            return TRUE;
        case LOG_OPT_ADDRESS:
            m_bAddress = dwValue != 0;
            return TRUE;
        case LOG_OPT_ASCII:
            m_bAscii = dwValue != 0;
            return TRUE;
        case LOG_OPT_CONSOLE:
            switch (dwValue) {
                case LOG_CONSOLE_OFF:
                    m_bConsole = FALSE;
                    ReleaseConsoleLocked();
                    return TRUE;
                case LOG_CONSOLE_SHOW:
                case LOG_CONSOLE_HIDE:
                    m_bConsole = TRUE;
                    CreateConsoleLocked();
                    ShowWindow(GetConsoleWindow(),
                               dwValue == LOG_CONSOLE_SHOW ? SW_SHOWNORMAL : SW_HIDE);
                    return TRUE;
                default:
                    return FALSE;
            }
        default:
            return FALSE;
    }
}

BOOL CVxLog::GetOption(DWORD dwOption, DWORD /*dwParam*/, LPVOID lpResult) {
    if (lpResult == nullptr)
        return FALSE;
    std::lock_guard<std::mutex> lock(m_lock);
    DWORD dwResult = 0;
    switch (dwOption) {
        case LOG_OPT_DIRECTORY:
            memcpy(lpResult, m_szLogDir, sizeof(m_szLogDir));
            return TRUE;
        case LOG_OPT_NAME:
            memcpy(lpResult, m_szLogName, sizeof(m_szLogName));
            return TRUE;
        case LOG_OPT_BYTES_PER_LINE:
            dwResult = m_dwBytesPerLine;
            break;
        case LOG_OPT_TIMESTAMP:
            dwResult = m_bTimestamp ? 1 : 0;
            break;
        case LOG_OPT_ADDRESS:
            dwResult = m_bAddress ? 1 : 0;
            break;
        case LOG_OPT_ASCII:
            dwResult = m_bAscii ? 1 : 0;
            break;
        case LOG_OPT_CONSOLE:
            dwResult = m_bConsole ? 1 : 0;
            break;
        default:
            return FALSE;
    }
    memcpy(lpResult, &dwResult, sizeof(dwResult));
    return TRUE;
}
