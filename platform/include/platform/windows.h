// Everything the components use of the Windows API, in one include: the
// Windows-named headers only. The platform's own extensions, which no
// Windows header has, are in platform/ext/ and are included by name.
#pragma once

#include "platform/win_codepage.h"
#include "platform/win_console.h"
#include "platform/win_error.h"
#include "platform/win_file.h"
#include "platform/win_format.h"
#include "platform/win_handle.h"
#include "platform/win_memory.h"
#include "platform/win_message.h"
#include "platform/win_profile.h"
#include "platform/win_registry.h"
#include "platform/win_serial.h"
#include "platform/win_shell_path.h"
#include "platform/win_sync.h"
#include "platform/win_system.h"
#include "platform/win_types.h"
#include "platform/win_version.h"
#include "platform/winsock.h"
