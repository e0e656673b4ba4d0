// A fake /sys/class/tty and /dev for one test: devices are plugged and
// unplugged by creating and removing their sysfs directory, their node (a
// symlink to a real tty or any file) and their udev by-id link. The COM port
// map looks there while the object lives.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/com_port_map.h"

class FakeSerialHardware {
public:
    FakeSerialHardware() {
        char szTemplate[] = "/tmp/fake-serial-hw-XXXXXX";
        const char* lpszDir = mkdtemp(szTemplate);
        m_root = lpszDir != nullptr ? lpszDir : "";
        std::filesystem::create_directories(Sys());
        std::filesystem::create_directories(Dev() + "/serial/by-id");
        std::filesystem::create_directories(m_root + "/devices");
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

    // Plugs tty name (its node links to target). byId: the udev by-id name,
    // empty for none. nType >= 0 writes the serial core's port type.
    void Plug(const std::string& name, const std::string& target, const std::string& byId = "",
              int nType = -1) {
        const std::string sysDir = Sys() + "/" + name;
        std::filesystem::create_directories(m_root + "/devices/" + name);
        std::filesystem::create_directories(sysDir);
        std::filesystem::create_directory_symlink(m_root + "/devices/" + name, sysDir + "/device");
        if (nType >= 0)
            std::ofstream(sysDir + "/type") << nType << "\n";
        std::filesystem::create_symlink(target, Node(name));
        if (!byId.empty())
            std::filesystem::create_symlink("../../" + name, Dev() + "/serial/by-id/" + byId);
    }
    void Unplug(const std::string& name) {
        std::error_code ec;
        std::filesystem::remove_all(Sys() + "/" + name, ec);
        std::filesystem::remove(Node(name), ec);
        for (const auto& link : std::filesystem::directory_iterator(Dev() + "/serial/by-id")) {
            if (std::filesystem::read_symlink(link.path(), ec).filename() == name)
                std::filesystem::remove(link.path(), ec);
        }
    }
    // A tty without a parent device (a virtual terminal).
    void AddVirtual(const std::string& name, const std::string& target) {
        std::filesystem::create_directories(Sys() + "/" + name);
        std::filesystem::create_symlink(target, Node(name));
    }

    std::string Node(const std::string& name) const { return Dev() + "/" + name; }
    std::string Sys() const { return m_root + "/class/tty"; }
    std::string Dev() const { return m_root + "/dev"; }

private:
    std::string m_root;
};
