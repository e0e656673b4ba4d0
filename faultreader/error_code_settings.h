// "ErrorCode.ini" beside the host program's executable: the error
// database's file name and password.
#pragma once

#include <string>

namespace faultreader {

// Reads section "Database", keys "Name" and "Password" (each at most 99
// bytes) of the settings file in the executable's directory. *pDbPath
// becomes that directory, a separator and the name; *pPassword the password
// with every "_" turned into "-". A missing file or key reads as empty; an
// executable path that does not fit 260 bytes leaves both empty.
void ReadErrorCodeSettings(std::string* pDbPath, std::string* pPassword);

}  // namespace faultreader
