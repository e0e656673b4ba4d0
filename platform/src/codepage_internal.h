// Code-page helpers shared inside the platform (formatting, profiles).
#pragma once

#include <cstddef>

#include "platform/win_types.h"

namespace platform {

// The ANSI code page now in force (936 unless changed). Thread-safe.
UINT AnsiCodePage();

// Receives decoded wide text piece by piece.
using WideSink = void (*)(void* pContext, const wchar_t* lpText, size_t cch);

// Decodes cb bytes of text in the ANSI code page and hands the wide text to
// pfnSink in pieces (invalid bytes become replacement characters). FALSE
// when the code page cannot be converted. No heap allocation after the
// thread's first conversion. Thread-safe.
bool DecodeAnsi(const char* lpText, size_t cb, WideSink pfnSink, void* pContext);

// True when the byte starts a two-byte character in the ANSI code page
// (always false for single-byte code pages and UTF-8).
bool IsAnsiLeadByte(unsigned char c);

// The longest prefix of lpText (cb bytes) of at most cbMax bytes that ends
// on a character boundary in the ANSI code page.
size_t AnsiCutPoint(const char* lpText, size_t cb, size_t cbMax);

}  // namespace platform
