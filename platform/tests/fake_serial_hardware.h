// A fake /sys/class/tty and /dev for one test: devices are plugged and
// unplugged by creating and removing their sysfs entries (a USB device with
// its interface, or a device on no bus), their node (a symlink to a real tty
// or any file) and udev's links. The COM port map looks there while the
// object lives.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "platform/ext/com_port_map.h"
#include "platform_testing/serial_hardware_roots.h"

// A USB device carrying one serial port.
struct FakeUsb {
    std::string serial;  // empty: the device has no serial number
    std::string port;    // physical port, as "1-1.2"; empty: a port of its own
    std::string byId;    // udev's by-id link; empty: none (yet)
    std::string vendor = "1782";
    std::string product = "4d00";
};

class FakeSerialHardware {
public:
    FakeSerialHardware() {
        char szTemplate[] = "/tmp/fake-serial-hw-XXXXXX";
        const char* lpszDir = mkdtemp(szTemplate);
        m_root = lpszDir != nullptr ? lpszDir : "";
        std::filesystem::create_directories(Sys());
        std::filesystem::create_directories(Dev() + "/serial/by-id");
        std::filesystem::create_directories(Dev() + "/serial/by-path");
        std::filesystem::create_directories(m_root + "/devices/usb1");
        std::filesystem::create_directories(m_root + "/gone");
        platform::SetSerialHardwareRoots(Sys(), Dev());
    }
    ~FakeSerialHardware() {
        platform::SetSerialHardwareRoots("", "");
        std::error_code ec;
        if (!m_root.empty())
            std::filesystem::remove_all(m_root, ec);
    }
    FakeSerialHardware(const FakeSerialHardware&) = delete;
    FakeSerialHardware& operator=(const FakeSerialHardware&) = delete;

    // Plugs tty name (its node links to target). serial: non-empty plugs a
    // USB device with that serial number in a port of its own, with udev's
    // by-id link named after it; empty plugs a device on no bus. nType >= 0
    // writes the serial core's port type.
    void Plug(const std::string& name, const std::string& target, const std::string& serial = "",
              int nType = -1) {
        if (!serial.empty()) {
            PlugUsb(name, target, FakeUsb{serial, "", serial});
            return;
        }
        const std::string device = m_root + "/devices/platform-" + name;
        std::filesystem::create_directories(device);
        AddTty(name, target, device);
        m_owned[name] = device;
        if (nType >= 0)
            std::ofstream(Sys() + "/" + name + "/type") << nType << "\n";
    }
    // Plugs tty name as the port of a USB device: ttyUSB<n> as a usb-serial
    // port below the interface, anything else as the interface itself.
    void PlugUsb(const std::string& name, const std::string& target, const FakeUsb& usb) {
        const std::string port =
            usb.port.empty() ? "1-" + std::to_string(100 + m_nPorts++) : usb.port;
        const std::string usbDir = m_root + "/devices/usb1/" + port;
        std::filesystem::create_directories(usbDir + "/" + port + ":1.0");
        std::ofstream(usbDir + "/idVendor") << usb.vendor << "\n";
        std::ofstream(usbDir + "/idProduct") << usb.product << "\n";
        if (!usb.serial.empty())
            std::ofstream(usbDir + "/serial") << usb.serial << "\n";
        std::string device = usbDir + "/" + port + ":1.0";
        if (name.rfind("ttyUSB", 0) == 0) {
            device += "/" + name;
            std::filesystem::create_directories(device);
            std::ofstream(device + "/port_number") << "0\n";
        }
        AddTty(name, target, device);
        m_owned[name] = usbDir;
        if (!usb.byId.empty())
            Link("by-id", usb.byId, name);
    }
    // Makes (or re-points) udev's link /dev/serial/<kind>/<link> to tty name.
    void Link(const std::string& kind, const std::string& link, const std::string& name) {
        const std::string path = Dev() + "/serial/" + kind + "/" + link;
        std::error_code ec;
        std::filesystem::remove(path, ec);
        std::filesystem::create_symlink("../../" + name, path);
    }
    void Unplug(const std::string& name) {
        std::error_code ec;
        // The kernel never gives a later device the sysfs inode of an earlier
        // one: keep the old directory so the file system cannot either.
        std::filesystem::rename(Sys() + "/" + name, m_root + "/gone/" + std::to_string(m_nGone++),
                                ec);
        std::filesystem::remove(Node(name), ec);
        auto owned = m_owned.find(name);
        if (owned != m_owned.end()) {
            std::filesystem::remove_all(owned->second, ec);
            m_owned.erase(owned);
        }
        for (const char* kind : {"/serial/by-id", "/serial/by-path"}) {
            for (const auto& link : std::filesystem::directory_iterator(Dev() + kind)) {
                if (std::filesystem::read_symlink(link.path(), ec).filename() == name)
                    std::filesystem::remove(link.path(), ec);
            }
        }
    }
    // A tty without a parent device (a virtual terminal).
    void AddVirtual(const std::string& name, const std::string& target) {
        std::filesystem::create_directories(Sys() + "/" + name);
        std::filesystem::create_symlink(target, Node(name));
    }
    // The sysfs directory of the USB device above tty name (its serial, ...).
    std::string UsbDir(const std::string& name) const {
        auto it = m_owned.find(name);
        return it == m_owned.end() ? std::string() : it->second;
    }

    std::string Node(const std::string& name) const { return Dev() + "/" + name; }
    std::string Sys() const { return m_root + "/class/tty"; }
    std::string Dev() const { return m_root + "/dev"; }

private:
    void AddTty(const std::string& name, const std::string& target, const std::string& device) {
        const std::string sysDir = Sys() + "/" + name;
        std::filesystem::create_directories(sysDir);
        std::filesystem::create_directory_symlink(device, sysDir + "/device");
        std::filesystem::create_symlink(target, Node(name));
    }

    std::string m_root;
    std::map<std::string, std::string> m_owned;  // tty -> its device directory
    int m_nPorts = 0;
    int m_nGone = 0;
};
