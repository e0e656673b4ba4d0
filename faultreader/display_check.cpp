#include "display_check.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ext/display_probe.h"

namespace faultreader {
namespace {

// An X server on another host may take a while to answer; Qt itself would
// wait as long.
const DWORD kConnectTimeoutMs = 3000;

std::string Env(const char* lpszName) {
    const char* lpsz = std::getenv(lpszName);
    return lpsz != nullptr ? lpsz : "";
}

bool CanUse(const std::string& strPlatform) {
    if (strPlatform == "xcb") {
        const std::string strDisplay = Env("DISPLAY");
        return !strDisplay.empty() &&
               platform::CanConnectX11Display(strDisplay.c_str(), kConnectTimeoutMs);
    }
    if (strPlatform.rfind("wayland", 0) == 0) {
        if (!Env("WAYLAND_SOCKET").empty())
            return true;
        return platform::CanConnectWaylandDisplay(Env("WAYLAND_DISPLAY").c_str(),
                                                  kConnectTimeoutMs) != FALSE;
    }
    return !strPlatform.empty();
}

}  // namespace

bool CanReachDisplay() {
    std::vector<std::string> platforms;
    const std::string strList = Env("QT_QPA_PLATFORM");
    if (!strList.empty()) {
        size_t pos = 0;
        while (pos <= strList.size()) {
            const size_t semi = std::min(strList.find(';', pos), strList.size());
            const std::string strEntry = strList.substr(pos, semi - pos);
            // Options follow the name after ":" ("vnc:size=800x600").
            platforms.push_back(strEntry.substr(0, strEntry.find(':')));
            pos = semi + 1;
        }
    } else {
        platforms.push_back("xcb");
        if (!Env("WAYLAND_DISPLAY").empty() || Env("XDG_SESSION_TYPE") == "wayland")
            platforms.push_back("wayland");
    }
    for (const std::string& strPlatform : platforms) {
        if (CanUse(strPlatform))
            return true;
    }
    return false;
}

}  // namespace faultreader
