// IVxLog: the log interface of the serial channel library.
//
// A host may hand its own implementation to the channel, so the order of the
// virtual operations below is a binary contract: never reorder, insert or
// remove one. The comments give each operation's virtual-table entry with
// this compiler's ABI (Itanium C++ ABI, g++ and clang), where the virtual
// destructor takes two entries (complete and deleting destructor). This
// header is self-contained so that it can be shipped with the library's
// public header.
#pragma once

#include "platform/win_types.h"

// Flags of Open. Bits not listed here (such as 0x1000, which the default
// flags carry) are ignored.
constexpr DWORD LOG_NAME_TIME = 0x0001;  // relative name gets date and time; wins over DATE
constexpr DWORD LOG_NAME_DATE = 0x0002;  // relative name gets the date of opening
constexpr DWORD LOG_APPEND = 0x2000;     // append to an existing file instead of truncating
constexpr DWORD LOG_TEXT = 0x4000;       // open the text log file
constexpr DWORD LOG_BINARY = 0x8000;     // open the binary log file

// Option ids of SetOption and GetOption.
constexpr DWORD LOG_OPT_DIRECTORY = 0;       // directory for relative names (wide string)
constexpr DWORD LOG_OPT_NAME = 1;            // default name for Open(NULL, ...) (wide string)
constexpr DWORD LOG_OPT_BYTES_PER_LINE = 2;  // bytes per dump line, 1 to 16
constexpr DWORD LOG_OPT_TIMESTAMP = 3;       // timestamp prefix on lines
constexpr DWORD LOG_OPT_ADDRESS = 4;         // offset column in dumps
constexpr DWORD LOG_OPT_ASCII = 5;           // character column in dumps
constexpr DWORD LOG_OPT_CONSOLE = 6;         // console echo mode

// Directory kinds: the parameter of SetOption(LOG_OPT_DIRECTORY, ...).
constexpr DWORD LOG_DIR_PROGRAM = 1;   // "<executable dir>\Log[\value]"
constexpr DWORD LOG_DIR_TEMP = 2;      // "<temporary dir>\Log[\value]"
constexpr DWORD LOG_DIR_EXPLICIT = 3;  // the value itself

// Console modes: the value of SetOption(LOG_OPT_CONSOLE, ...).
constexpr DWORD LOG_CONSOLE_OFF = 0;
constexpr DWORD LOG_CONSOLE_SHOW = 1;
constexpr DWORD LOG_CONSOLE_HIDE = 2;

// Dump directions: the third argument of WriteDump. Any other value dumps
// with the marker "---".
constexpr DWORD DUMP_READ = 0;       // "<--"
constexpr DWORD DUMP_WRITE = 1;      // "-->"
constexpr DWORD DUMP_AUTO_READ = 2;  // "<<-"

class IVxLog {
public:
    // Entries 0 and 1. Destroys the object; use Release to give up an object
    // that another module created.
    virtual ~IVxLog() {}
    // Entry 2. Closes the log, then opens the files that dwFlags select under
    // lpszFileName (NULL: the default name). TRUE when every selected file
    // opened; on FALSE a file opened before the failure stays open.
    virtual BOOL Open(LPCWSTR lpszFileName, DWORD dwFlags) = 0;
    // Entry 3. Flushes and closes the open files and releases the console;
    // options and names are kept. Always TRUE.
    virtual BOOL Close() = 0;
    // Entry 4. Destroys the object (closing it first).
    virtual void Release() = 0;
    // Entry 5. Writes dwSize bytes unchanged to the binary file. TRUE when
    // they all reached the file; FALSE when it is closed or the write failed.
    virtual BOOL WriteRaw(LPCVOID lpBuffer, DWORD dwSize) = 0;
    // Entry 6. Writes one text line (timestamp prefix, CR LF). TRUE when the
    // line reached the text file; FALSE for a NULL text or a failed write.
    virtual BOOL WriteLineA(LPCSTR lpszString) = 0;
    // Entry 7. Converts to the ANSI code page and writes one line, as
    // WriteLineA does.
    virtual BOOL WriteLineW(LPCWSTR lpszString) = 0;
    // Entry 8. Formats printf-style and writes the result as one line.
    virtual BOOL WriteFormatA(LPCSTR lpszFmt, ...) = 0;
    // Entry 9. Formats a wide printf-style format (%s takes a wide string),
    // converts it to the ANSI code page and writes it as one line.
    virtual BOOL WriteFormatW(LPCWSTR lpszFmt, ...) = 0;
    // Entry 10. Writes a header line for dwSize bytes in direction dwDirection
    // and a hex dump of the bytes. FALSE at the first line that fails.
    virtual BOOL WriteDump(LPCVOID lpBuffer, DWORD dwSize, DWORD dwDirection) = 0;
    // Entry 11. Sets option dwOption (LOG_OPT_*) from dwParam and dwValue.
    // FALSE for an unknown option or an invalid parameter or value.
    virtual BOOL SetOption(DWORD dwOption, DWORD dwParam, DWORD_PTR dwValue) = 0;
    // Entry 12. Copies option dwOption into lpResult: 260 wide characters for
    // the directory and the name, a DWORD otherwise. dwParam is unused.
    virtual BOOL GetOption(DWORD dwOption, DWORD dwParam, LPVOID lpResult) = 0;
};
