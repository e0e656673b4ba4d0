// Whether Qt's window system can come up in this process: QApplication ends
// the process when none of the platforms it would try can connect, so the
// library asks first.
#pragma once

namespace faultreader {

// True when one of the platforms QApplication would try is usable: those
// QT_QPA_PLATFORM lists (";" between names), or else the X11 platform and,
// in a Wayland session (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE=wayland),
// the Wayland one. "xcb" counts when the X server DISPLAY names answers, a
// "wayland..." platform when the compositor's socket does (or a socket was
// handed over in WAYLAND_SOCKET); any other platform (offscreen, minimal,
// vnc, ...) needs no display and counts.
bool CanReachDisplay();

}  // namespace faultreader
