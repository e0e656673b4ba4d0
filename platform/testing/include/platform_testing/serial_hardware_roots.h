// Test-only seam: serial hardware from a fake sysfs tree, so the COM port
// map's numbering (platform/ext/com_port_map.h) runs against devices that
// come and go at a test's command.
#pragma once

#include <string>

#include "platform/win_types.h"

namespace platform {

// Looks for serial hardware under sysClassTty (instead of /sys/class/tty)
// with device nodes under dev (instead of /dev); empty strings restore the
// real ones. Thread-safe.
PLATFORM_API void SetSerialHardwareRoots(const std::string& sysClassTty, const std::string& dev);

}  // namespace platform
