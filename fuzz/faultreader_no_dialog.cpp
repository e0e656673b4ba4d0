// The fuzz build leaves Faultreader's Troubleshooting dialog out (no Qt
// widgets). The parser object still refers to the dialog call from
// ShowTroubleshooting, which no target makes: reaching it is a fault of the
// target.
#include <cstdio>
#include <cstdlib>

#include "troubleshooting_dlg.h"

namespace faultreader {

BOOL RunTroubleshootingDialog(const std::string&, const std::string&) {
    std::fprintf(stderr, "fuzz: the Troubleshooting dialog is not built here\n");
    std::abort();
}

}  // namespace faultreader
