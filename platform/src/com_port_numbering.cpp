// COM numbers for real serial hardware found under /sys/class/tty, kept in
// the file ".hardware-numbers" of the map directory.
//
// A COM number is a stable name for one device. Hardware without an entry is
// numbered by its identity (serial_hardware.h): the first time a device is
// seen it takes the lowest number that no entry holds and no other device was
// ever given (ttyS<k> prefers COM<k+1>), and it keeps that number, across
// unplugs and restarts, in the numbers file. A node that is present keeps
// the number it was given whatever its identity says meanwhile (the file
// binds each present node to its number). So no plug or unplug ever
// renumbers another device, and a device that returns gets its old number
// back. An explicit entry always wins: its number is never given to
// hardware, and the device it names is not listed a second time under a
// hardware number.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "com_port_map_internal.h"
#include "platform/win_error.h"
#include "serial_hardware.h"

namespace platform {

std::mutex g_numberLock;

namespace {

constexpr const char* kNumbersFile = ".hardware-numbers";
constexpr const char* kNumbersLock = ".hardware-numbers.lock";
// Lines "COM<n> present:<instance>:<tty>" bind a present node to its number.
constexpr const char* kPresencePrefix = "present:";

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

}  // namespace

std::map<std::string, DWORD> CNumberStore::s_memory;

CNumberStore::CNumberStore() {
    // Numbering is a side job of a lookup: the caller's last error stays.
    const DWORD dwKeep = GetLastError();
    Init();
    SetLastError(dwKeep);
}

void CNumberStore::Init() {
    m_dir = ComPortMapDir();
    if (!MakeDirs(m_dir) || !DirTrusted(m_dir))
        return;
    m_nLock =
        open((m_dir + "/" + kNumbersLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_nLock < 0)
        return;
    while (flock(m_nLock, LOCK_EX) != 0 && errno == EINTR) {
    }
    m_bFile = true;
    Load();
    RememberFile(m_dir, m_dir + "/" + kNumbersFile, m_numbers);
}

CNumberStore::~CNumberStore() {
    if (m_nLock >= 0)
        close(m_nLock);  // drops the flock
}

bool CNumberStore::Taken(DWORD dwPort) {
    for (const auto& [identity, n] : Numbers()) {
        if (n == dwPort)
            return true;
    }
    return false;
}

// Replaces the file atomically: a reader sees the old or the new list,
// never a torn one, even after a crash. A failed save leaves the old
// file; the numbers then hold for this process only.
void CNumberStore::Save() {
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

void CNumberStore::Load() {
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

namespace {

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

}  // namespace

void NumberHardware(CNumberStore* pStore, std::vector<SerialHardware>& unnamed,
                    const std::map<DWORD, std::string>& entries, std::vector<ComPortEntry>* pOut) {
    struct stat st;
    const bool bNothingToDo = pStore == nullptr && unnamed.empty() &&
                              stat((ComPortMapDir() + "/" + kNumbersFile).c_str(), &st) != 0 &&
                              errno == ENOENT;
    if (bNothingToDo || (pStore == nullptr && NumberFromCache(unnamed, entries, pOut)))
        return;
    std::unique_ptr<CNumberStore> pOwn;
    if (pStore == nullptr) {
        pOwn = std::make_unique<CNumberStore>();
        pStore = pOwn.get();
    }
    NumberHardwareLocked(pStore, unnamed, entries, pOut);
}

}  // namespace platform
