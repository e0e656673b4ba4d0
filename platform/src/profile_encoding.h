// The encodings of profile (INI) files and the conversions between them and
// the callers' text. A file is bytes in the ANSI code page (a UTF-8 mark
// included, which ProfileDocument skips), or UTF-16 with a byte-order mark,
// what Windows editors save as "Unicode" and the Windows profile calls read
// and write as such. ProfileDocument works on narrow text: the file's own
// bytes, or UTF-8 for a UTF-16 file, so no character is lost on the way.
#pragma once

#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace platform {

enum class ProfileEncoding { Ansi, Utf16Le, Utf16Be };

// The code page of the document's text for a file of the encoding: the ANSI
// code page, or UTF-8 for UTF-16 files.
UINT ProfileCodePage(ProfileEncoding encoding);

// Tells the encoding by the file's first bytes and stores the document's
// text: a UTF-16 file's as UTF-8 without the mark (an unpaired surrogate
// reads as U+FFFD, an odd last byte is no character), any other file's
// bytes as they are. FALSE with the last error when a conversion fails.
bool DecodeProfileFile(std::string_view bytes, ProfileEncoding* pEncoding, std::string* pText);
// The file's bytes for the document's text, the byte-order mark included.
// FALSE with the last error when a conversion fails.
bool EncodeProfileFile(ProfileEncoding encoding, std::string_view text, std::string* pBytes);

// Text in code page uCodePage to wide text and back, whole (embedded
// terminators included). Empty text converts to empty text. FALSE with the
// last error when the conversion fails.
bool WideFromNarrow(UINT uCodePage, std::string_view text, std::wstring* pWide);
bool NarrowFromWide(UINT uCodePage, std::wstring_view wide, std::string* pText);

}  // namespace platform
