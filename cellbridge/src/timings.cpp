// The process-wide timings, guarded so that a test may change them while the
// library's thread reads them.
#include "timings.h"

#include <mutex>

namespace {
std::mutex g_timingsLock;
CbTimings g_timings;
}  // namespace

CbTimings CbGetTimings() {
    std::lock_guard<std::mutex> lock(g_timingsLock);
    return g_timings;
}

void CbSetTimings(const CbTimings& timings) {
    std::lock_guard<std::mutex> lock(g_timingsLock);
    g_timings = timings;
}
