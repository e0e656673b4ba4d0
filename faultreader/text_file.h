// Whole files read and written as text, named by paths in the ANSI code
// page, through the platform's file calls.
#pragma once

#include <string>

namespace faultreader {

// Reads the file; CR LF pairs become "\n" (text mode). False when the file
// can't be opened or read.
bool ReadTextFile(const std::string& strPath, std::string* pText);

// Replaces the file (or creates it) with the text, every "\n" as CR LF:
// a temporary file in the same directory is written, flushed to disk and
// renamed over the target, so the target is either the old file or the
// whole new one. False, with the platform's last error, when any step
// fails; the temporary file is removed then.
bool WriteTextFile(const std::string& strPath, const std::string& strText);

// CR LF pairs to "\n".
std::string FromCrLf(const std::string& strBytes);

}  // namespace faultreader
