// The program's version and build texts, read from its version resource.
#pragma once

#include <string>

struct ProgramVersion {
    std::wstring version;  // "1.3.3"
    std::wstring build;    // "0001"
};

// Reads the FileVersion of the running program's first translation: ","
// become ".", blanks go, the part after the last "." is the build (as
// "%04d"). Texts stay empty when the program has no version resource.
ProgramVersion ReadProgramVersion();
// The same from a file version text ("1, 3, 3, 1"), for the parts above.
ProgramVersion ParseFileVersion(const std::wstring& fileVersion);
