// Test-only seam: makes a chosen platform call fail with a chosen Windows
// error, so callers' failure paths run for real. Calls are named as in the
// Windows API ("PurgeComm", "CreateFileW", "_beginthreadex", ...). Every
// platform call that can fail checks the seam on entry; unarmed, the check is
// one relaxed atomic load.
#pragma once

#include "platform/win_types.h"

namespace platform {

// Arms a fault: the call named lpszCall fails with dwError, after
// nSkip successful calls, nTimes times (-1: until cleared). Thread-safe.
PLATFORM_API void InjectFault(const char* lpszCall, DWORD dwError, int nSkip = 0, int nTimes = -1);
// Disarms every fault.
PLATFORM_API void ClearFaults();

}  // namespace platform
