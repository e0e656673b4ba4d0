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
    DWORD dwPreferred;     // ttyS<k>: k + 1; else 0 (no preference)
};

// The serial devices present now, ordered by name (ttyS ports first). A
// device's identity is its /dev/serial/by-id name, else its by-path name,
// else its USB vendor, product, serial number and interface, else its device
// node. Real UARTs are told from the phantom ttyS ports of the 8250 driver by
// the port type in sysfs; where sysfs has no type, one TIOCGSERIAL probe per
// device decides and is remembered. Thread-safe.
std::vector<SerialHardware> FindSerialHardware();

// The roots in force: /sys/class/tty and /dev unless a test set others.
std::string SysClassTtyRoot();
std::string DevRoot();

}  // namespace platform
