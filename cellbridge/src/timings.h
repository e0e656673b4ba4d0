// The library's waits, in milliseconds. The defaults suit real handsets on a
// production line; tests shorten them through CbSetTimings.
#pragma once

#include "platform/win_types.h"

struct CbTimings {
    DWORD dwHelloReplyMs = 150;    // wait for the answer to one presence probe
    DWORD dwPollIntervalMs = 100;  // pause between presence probes
    DWORD dwModeReplyMs = 2000;    // wait for the handset to confirm the mode
    DWORD dwWriteReplyMs = 3000;   // wait for the handset to store a record
    DWORD dwReadReplyMs = 1000;    // wait for one item read
    DWORD dwEndReplyMs = 500;      // wait for the end-of-test acknowledgement
    DWORD dwUsbScanMs = 100;       // pause between looks at the COM port map
    DWORD dwUsbProbeMs = 1000;     // how long a new USB port is probed before it is dropped
    DWORD dwSliceMs = 20;          // longest single wait: bounds the reaction to a stop
    DWORD dwJoinMs = 6000;         // longest wait for the mode-entry thread to end
};

// The timings in force now (a copy). Thread-safe.
CbTimings CbGetTimings();
// Replaces the timings for every later wait. Thread-safe.
void CbSetTimings(const CbTimings& timings);
