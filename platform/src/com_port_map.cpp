// The COM port map's public calls (platform/ext/com_port_map.h): the map is the
// explicit entries (com_port_entries.cpp) plus the numbers given to real
// serial hardware (com_port_numbering.cpp); an entry always wins.
#include "platform/ext/com_port_map.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "com_port_map_internal.h"
#include "error_from_errno.h"
#include "fault_hit.h"
#include "platform/win_error.h"

namespace platform {
namespace {

// Every number that resolves, explicit entries first (they win).
std::vector<ComPortEntry> BuildMapLocked(CNumberStore* pStore) {
    std::unique_ptr<CNumberStore> pOwn;
    bool bStale = false;
    std::map<DWORD, std::string> entries =
        ExplicitEntries(ComPortMapDir(), pStore != nullptr, &bStale);
    if (bStale && pStore == nullptr) {
        // Stale entries are removed under the numbers lock, so that a new
        // owner registering the same number meanwhile is not hit.
        pOwn = std::make_unique<CNumberStore>();
        pStore = pOwn.get();
        entries = ExplicitEntries(ComPortMapDir(), true);
    }
    std::vector<ComPortEntry> result;
    for (const auto& [dwPort, device] : entries) {
        if (!device.empty())
            result.push_back({dwPort, device});
    }
    std::vector<SerialHardware> unnamed;
    for (const SerialHardware& hw : FindSerialHardware()) {
        bool bMapped = std::any_of(result.begin(), result.end(), [&](const ComPortEntry& e) {
            return SameDevice(e.device, hw.device);
        });
        if (!bMapped)
            unnamed.push_back(hw);
    }
    NumberHardware(pStore, unnamed, entries, &result);
    std::sort(result.begin(), result.end(),
              [](const ComPortEntry& a, const ComPortEntry& b) { return a.dwPort < b.dwPort; });
    return result;
}

std::vector<ComPortEntry> BuildMap() {
    std::lock_guard<std::mutex> lock(g_numberLock);
    return BuildMapLocked(nullptr);
}

}  // namespace

std::string ComPortMapDir() {
    const char* lpszEnv = getenv("COMPORT_MAP_DIR");
    if (lpszEnv != nullptr && lpszEnv[0] != '\0')
        return lpszEnv;
    const char* lpszXdg = getenv("XDG_RUNTIME_DIR");
    if (lpszXdg != nullptr && lpszXdg[0] != '\0')
        return std::string(lpszXdg) + "/comports";
    return "/tmp/comports-" + std::to_string(getuid());
}

std::string ResolveComPort(DWORD dwPort) {
    if (dwPort == 0)
        return std::string();
    std::string dir = ComPortMapDir();
    std::string target;
    if (DirTrusted(dir) && ReadEntry(dir, dwPort, &target) &&
        OwnerOf(dir, dwPort) != EntryOwner::kGone) {
        return DeviceExists(target) ? target : std::string();
    }
    for (const ComPortEntry& entry : BuildMap()) {
        if (entry.dwPort == dwPort)
            return entry.device;
    }
    return std::string();
}

DWORD RegisterComPort(DWORD dwPort, const std::string& device) {
    if (FaultHit("RegisterComPort"))
        return 0;
    if (device.empty() || device.find('\0') != std::string::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string dir = ComPortMapDir();
    if (!MakeDirs(dir))
        return 0;
    if (!DirTrusted(dir)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    // One lock for every registration and for hardware numbering: numbers
    // given to hardware, present or not, are skipped, and stale entries are
    // cleared without racing a new owner. Among the rest, symlink(2) is the
    // arbiter against entries made by hand.
    std::lock_guard<std::mutex> lock(g_numberLock);
    CNumberStore store;
    std::map<DWORD, std::string> entries = ExplicitEntries(dir, true);
    // One device, one number. An entry registered earlier for this device is
    // replaced: a pseudo-terminal's name is handed to one owner at a time, so
    // the newcomer owns it now. One made by hand is the user's: refused.
    std::vector<DWORD> replaced;
    for (const auto& [dwHeld, held] : entries) {
        std::string target;
        if (!ReadEntry(dir, dwHeld, &target) || !NamesDevice(target, device))
            continue;
        if (OwnerOf(dir, dwHeld) == EntryOwner::kNone) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return 0;
        }
        replaced.push_back(dwHeld);
    }
    struct stat st;
    if (dwPort != 0 && lstat(EntryPath(dir, dwPort).c_str(), &st) == 0 &&
        std::find(replaced.begin(), replaced.end(), dwPort) == replaced.end()) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return 0;
    }
    for (DWORD dwHeld : replaced)
        RemoveEntry(dir, dwHeld);
    if (dwPort != 0) {
        if (symlink(device.c_str(), EntryPath(dir, dwPort).c_str()) != 0) {
            SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorFromErrno(errno));
            return 0;
        }
        RecordOwner(dir, dwPort);
        return dwPort;
    }
    BuildMapLocked(&store);
    for (DWORD n = 1; n <= kMaxAutoPort; ++n) {
        if (store.Taken(n))
            continue;
        if (symlink(device.c_str(), EntryPath(dir, n).c_str()) == 0) {
            RecordOwner(dir, n);
            return n;
        }
        if (errno != EEXIST) {
            SetLastErrorFromErrno(errno);
            return 0;
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return 0;
}

BOOL UnregisterComPort(DWORD dwPort) {
    if (FaultHit("UnregisterComPort"))
        return FALSE;
    std::string path = EntryPath(ComPortMapDir(), dwPort);
    struct stat st;
    // Only symlinks are entries; anything else in the directory is left alone.
    if (dwPort == 0 || lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (unlink(path.c_str()) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    DropOwnRecord(ComPortMapDir(), dwPort);
    return TRUE;
}

void UnregisterComPortsOf(const std::string& device) {
    std::string dir = ComPortMapDir();
    struct stat st;
    if (!DirTrusted(dir) || stat(dir.c_str(), &st) != 0)
        return;  // no map, no entries (and none is made by taking its lock)
    // Entries are found and removed under the numbers lock, which every
    // registration takes: a number found here cannot go to another device
    // before its entry is removed.
    std::lock_guard<std::mutex> lock(g_numberLock);
    CNumberStore store;
    DIR* pDir = opendir(dir.c_str());
    if (pDir == nullptr)
        return;
    std::vector<DWORD> stale;
    while (struct dirent* pEntry = readdir(pDir)) {
        DWORD dwPort = 0;
        std::string target;
        if (ParseEntryName(pEntry->d_name, &dwPort) && ReadEntry(dir, dwPort, &target) &&
            NamesDevice(target, device))
            stale.push_back(dwPort);
    }
    closedir(pDir);
    for (DWORD dwPort : stale)
        RemoveEntry(dir, dwPort);
}

std::vector<ComPortEntry> ListComPorts() {
    return BuildMap();
}

}  // namespace platform
