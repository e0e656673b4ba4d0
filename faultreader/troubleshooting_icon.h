// Icon 23001: the Troubleshooting dialog's 16 x 16 small icon, a white
// exclamation mark on a red disc.
#pragma once

namespace faultreader {

static const char* const kTroubleshootingIcon23001[] = {
    "16 16 3 1",        "  c None",         "r c #C8102E",      "w c #FFFFFF",
    "     rrrrrr     ", "   rrrrrrrrrr   ", "  rrrrrwwrrrrr  ", " rrrrrwwwwrrrrr ",
    " rrrrrwwwwrrrrr ", "rrrrrrwwwwrrrrrr", "rrrrrrwwwwrrrrrr", "rrrrrrrwwrrrrrrr",
    "rrrrrrrwwrrrrrrr", "rrrrrrrwwrrrrrrr", "rrrrrrrrrrrrrrrr", " rrrrrrwwrrrrrr ",
    " rrrrrwwwwrrrrr ", "  rrrrrwwrrrrr  ", "   rrrrrrrrrr   ", "     rrrrrr     ",
};

}  // namespace faultreader
