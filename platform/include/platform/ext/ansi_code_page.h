// Choosing the ANSI code page that CP_ACP conversions use (win_codepage.h).
#pragma once

#include "platform/win_types.h"

namespace platform {

// Sets the process's ANSI code page (936 by default, 65001 for UTF-8).
// FALSE when iconv knows no such code page.
PLATFORM_API BOOL SetAnsiCodePage(UINT uCodePage);

}  // namespace platform
