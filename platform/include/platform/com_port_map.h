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
// Thread-safe as long as nobody changes the environment meanwhile.
PLATFORM_API std::string ComPortMapDir();
// The device path for COM<n>, or empty when there is none (no entry, no
// hardware, or an entry whose device is gone). Thread-safe.
PLATFORM_API std::string ResolveComPort(DWORD dwPort);
// Adds COM<n> -> device (creating the map directory). dwPort 0 picks the
// lowest number >= 1 that is neither an entry nor hardware; concurrent
// callers, in any process, never get the same number. Returns the number,
// or 0 with the last error (ERROR_ALREADY_EXISTS when COM<n> is taken).
// Thread-safe.
PLATFORM_API DWORD RegisterComPort(DWORD dwPort, const std::string& device);
// Removes the entry COM<n> from the map. FALSE with ERROR_FILE_NOT_FOUND
// when there was no entry. Thread-safe.
PLATFORM_API BOOL UnregisterComPort(DWORD dwPort);
// Every COM number that resolves now, ascending, with its device. Thread-safe.
struct ComPortEntry {
    DWORD dwPort;
    std::string device;
};
PLATFORM_API std::vector<ComPortEntry> ListComPorts();

}  // namespace platform
