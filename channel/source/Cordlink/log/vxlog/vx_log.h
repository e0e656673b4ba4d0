// CVxLog: the log facility of the serial channel library. Writes timestamped
// text lines, hex dumps and a raw binary capture to dated files, optionally
// echoed to a console.
#pragma once

#include <mutex>

#include "platform/win_types.h"
#include "vx_log_interface.h"

// Every write composes its whole line in fixed buffers on the stack and hands
// it to the file in one write, under a lock held for the line (or for the
// whole dump), so lines of concurrent writers never mix. No write allocates
// heap memory. The object is not copyable: it owns file handles and a console.
class CVxLog : public IVxLog {
public:
    // Sets the initial options; the default name and directory come from the
    // executable's path. Opens nothing.
    CVxLog();
    // Closes the log and releases a console still held.
    ~CVxLog() override;

    CVxLog(const CVxLog&) = delete;
    CVxLog& operator=(const CVxLog&) = delete;

    // Closes, then opens the files selected by dwFlags (LOG_TEXT if neither
    // file bit is set). TRUE when every selected file opened; FALSE leaves a
    // text file opened before the failure open. Thread-safe.
    BOOL Open(LPCWSTR lpszFileName, DWORD dwFlags) override;
    // Flushes and closes both files and releases the console; options and
    // names are kept. Always TRUE. Thread-safe.
    BOOL Close() override;
    // Destroys the object. Not to be called while other threads use it.
    void Release() override;
    // Writes the bytes unchanged to the binary file. TRUE when all of them
    // reached it; FALSE for a NULL buffer, a closed file or a failed write.
    // Thread-safe.
    BOOL WriteRaw(LPCVOID lpBuffer, DWORD dwSize) override;
    // Writes "[timestamp] text\r\n" (or "text\r\n") to the text file, cut at
    // 8221 bytes. FALSE for NULL text, a closed file or a failed write.
    // Thread-safe.
    BOOL WriteLineA(LPCSTR lpszString) override;
    // Converts the text to the ANSI code page (cut at 8191 bytes) and writes
    // it as WriteLineA does. Thread-safe.
    BOOL WriteLineW(LPCWSTR lpszString) override;
    // Formats into 8192 bytes (cut to fit) and writes one line. FALSE for a
    // NULL format. Thread-safe.
    BOOL WriteFormatA(LPCSTR lpszFmt, ...) override;
    // Formats into 4096 wide characters (cut to fit), converts and writes one
    // line. FALSE for a NULL format. Thread-safe.
    BOOL WriteFormatW(LPCWSTR lpszFmt, ...) override;
    // Writes the header "<marker> <n>(0x<n>) Bytes" as a line and the hex
    // dump lines. FALSE for a NULL buffer or at the first failed line (the
    // lines before it stay). Thread-safe; the whole dump is one unit.
    BOOL WriteDump(LPCVOID lpBuffer, DWORD dwSize, DWORD dwDirection) override;
    // Stores an option; see LOG_OPT_*. FALSE for an unknown id, directory
    // kind or console mode, or a NULL string. Thread-safe.
    BOOL SetOption(DWORD dwOption, DWORD dwParam, DWORD_PTR dwValue) override;
    // Copies an option into lpResult (260 wide characters for ids 0 and 1, a
    // DWORD for ids 2 to 6). FALSE for a NULL result or an unknown id.
    // Thread-safe.
    BOOL GetOption(DWORD dwOption, DWORD dwParam, LPVOID lpResult) override;

private:
    // Each of these expects m_lock to be held by the caller (the Locked
    // suffix says so).
    LPCWSTR BuildLogPathLocked(LPCWSTR lpszFileName, BOOL bBinary);
    HANDLE OpenLogFileLocked(LPCWSTR lpszPath) const;
    BOOL WriteBlockLocked(HANDLE hFile, LPCVOID lpBuffer, DWORD dwSize);
    void EchoToConsoleLocked(LPCVOID lpBuffer, DWORD dwSize);
    void MakeTimestampLocked();
    BOOL WriteLineLocked(LPCSTR lpszString);
    void CreateConsoleLocked();
    void ReleaseConsoleLocked();
    void CloseLocked();

    WCHAR m_szModuleName[MAX_PATH];
    WCHAR m_szLogDir[MAX_PATH];
    WCHAR m_szLogName[MAX_PATH];
    WCHAR m_szLogPath[MAX_PATH];
    HANDLE m_hTextFile;
    HANDLE m_hBinFile;
    DWORD m_dwFlags;
    BOOL m_bTimestamp;
    BOOL m_bAddress;
    BOOL m_bAscii;
    DWORD m_dwBytesPerLine;
    char m_szTimestamp[30];
    BOOL m_bConsole;
    HANDLE m_hConsole;
    // Serialises lines, dumps, opening, closing and option changes.
    std::mutex m_lock;
};
