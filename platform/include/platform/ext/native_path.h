// Windows-style paths as the native paths the file calls open.
#pragma once

#include <cstddef>

#include "platform/win_types.h"

namespace platform {

// Converts a wide Windows-style path to the native narrow (UTF-8) path:
// backslashes become '/', "\\.\" device prefixes are left to the caller.
PLATFORM_API bool NativePath(LPCWSTR lpPath, char* lpOut, size_t cbOut);

}  // namespace platform
