// The COM port map: explicit COM<n> symlinks in the map directory, plus
// stable numbers for real serial hardware found under /sys/class/tty.
//
// A COM number is a stable name for one device. Hardware without an entry is
// numbered by its identity (serial_hardware.h): the first time a device is
// seen it takes the lowest number that no entry holds and no other device was
// ever given (ttyS<k> prefers COM<k+1>), and it keeps that number, across
// unplugs and restarts, in the file ".hardware-numbers" of the map directory.
// A node that is present keeps the number it was given whatever its identity
// says meanwhile (the file binds each present node to its number). So no
// plug or unplug ever renumbers another device, and a device that returns
// gets its old number back. An explicit entry always wins: its number is
// never given to hardware, and the device it names is not listed a second
// time under a hardware number. An entry registered by a process that is
// gone is stale and ignored (see OwnerOf).
#include "platform/com_port_map.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/fault_injection.h"
#include "platform/win_error.h"
#include "serial_hardware.h"

namespace platform {
namespace {

constexpr DWORD kMaxAutoPort = 255;  // RegisterComPort(0) searches 1..255
constexpr const char* kNumbersFile = ".hardware-numbers";
constexpr const char* kNumbersLock = ".hardware-numbers.lock";
// Lines "COM<n> present:<instance>:<tty>" bind a present node to its number.
constexpr const char* kPresencePrefix = "present:";

// "COM<n>" with n >= 1, no sign, no leading zero, fitting a DWORD.
bool ParseEntryName(const char* lpszName, DWORD* pPort) {
    if (lpszName[0] != 'C' || lpszName[1] != 'O' || lpszName[2] != 'M')
        return false;
    const char* p = lpszName + 3;
    if (*p < '1' || *p > '9')
        return false;
    uint64_t value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > 0xFFFFFFFFu)
            return false;
    }
    *pPort = static_cast<DWORD>(value);
    return true;
}

std::string EntryPath(const std::string& dir, DWORD dwPort) {
    return dir + "/COM" + std::to_string(dwPort);
}

// The fallback directory lives in the world-writable /tmp: it is only trusted
// when it is a real directory owned by us and closed to others, so another
// user cannot redirect our COM numbers to devices of their choosing.
bool DirTrusted(const std::string& dir) {
    const char* lpszEnv = getenv("COMPORT_MAP_DIR");
    if (lpszEnv != nullptr && lpszEnv[0] != '\0')
        return true;
    const char* lpszXdg = getenv("XDG_RUNTIME_DIR");
    if (lpszXdg != nullptr && lpszXdg[0] != '\0')
        return true;
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
        return true;  // absent: nothing to trust yet
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 022) == 0;
}

// Reads the target of an explicit entry. Relative targets are taken from the
// map directory. FALSE when there is no such symlink.
bool ReadEntry(const std::string& dir, DWORD dwPort, std::string* pTarget) {
    std::string path = EntryPath(dir, dwPort);
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    *pTarget = buf[0] == '/' ? std::string(buf) : dir + "/" + buf;
    return true;
}

bool DeviceExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool SameDevice(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0)
        return false;
    if (S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode))
        return sa.st_rdev == sb.st_rdev;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Whether path names device: the same string, or the same device or file.
bool NamesDevice(const std::string& path, const std::string& device) {
    return path == device || SameDevice(path, device);
}

// An entry made by RegisterComPort has an owner record ".COM<n>.owner": the
// stamp of the link it belongs to, locked (flock) by the registering
// process for as long as it lives. An entry whose record is for this very
// link and is not locked lost its owner (killed without unregistering): its
// device name may since belong to someone else, so it is stale. Entries
// made by hand have no record and are trusted as they are.
std::string OwnerPath(const std::string& dir, DWORD dwPort) {
    return dir + "/.COM" + std::to_string(dwPort) + ".owner";
}

// The link's identity: a later link of the same name gets another one.
std::string LinkStamp(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return std::string();
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec) + "\n";
}

enum class Owner { kNone, kAlive, kGone };

Owner OwnerOf(const std::string& dir, DWORD dwPort) {
    int fd = open(OwnerPath(dir, dwPort).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return Owner::kNone;
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    const std::string stamp = LinkStamp(EntryPath(dir, dwPort));
    Owner owner = Owner::kNone;
    if (n > 0 && !stamp.empty() && std::string(buf, static_cast<size_t>(n)) == stamp) {
        // Free to share means nobody holds it exclusively: the owner is gone.
        owner = flock(fd, LOCK_SH | LOCK_NB) == 0 ? Owner::kGone : Owner::kAlive;
    }
    close(fd);  // drops our shared lock, if taken
    return owner;
}

// Owner records this process holds, by path, with their locked descriptors.
std::mutex g_ownedLock;
std::map<std::string, int> g_owned;

// Records this process as the owner of the entry COM<n> it has just made.
// Without a record the entry is kept like one made by hand.
void RecordOwner(const std::string& dir, DWORD dwPort) {
    const std::string path = OwnerPath(dir, dwPort);
    const std::string temp = path + ".tmp";  // only written under the numbers lock
    const std::string stamp = LinkStamp(EntryPath(dir, dwPort));
    int fd = open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    // Locked before it is visible under its name, so no reader ever finds a
    // live owner's record unlocked.
    if (stamp.empty() || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        write(fd, stamp.data(), stamp.size()) != static_cast<ssize_t>(stamp.size()) ||
        rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        close(fd);
        return;
    }
    std::lock_guard<std::mutex> lock(g_ownedLock);
    auto it = g_owned.find(path);
    if (it != g_owned.end())
        close(it->second);
    g_owned[path] = fd;
}

// Removes the owner record of COM<n> when it is this process's own.
void DropOwnRecord(const std::string& dir, DWORD dwPort) {
    const std::string path = OwnerPath(dir, dwPort);
    std::lock_guard<std::mutex> lock(g_ownedLock);
    auto it = g_owned.find(path);
    if (it == g_owned.end())
        return;
    struct stat mine, now;
    if (fstat(it->second, &mine) == 0 && stat(path.c_str(), &now) == 0 &&
        mine.st_dev == now.st_dev && mine.st_ino == now.st_ino)
        unlink(path.c_str());
    close(it->second);
    g_owned.erase(it);
}

// Removes entry COM<n> and its owner record (under the numbers lock).
void RemoveEntry(const std::string& dir, DWORD dwPort) {
    DropOwnRecord(dir, dwPort);
    unlink(EntryPath(dir, dwPort).c_str());
    unlink(OwnerPath(dir, dwPort).c_str());
}

// Explicit entries by number; dangling ones included (they still hold their
// number), with an empty device when the target does not exist. Entries
// whose owner is gone are left out; with bRemoveStale (numbers lock held)
// they are removed.
std::map<DWORD, std::string> ExplicitEntries(const std::string& dir, bool bRemoveStale = false,
                                             bool* pStaleSeen = nullptr) {
    std::map<DWORD, std::string> entries;
    if (!DirTrusted(dir))
        return entries;
    DIR* pDir = opendir(dir.c_str());
    if (pDir == nullptr)
        return entries;
    std::vector<DWORD> stale;
    while (struct dirent* pEntry = readdir(pDir)) {
        DWORD dwPort = 0;
        if (!ParseEntryName(pEntry->d_name, &dwPort))
            continue;
        std::string target;
        if (!ReadEntry(dir, dwPort, &target))
            continue;
        if (OwnerOf(dir, dwPort) == Owner::kGone) {
            stale.push_back(dwPort);
            continue;
        }
        entries[dwPort] = DeviceExists(target) ? target : std::string();
    }
    closedir(pDir);
    if (pStaleSeen != nullptr)
        *pStaleSeen = !stale.empty();
    if (bRemoveStale) {
        for (DWORD dwPort : stale)
            RemoveEntry(dir, dwPort);
    }
    return entries;
}

// mkdir -p with private permissions for the parts we create.
bool MakeDirs(const std::string& dir) {
    if (dir.empty())
        return false;
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            SetLastErrorFromErrno(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    return true;
}

// The numbers file as last read or written by this process, so that a scan
// that finds every present device numbered already costs one stat() and no
// lock. Guarded by g_numberLock.
struct NumbersCache {
    std::string dir;
    ino_t ino = 0;
    off_t size = -1;
    struct timespec mtime = {};
    std::map<std::string, DWORD> numbers;
};
NumbersCache g_cache;

bool SameFileState(const NumbersCache& cache, const struct stat& st) {
    return cache.ino == st.st_ino && cache.size == st.st_size &&
           cache.mtime.tv_sec == st.st_mtim.tv_sec && cache.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

// Remembers numbers as the file at path holds them now.
void RememberFile(const std::string& dir, const std::string& path,
                  const std::map<std::string, DWORD>& numbers) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        g_cache = NumbersCache();
        return;
    }
    g_cache.dir = dir;
    g_cache.ino = st.st_ino;
    g_cache.size = st.st_size;
    g_cache.mtime = st.st_mtim;
    g_cache.numbers = numbers;
}

// The cached numbers when the file is unchanged since; null otherwise.
const std::map<std::string, DWORD>* CachedNumbers(const std::string& dir) {
    struct stat st;
    if (g_cache.dir != dir || stat((dir + "/" + kNumbersFile).c_str(), &st) != 0 ||
        !SameFileState(g_cache, st))
        return nullptr;
    return &g_cache.numbers;
}

// The numbers given to hardware, by identity. Loaded from and saved to the
// map directory under an flock, so processes that number devices at once
// agree; where the directory cannot be used the numbers live in this process.
class CNumberStore {
public:
    CNumberStore() {
        // Numbering is a side job of a lookup: the caller's last error stays.
        const DWORD dwKeep = GetLastError();
        Init();
        SetLastError(dwKeep);
    }
    void Init() {
        m_dir = ComPortMapDir();
        if (!MakeDirs(m_dir) || !DirTrusted(m_dir))
            return;
        m_nLock = open((m_dir + "/" + kNumbersLock).c_str(),
                       O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_nLock < 0)
            return;
        while (flock(m_nLock, LOCK_EX) != 0 && errno == EINTR) {
        }
        m_bFile = true;
        Load();
        RememberFile(m_dir, m_dir + "/" + kNumbersFile, m_numbers);
    }
    ~CNumberStore() {
        if (m_nLock >= 0)
            close(m_nLock);  // drops the flock
    }
    CNumberStore(const CNumberStore&) = delete;
    CNumberStore& operator=(const CNumberStore&) = delete;

    std::map<std::string, DWORD>& Numbers() { return m_bFile ? m_numbers : s_memory; }
    bool Taken(DWORD dwPort) {
        for (const auto& [identity, n] : Numbers()) {
            if (n == dwPort)
                return true;
        }
        return false;
    }
    const std::string& Dir() const { return m_dir; }

    // Replaces the file atomically: a reader sees the old or the new list,
    // never a torn one, even after a crash. A failed save leaves the old
    // file; the numbers then hold for this process only.
    void Save() {
        if (!m_bFile)
            return;
        std::string text;
        for (const auto& [identity, n] : m_numbers)
            text += "COM" + std::to_string(n) + " " + identity + "\n";
        const std::string path = m_dir + "/" + kNumbersFile;
        const std::string temp = path + ".tmp";  // only written under the flock
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return;
        bool bOk = true;
        size_t done = 0;
        while (bOk && done < text.size()) {
            ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            bOk = n > 0;
            if (bOk)
                done += static_cast<size_t>(n);
        }
        bOk = bOk && fsync(fd) == 0;
        bOk = close(fd) == 0 && bOk;
        if (!bOk || rename(temp.c_str(), path.c_str()) != 0) {
            unlink(temp.c_str());
            return;
        }
        int nDir = open(m_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (nDir >= 0) {
            fsync(nDir);
            close(nDir);
        }
        RememberFile(m_dir, path, m_numbers);
    }

private:
    void Load() {
        const std::string path = m_dir + "/" + kNumbersFile;
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return;
        std::string text;
        char buf[4096];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            text.append(buf, static_cast<size_t>(n));
        }
        close(fd);
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos)
                break;  // a line without its end is not trusted
            std::string line = text.substr(pos, end - pos);
            pos = end + 1;
            size_t space = line.find(' ');
            if (space == std::string::npos || space + 1 >= line.size())
                continue;
            DWORD dwPort = 0;
            if (!ParseEntryName(line.substr(0, space).c_str(), &dwPort) || dwPort > kMaxAutoPort)
                continue;
            m_numbers[line.substr(space + 1)] = dwPort;
        }
    }

    static std::map<std::string, DWORD> s_memory;  // guarded by g_numberLock
    std::string m_dir;
    int m_nLock = -1;
    bool m_bFile = false;
    std::map<std::string, DWORD> m_numbers;
};
std::map<std::string, DWORD> CNumberStore::s_memory;

// Serialises numbering within the process (the flock does it across).
std::mutex g_numberLock;

// The key under which a present node keeps the number it was given.
std::string PresenceKey(const SerialHardware& hw) {
    return kPresencePrefix + hw.instance + ":" + hw.name;
}

bool IsPresenceKey(const std::string& key) {
    return key.compare(0, std::char_traits<char>::length(kPresencePrefix), kPresencePrefix) == 0;
}

// The numbers of present hardware from the cached file, when every present
// device is there under its presence key and nothing else is: no lock.
bool NumberFromCache(const std::vector<SerialHardware>& unnamed,
                     const std::map<DWORD, std::string>& entries, std::vector<ComPortEntry>* pOut) {
    const std::map<std::string, DWORD>* pCached = CachedNumbers(ComPortMapDir());
    if (pCached == nullptr)
        return false;
    size_t nPresence = 0;
    for (const auto& [key, dwPort] : *pCached)
        nPresence += IsPresenceKey(key);
    if (nPresence != unnamed.size())
        return false;
    std::set<DWORD> held;
    std::vector<ComPortEntry> numbered;
    for (const SerialHardware& hw : unnamed) {
        auto it = pCached->find(PresenceKey(hw));
        if (it == pCached->end() || entries.count(it->second) != 0 ||
            !held.insert(it->second).second)
            return false;
        numbered.push_back({it->second, hw.device});
    }
    pOut->insert(pOut->end(), numbered.begin(), numbered.end());
    return true;
}

// Gives numbers to present hardware. A node that was numbered and is still
// there keeps its number, whatever its identity says now. A node that
// appears takes the number of its identity (for a clone sharing a serial
// number with a present device: of its identity in its port) when no present
// device holds it, else the number an earlier version gave it under one of
// udev's link names, else a number never given before.
void NumberHardwareLocked(CNumberStore* pStore, std::vector<SerialHardware>& unnamed,
                          const std::map<DWORD, std::string>& entries,
                          std::vector<ComPortEntry>* pOut) {
    std::map<std::string, DWORD>& numbers = pStore->Numbers();
    bool bChanged = false;
    std::set<std::string> present;
    for (const SerialHardware& hw : unnamed)
        present.insert(PresenceKey(hw));
    for (auto it = numbers.begin(); it != numbers.end();) {
        if (IsPresenceKey(it->first) && present.count(it->first) == 0) {
            it = numbers.erase(it);  // that node is gone
            bChanged = true;
        } else {
            ++it;
        }
    }
    std::set<DWORD> taken;  // never given to a new device
    for (const auto& [dwPort, device] : entries)
        taken.insert(dwPort);
    for (const auto& [key, dwPort] : numbers)
        taken.insert(dwPort);
    std::set<DWORD> held;  // held by a present device or an entry
    for (const auto& [dwPort, device] : entries)
        held.insert(dwPort);
    std::vector<SerialHardware*> arrived;
    for (SerialHardware& hw : unnamed) {
        auto it = numbers.find(PresenceKey(hw));
        if (it != numbers.end() && held.insert(it->second).second) {
            pOut->push_back({it->second, hw.device});
            continue;
        }
        if (it != numbers.end()) {
            numbers.erase(it);  // its number went to an entry
            bChanged = true;
        }
        arrived.push_back(&hw);
    }
    for (SerialHardware* pHw : arrived) {
        const std::string inPort = pHw->portPath.empty() ? pHw->identity + "#" + pHw->name
                                                         : pHw->identity + "@" + pHw->portPath;
        auto free = [&](const std::string& key) {
            auto it = numbers.find(key);
            return it != numbers.end() && held.count(it->second) == 0 ? it->second : 0;
        };
        DWORD dwPort = free(inPort);
        if (dwPort == 0)
            dwPort = free(pHw->identity);
        if (dwPort == 0 && numbers.count(pHw->identity) == 0) {
            // A file written by an earlier version keys devices by udev's
            // link names: the number moves to the identity, once.
            for (const std::string& legacy : LegacyNames(pHw->name)) {
                dwPort = free(legacy);
                if (dwPort != 0) {
                    numbers.erase(legacy);
                    numbers[pHw->identity] = dwPort;
                    break;
                }
            }
        }
        if (dwPort == 0) {
            if (pHw->dwPreferred != 0 && taken.count(pHw->dwPreferred) == 0) {
                dwPort = pHw->dwPreferred;
            } else {
                for (DWORD n = 1; n <= kMaxAutoPort && dwPort == 0; ++n) {
                    if (taken.count(n) == 0)
                        dwPort = n;
                }
            }
            if (dwPort == 0)
                continue;  // every number is held: the device stays unnamed
            // The identity's number belongs to a present twin (or to an
            // entry): this one is known by its port as well.
            auto it = numbers.find(pHw->identity);
            bool bTwin = it != numbers.end() && entries.count(it->second) == 0;
            numbers[bTwin ? inPort : pHw->identity] = dwPort;
            taken.insert(dwPort);
        }
        numbers[PresenceKey(*pHw)] = dwPort;
        held.insert(dwPort);
        bChanged = true;
        pOut->push_back({dwPort, pHw->device});
    }
    if (bChanged)
        pStore->Save();
}

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
    struct stat st;
    const bool bNothingToDo = pStore == nullptr && unnamed.empty() &&
                              stat((ComPortMapDir() + "/" + kNumbersFile).c_str(), &st) != 0 &&
                              errno == ENOENT;
    if (!bNothingToDo && (pStore != nullptr || !NumberFromCache(unnamed, entries, &result))) {
        if (pStore == nullptr) {
            pOwn = std::make_unique<CNumberStore>();
            pStore = pOwn.get();
        }
        NumberHardwareLocked(pStore, unnamed, entries, &result);
    }
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
        OwnerOf(dir, dwPort) != Owner::kGone) {
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
        if (OwnerOf(dir, dwHeld) == Owner::kNone) {
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
