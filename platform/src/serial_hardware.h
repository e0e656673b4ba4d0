// Serial hardware under /sys/class/tty, found without opening any port.
#pragma once

#include <string>
#include <vector>

#include "platform/win_types.h"

namespace platform {

struct SerialHardware {
    std::string name;      // "ttyUSB0"
    std::string device;    // "/dev/ttyUSB0"
    std::string identity;  // stable across plugs: see FindSerialHardware
    std::string portPath;  // "path:<sysfs device path>" of a USB port; else empty
    std::string instance;  // this appearance of the node: changes on every plug
    DWORD dwPreferred;     // ttyS<k>: k + 1; else 0 (no preference)
};

// The serial devices present now, ordered by name (ttyS ports first). A
// device's identity comes only from what the kernel publishes in sysfs with
// the node, never from udev's links (which appear late and can be re-pointed
// to another device): a USB device with a serial number is
// "usb:<vendor>:<product>:<serial>:<interface>[:<port>]"; one without is
// "path:<its device path under /sys/devices>", the physical port it sits in;
// anything else is "node:<tty name>". The instance tells this appearance of
// the node from an earlier one of the same name (the boot and the sysfs
// directory's inode, which the kernel never reuses within a boot). Real UARTs are told from the
// phantom ttyS ports of the 8250 driver by the port type in sysfs; where sysfs has no type, one
// TIOCGSERIAL probe per device decides and is remembered. Thread-safe.
std::vector<SerialHardware> FindSerialHardware();

// The names an earlier numbering used for tty name, taken from udev's links
// to it: "by-id:<link>" and "by-path:<link>". Only for carrying numbers
// given under those names over to the identities above.
std::vector<std::string> LegacyNames(const std::string& name);

// The roots in force: /sys/class/tty and /dev unless a test set others.
std::string SysClassTtyRoot();
std::string DevRoot();

}  // namespace platform
