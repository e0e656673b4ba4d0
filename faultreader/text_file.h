// Whole files read and written as text, named by paths in the ANSI code
// page, through the platform's file calls.
#pragma once

#include <string>

namespace faultreader {

// Reads the file; CR LF pairs become "\n" (text mode). False when the file
// can't be opened or read.
bool ReadTextFile(const std::string& strPath, std::string* pText);

// Creates or truncates the file and writes the text with every "\n" as
// CR LF. False when the file can't be created or written.
bool WriteTextFile(const std::string& strPath, const std::string& strText);

// CR LF pairs to "\n".
std::string FromCrLf(const std::string& strBytes);

}  // namespace faultreader
