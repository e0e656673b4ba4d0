// The COM port map: a directory whose entries are symbolic links named
// COM<n> pointing to tty devices. Its location is $COMPORT_MAP_DIR, else
// $XDG_RUNTIME_DIR/comports, else /tmp/comports-<uid>. Real serial hardware
// under /sys/class/tty gets a number without an entry, by its identity in
// sysfs (the USB serial number, else the USB port it is plugged into, else
// the device node): a device keeps its number while present and gets it back
// when it returns, and no plug or unplug renumbers another device. The numbers given survive
// restarts in the map directory. An explicit entry wins, and numbers held by
// entries are never given to hardware. Idle ports are never opened to list
// them.
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
// Adds COM<n> -> device (creating the map directory), owned by this
// process: once the process is gone without unregistering, the entry is
// stale (not listed, not resolved, removed by the next registration or
// listing). dwPort 0 picks the lowest number >= 1 that is neither an entry
// nor hardware; concurrent callers, in any process, never get the same
// number. A device has one number: an earlier registered entry for it is
// replaced. Returns the number, or 0 with the last error
// (ERROR_ALREADY_EXISTS when COM<n> is taken or an entry made by hand names
// the device). Thread-safe.
PLATFORM_API DWORD RegisterComPort(DWORD dwPort, const std::string& device);
// Removes the entry COM<n> from the map. FALSE with ERROR_FILE_NOT_FOUND
// when there was no entry. Thread-safe.
PLATFORM_API BOOL UnregisterComPort(DWORD dwPort);
// Removes every entry that names device: a pseudo-terminal helper
// calls it for a slave it has just created, whose name a dead owner's entry
// may still hold. Thread-safe.
PLATFORM_API void UnregisterComPortsOf(const std::string& device);
// Every COM number that resolves now, ascending, with its device. Thread-safe.
struct ComPortEntry {
    DWORD dwPort;
    std::string device;
};
PLATFORM_API std::vector<ComPortEntry> ListComPorts();

}  // namespace platform
