// CFnLog: a scope that traces entry to and exit from a function through an
// IVxLog: "Enter [name]" when constructed, "Leave [name]" when destroyed.
#pragma once

#include "platform/win_types.h"
#include "vx_log_interface.h"

// The scope neither opens, closes nor releases the log; the log must outlive
// it. Not copyable: a copy would write a second "Leave" line.
class CFnLog {
public:
    // Writes "Enter [name]" (or "Enter [name] text" with the format's text,
    // cut to 1023 bytes) to pLog; the name is kept cut to 259 bytes. A NULL
    // log, or a NULL name, makes a scope that writes nothing. Thread-safe as
    // far as the log is.
    CFnLog(IVxLog* pLog, LPCSTR lpszFnName, LPCSTR lpszFmt = NULL, ...);
    // The same with a wide name and a wide format (%s takes a wide string),
    // both converted to the ANSI code page.
    CFnLog(IVxLog* pLog, LPCWSTR lpszFnName, LPCWSTR lpszFmt = NULL, ...);
    // Writes "Leave [name]" when the scope has a log.
    virtual ~CFnLog();

    CFnLog(const CFnLog&) = delete;
    CFnLog& operator=(const CFnLog&) = delete;

private:
    IVxLog* m_pLog;
    char m_szFnName[MAX_PATH];
};
