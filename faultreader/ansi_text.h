// Narrow text in the ANSI code page (GBK) against UTF-8, the database
// engine's and the file system's encoding, through the platform's code-page
// calls.
#pragma once

#include <string>

namespace faultreader {

// ANSI text to UTF-8. Bytes that are not valid in the code page become
// U+FFFD, so the result is always valid UTF-8.
std::string AnsiToUtf8(const std::string& strAnsi);

// UTF-8 text to the ANSI code page. Characters the code page lacks become
// its default character "?".
std::string Utf8ToAnsi(const std::string& strUtf8);

// The longest prefix of strAnsi of at most cbMax bytes that ends on a
// character boundary of the code page.
std::string AnsiPrefix(const std::string& strAnsi, size_t cbMax);

}  // namespace faultreader
