// The station without a window: the same settings, number rules, port
// choice, record and write job as the main window, for N handsets in a row,
// one line per handset and a summary on standard output.
#pragma once

#include <cstdio>

// Runs nHandsets jobs with the settings beside the program. Returns the
// process's exit status: 0 only when every handset was written.
int RunBatch(int nHandsets, std::FILE* pOut);
