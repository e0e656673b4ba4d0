// Serial hardware discovery from sysfs (see serial_hardware.h).
#include "serial_hardware.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <utility>

#include "platform/ext/com_port_map.h"
#include "platform_testing/serial_hardware_roots.h"

namespace platform {
namespace {

std::mutex g_rootLock;
std::string g_sysRoot;  // empty: the real one
std::string g_devRoot;

std::mutex g_probeLock;
// Probe results of ttyS ports without a sysfs type, by name and device number.
std::map<std::pair<std::string, dev_t>, bool> g_probed;

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* pDir = opendir(dir.c_str());
    if (pDir == nullptr)
        return names;
    while (struct dirent* pEntry = readdir(pDir)) {
        std::string name = pEntry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(pDir);
    std::sort(names.begin(), names.end());
    return names;
}

// The first line of a small sysfs attribute; FALSE when it cannot be read.
bool ReadAttribute(const std::string& path, std::string* pValue) {
    std::ifstream in(path);
    if (!in.is_open())
        return false;
    std::getline(in, *pValue);
    return !in.bad();
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

// Whether an 8250-style port without a sysfs type has a UART behind it. A
// port held exclusively by another process (EBUSY) exists. Only reached on
// kernels that do not publish the type; the answer is kept per device.
bool ProbeUart(const std::string& name, const std::string& device) {
    struct stat st;
    if (stat(device.c_str(), &st) != 0)
        return false;
    std::lock_guard<std::mutex> lock(g_probeLock);
    auto key = std::make_pair(name, st.st_rdev);
    auto it = g_probed.find(key);
    if (it != g_probed.end())
        return it->second;
    bool bPresent = false;
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        bPresent = errno == EBUSY;
    } else {
        struct serial_struct info = {};
        bPresent = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
        close(fd);
    }
    g_probed[key] = bPresent;
    return bPresent;
}

// A ttyS port is real when the serial core reports a port type other than
// PORT_UNKNOWN (0).
bool UartPresent(const std::string& sysDir, const std::string& name, const std::string& device) {
    std::string type;
    if (ReadAttribute(sysDir + "/type", &type) && !type.empty()) {
        char* pEnd = nullptr;
        long value = std::strtol(type.c_str(), &pEnd, 10);
        if (pEnd != type.c_str())
            return value != 0;
    }
    return ProbeUart(name, device);
}

// The boot this process runs in: sysfs inode numbers are unique within one.
const std::string& BootId() {
    static const std::string id = [] {
        std::string value;
        ReadAttribute("/proc/sys/kernel/random/boot_id", &value);
        return value;
    }();
    return id;
}

// What sysfs says about the device of tty name: identity, port path and
// instance (see serial_hardware.h). FALSE when the device is not there.
bool Describe(const std::string& sysRoot, const std::string& name, SerialHardware* pHw) {
    const std::string sysDir = sysRoot + "/" + name;
    struct stat st;
    if (stat(sysDir.c_str(), &st) != 0)
        return false;
    pHw->instance = BootId() + ":" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    char* pReal = realpath((sysDir + "/device").c_str(), nullptr);
    if (pReal == nullptr)
        return false;
    std::string path = pReal;
    free(pReal);
    // A usb-serial port is a device of its own, named like its tty, below
    // the interface; its place there is its port number.
    std::string port;
    if (BaseName(path) == name) {
        ReadAttribute(path + "/port_number", &port);
        path = path.substr(0, path.find_last_of('/'));
    }
    // The device path relative to the devices root of this sysfs
    // ("<sysfs>/class/tty" -> "<sysfs>/devices/").
    std::string devicesRoot = sysRoot;
    for (int i = 0; i < 2 && devicesRoot.find('/') != std::string::npos; ++i)
        devicesRoot = devicesRoot.substr(0, devicesRoot.find_last_of('/'));
    devicesRoot += "/devices/";
    std::string portPath = path.compare(0, devicesRoot.size(), devicesRoot) == 0
                               ? path.substr(devicesRoot.size())
                               : path;
    if (!port.empty())
        portPath += "/port" + port;
    // ttyACM: the interface is the device; ttyUSB: its parent. The USB device
    // (idVendor, idProduct) is the interface's parent.
    std::string interface;
    for (int nUp = 0; nUp < 2 && path.size() > 1; ++nUp) {
        std::string vendor, product, serial;
        if (ReadAttribute(path + "/idVendor", &vendor) &&
            ReadAttribute(path + "/idProduct", &product)) {
            pHw->portPath = "path:" + portPath;
            if (!ReadAttribute(path + "/serial", &serial) || serial.empty()) {
                pHw->identity = pHw->portPath;
                pHw->portPath.clear();
            } else {
                pHw->identity = "usb:" + vendor + ":" + product + ":" + serial + ":" + interface;
                if (!port.empty() && port != "0")
                    pHw->identity += ":" + port;
            }
            return true;
        }
        std::string base = BaseName(path);
        size_t colon = base.find(':');
        if (colon != std::string::npos)
            interface = base.substr(colon + 1);
        path = path.substr(0, path.find_last_of('/'));
    }
    pHw->identity = "node:" + name;
    pHw->portPath.clear();
    return true;
}

}  // namespace

std::string SysClassTtyRoot() {
    std::lock_guard<std::mutex> lock(g_rootLock);
    return g_sysRoot.empty() ? std::string("/sys/class/tty") : g_sysRoot;
}

std::string DevRoot() {
    std::lock_guard<std::mutex> lock(g_rootLock);
    return g_devRoot.empty() ? std::string("/dev") : g_devRoot;
}

void SetSerialHardwareRoots(const std::string& sysClassTty, const std::string& dev) {
    std::lock_guard<std::mutex> lock(g_rootLock);
    g_sysRoot = sysClassTty;
    g_devRoot = dev;
}

std::vector<std::string> LegacyNames(const std::string& name) {
    std::vector<std::string> names;
    for (const char* pszKind : {"by-id", "by-path"}) {
        const std::string dir = DevRoot() + "/serial/" + pszKind;
        for (const std::string& link : ListDir(dir)) {
            char buf[4096];
            ssize_t n = readlink((dir + "/" + link).c_str(), buf, sizeof buf - 1);
            if (n <= 0)
                continue;
            buf[n] = '\0';
            if (BaseName(buf) == name)
                names.push_back(std::string(pszKind) + ":" + link);
        }
    }
    return names;
}

std::vector<SerialHardware> FindSerialHardware() {
    const std::string sysRoot = SysClassTtyRoot();
    const std::string devRoot = DevRoot();
    std::vector<SerialHardware> found;
    for (const std::string& name : ListDir(sysRoot)) {
        // Virtual terminals, ptys and the console have no parent device.
        const std::string sysDir = sysRoot + "/" + name;
        if (access((sysDir + "/device").c_str(), F_OK) != 0)
            continue;
        const std::string device = devRoot + "/" + name;
        struct stat st;
        if (stat(device.c_str(), &st) != 0)
            continue;
        auto [prefix, index] = SplitTtyName(name);
        DWORD dwPreferred = 0;
        if (prefix == "ttyS" && index >= 0) {
            if (!UartPresent(sysDir, name, device))
                continue;
            if (index < 255)
                dwPreferred = static_cast<DWORD>(index) + 1;
        }
        SerialHardware hw{name, device, "", "", "", dwPreferred};
        if (Describe(sysRoot, name, &hw))
            found.push_back(hw);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const SerialHardware& a, const SerialHardware& b) {
                         auto sa = SplitTtyName(a.name), sb = SplitTtyName(b.name);
                         bool bUartA = sa.first == "ttyS", bUartB = sb.first == "ttyS";
                         if (bUartA != bUartB)
                             return bUartA;
                         return sa < sb;
                     });
    return found;
}

}  // namespace platform
