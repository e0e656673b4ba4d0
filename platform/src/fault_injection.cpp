// Test-only fault seam (see fault_injection.h).
#include "platform_testing/fault_injection.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fault_hit.h"
#include "platform/win_error.h"

namespace platform {
namespace {

struct Fault {
    std::string call;
    DWORD dwError;
    int nSkip;
    int nTimes;
};

std::atomic<bool> g_bArmed{false};
std::mutex g_faultLock;
std::vector<Fault> g_faults;

}  // namespace

void InjectFault(const char* lpszCall, DWORD dwError, int nSkip, int nTimes) {
    if (lpszCall == nullptr || nTimes == 0)
        return;
    std::lock_guard<std::mutex> lock(g_faultLock);
    g_faults.push_back(Fault{lpszCall, dwError, nSkip, nTimes});
    g_bArmed.store(true, std::memory_order_release);
}

void ClearFaults() {
    std::lock_guard<std::mutex> lock(g_faultLock);
    g_faults.clear();
    g_bArmed.store(false, std::memory_order_release);
}

bool FaultHit(const char* lpszCall) {
    if (!g_bArmed.load(std::memory_order_relaxed))
        return false;
    std::lock_guard<std::mutex> lock(g_faultLock);
    for (auto it = g_faults.begin(); it != g_faults.end(); ++it) {
        if (it->call != lpszCall)
            continue;
        if (it->nSkip > 0) {
            --it->nSkip;
            return false;
        }
        DWORD dwError = it->dwError;
        if (it->nTimes > 0 && --it->nTimes == 0)
            g_faults.erase(it);
        if (g_faults.empty())
            g_bArmed.store(false, std::memory_order_release);
        SetLastError(dwError);
        return true;
    }
    return false;
}

}  // namespace platform
