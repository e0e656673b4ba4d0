// The COM port map: explicit COM<n> symlinks in the map directory, plus
// stable numbers for real serial hardware found under /sys/class/tty.
//
// Numbering of hardware without an entry:
//   - ttyS<k> (8250/16550 UARTs) is COM<k+1>, but only when a TIOCGSERIAL
//     probe reports a UART type: the 8250 driver registers ports that do not
//     exist.
//   - Every other tty with a device/ parent (ttyUSB*, ttyACM*, ...) follows
//     the highest present ttyS number, ordered by driver name and then by
//     index (ttyACM0, ttyACM1, ttyUSB0, ttyUSB2, ...). A station that needs a
//     number that never moves gives the device an explicit entry.
// An explicit entry always wins: its number is never given to hardware, and
// the device it names is not listed a second time under a hardware number.
#include "platform/com_port_map.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "platform/fault_injection.h"
#include "platform/win_error.h"

namespace platform {
namespace {

constexpr DWORD kMaxAutoPort = 255;  // RegisterComPort(0) searches 1..255
constexpr const char* kSysTty = "/sys/class/tty";

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

// Whether an 8250-style port really has a UART behind it. A port held
// exclusively by another process (EBUSY) exists.
bool ProbeUart(const std::string& device) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY;
    struct serial_struct info = {};
    bool bPresent = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return bPresent;
}

// Splits "ttyUSB12" into ("ttyUSB", 12); names without a trailing number get
// index -1 and sort first within their prefix.
std::pair<std::string, long> SplitTtyName(const std::string& name) {
    size_t i = name.size();
    while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9')
        --i;
    if (i == name.size() || name.size() - i > 9)
        return {name, -1};
    return {name.substr(0, i), std::strtol(name.c_str() + i, nullptr, 10)};
}

// Serial hardware under /sys/class/tty with the numbers described above.
std::vector<ComPortEntry> HardwarePorts() {
    std::vector<ComPortEntry> ports;
    std::vector<std::string> others;
    DWORD dwHighestUart = 0;
    DIR* pDir = opendir(kSysTty);
    if (pDir == nullptr)
        return ports;
    while (struct dirent* pEntry = readdir(pDir)) {
        std::string name = pEntry->d_name;
        if (name == "." || name == "..")
            continue;
        // Virtual terminals, ptys and the console have no parent device.
        std::string sysPath = std::string(kSysTty) + "/" + name + "/device";
        if (access(sysPath.c_str(), F_OK) != 0)
            continue;
        std::string device = "/dev/" + name;
        if (!DeviceExists(device))
            continue;
        auto [prefix, index] = SplitTtyName(name);
        if (prefix == "ttyS" && index >= 0) {
            if (!ProbeUart(device))
                continue;
            DWORD dwPort = static_cast<DWORD>(index) + 1;
            ports.push_back({dwPort, device});
            dwHighestUart = std::max(dwHighestUart, dwPort);
        } else {
            others.push_back(name);
        }
    }
    closedir(pDir);
    std::sort(others.begin(), others.end(), [](const std::string& a, const std::string& b) {
        return SplitTtyName(a) < SplitTtyName(b);
    });
    DWORD dwNext = dwHighestUart + 1;
    for (const std::string& name : others)
        ports.push_back({dwNext++, "/dev/" + name});
    return ports;
}

// Explicit entries by number; dangling ones included (they still hold their
// number), with an empty device when the target does not exist.
std::map<DWORD, std::string> ExplicitEntries(const std::string& dir) {
    std::map<DWORD, std::string> entries;
    if (!DirTrusted(dir))
        return entries;
    DIR* pDir = opendir(dir.c_str());
    if (pDir == nullptr)
        return entries;
    while (struct dirent* pEntry = readdir(pDir)) {
        DWORD dwPort = 0;
        if (!ParseEntryName(pEntry->d_name, &dwPort))
            continue;
        std::string target;
        if (!ReadEntry(dir, dwPort, &target))
            continue;
        entries[dwPort] = DeviceExists(target) ? target : std::string();
    }
    closedir(pDir);
    return entries;
}

bool SameDevice(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0)
        return false;
    if (S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode))
        return sa.st_rdev == sb.st_rdev;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Every number that resolves, explicit entries first (they win).
std::vector<ComPortEntry> BuildMap() {
    std::map<DWORD, std::string> entries = ExplicitEntries(ComPortMapDir());
    std::vector<ComPortEntry> result;
    for (const auto& [dwPort, device] : entries) {
        if (!device.empty())
            result.push_back({dwPort, device});
    }
    for (const ComPortEntry& hw : HardwarePorts()) {
        if (entries.count(hw.dwPort) != 0)
            continue;
        bool bMapped = std::any_of(result.begin(), result.end(), [&](const ComPortEntry& e) {
            return SameDevice(e.device, hw.device);
        });
        if (!bMapped)
            result.push_back(hw);
    }
    std::sort(result.begin(), result.end(),
              [](const ComPortEntry& a, const ComPortEntry& b) { return a.dwPort < b.dwPort; });
    return result;
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
    if (DirTrusted(dir) && ReadEntry(dir, dwPort, &target)) {
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
    if (dwPort != 0) {
        if (symlink(device.c_str(), EntryPath(dir, dwPort).c_str()) != 0) {
            SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorFromErrno(errno));
            return 0;
        }
        return dwPort;
    }
    // Numbers taken by hardware are skipped; among the rest, symlink(2) is
    // the arbiter: of two processes racing for one number, one gets EEXIST
    // and moves on to the next.
    std::vector<ComPortEntry> hardware = HardwarePorts();
    for (DWORD n = 1; n <= kMaxAutoPort; ++n) {
        bool bHardware = std::any_of(hardware.begin(), hardware.end(),
                                     [n](const ComPortEntry& e) { return e.dwPort == n; });
        if (bHardware)
            continue;
        if (symlink(device.c_str(), EntryPath(dir, n).c_str()) == 0)
            return n;
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
    return TRUE;
}

std::vector<ComPortEntry> ListComPorts() {
    return BuildMap();
}

}  // namespace platform
