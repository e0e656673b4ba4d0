// The program's version resource; the version is set once, in CMake.
#include "platform/win_version.h"

PLATFORM_VERSION_RESOURCE(
    "Translation=0804,04b0\n"
    "FileVersion=" STAMPWELL_FILE_VERSION
    "\n"
    "ProductName=Stampwell\n");
