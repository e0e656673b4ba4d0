// The COM port map's explicit entries: symlinks COM<n> -> device in the map
// directory, made by hand or by RegisterComPort, and the owner records
// (".COM<n>.owner") that tell an entry whose registering process is gone.
// An entry registered by a process that is gone is stale and ignored (see
// OwnerOf).
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "com_port_map_internal.h"
#include "error_from_errno.h"
#include "platform/win_error.h"

namespace platform {

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

bool NamesDevice(const std::string& path, const std::string& device) {
    return path == device || SameDevice(path, device);
}

namespace {

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

// Owner records this process holds, by path, with their locked descriptors.
std::mutex g_ownedLock;
std::map<std::string, int> g_owned;

}  // namespace

EntryOwner OwnerOf(const std::string& dir, DWORD dwPort) {
    int fd = open(OwnerPath(dir, dwPort).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return EntryOwner::kNone;
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    const std::string stamp = LinkStamp(EntryPath(dir, dwPort));
    EntryOwner owner = EntryOwner::kNone;
    if (n > 0 && !stamp.empty() && std::string(buf, static_cast<size_t>(n)) == stamp) {
        // Free to share means nobody holds it exclusively: the owner is gone.
        owner = flock(fd, LOCK_SH | LOCK_NB) == 0 ? EntryOwner::kGone : EntryOwner::kAlive;
    }
    close(fd);  // drops our shared lock, if taken
    return owner;
}

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

void RemoveEntry(const std::string& dir, DWORD dwPort) {
    DropOwnRecord(dir, dwPort);
    unlink(EntryPath(dir, dwPort).c_str());
    unlink(OwnerPath(dir, dwPort).c_str());
}

std::map<DWORD, std::string> ExplicitEntries(const std::string& dir, bool bRemoveStale,
                                             bool* pStaleSeen) {
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
        if (OwnerOf(dir, dwPort) == EntryOwner::kGone) {
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

}  // namespace platform
