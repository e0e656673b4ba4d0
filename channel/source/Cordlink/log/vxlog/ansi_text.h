// Conversion of wide text to the ANSI code page into a fixed buffer, cut at a
// character boundary when the result does not fit.
#pragma once

#include <cstddef>

#include "platform/win_types.h"

namespace vxlog {

// Converts the terminated wide text to the ANSI code page into lpszOut
// (cbOut bytes, cbOut > 0). Stores at most cbOut - 1 bytes and a terminator,
// never a partial multi-byte character; characters without a mapping become
// the code page's default character. Returns the length stored. No heap
// allocation; thread-safe.
size_t WideToAnsiCut(LPCWSTR lpszWide, char* lpszOut, size_t cbOut);

}  // namespace vxlog
