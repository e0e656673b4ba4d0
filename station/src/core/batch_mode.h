// The station without a window: the same settings, number rules, port
// choice, record and write job as the main window, for N handsets in a row,
// one line per handset and a summary on standard output.
#pragma once

#include <cstdio>

// Runs nHandsets jobs with the settings beside the program. Typed numbers
// (manual and derivation mode, a typed Bluetooth address) come from
// lpszNumbersFile, one handset per line "IMEI1,IMEI2,IMEI3,BT" ("-" is
// standard input); null when every number is generated. A line that does
// not fit, or whose numbers are refused, is a failed handset and the run
// goes on. Returns the process's exit status: 0 only when every handset was
// written, 2 when the run could not begin; the summary line is always
// printed.
int RunBatch(int nHandsets, const char* lpszNumbersFile, std::FILE* pOut);
