// The COM port map: a directory whose entries are symbolic links named
// COM<n> pointing to tty devices. Its location is $COMPORT_MAP_DIR, else
// $XDG_RUNTIME_DIR/comports, else /tmp/comports-<uid>. Real serial hardware
// under /sys/class/tty gets stable numbers without an entry; an explicit
// entry wins.
#pragma once

#include <string>
#include <vector>

#include "platform/win_types.h"

namespace platform {

// The map directory in force now (the environment is read at every call).
PLATFORM_API std::string ComPortMapDir();
// The device path for COM<n>, or empty when there is none. Thread-safe.
PLATFORM_API std::string ResolveComPort(DWORD dwPort);
// Adds COM<n> -> device (creating the map directory). dwPort 0 picks the
// lowest free number >= 1. Returns the number, or 0 with the last error.
PLATFORM_API DWORD RegisterComPort(DWORD dwPort, const std::string& device);
// Removes COM<n> from the map. FALSE when there was no entry.
PLATFORM_API BOOL UnregisterComPort(DWORD dwPort);
// Every COM number that resolves now, ascending, with its device.
struct ComPortEntry {
    DWORD dwPort;
    std::string device;
};
PLATFORM_API std::vector<ComPortEntry> ListComPorts();

}  // namespace platform
