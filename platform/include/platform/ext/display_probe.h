// Whether a display server named the way the environment names one
// (DISPLAY, WAYLAND_DISPLAY) accepts connections, so that a GUI toolkit that
// ends the process when it can't connect is only started when it can.
#pragma once

#include "platform/win_types.h"

namespace platform {

// TRUE when an X11 server accepts a connection on the display lpszDisplay
// names, in the DISPLAY syntax "[protocol/][host]:number[.screen]": a local
// display (no host, or "unix") through its Unix socket, a host through TCP
// port 6000 + number, within dwTimeoutMs for each address tried. The
// connection is closed at once; nothing is sent. FALSE with
// ERROR_INVALID_PARAMETER for a null or malformed name, ERROR_DEV_NOT_EXIST
// for a host name that does not resolve, else with the error of the last
// attempt (ERROR_TIMEOUT when it did not answer in time).
// Thread-safe.
PLATFORM_API BOOL CanConnectX11Display(LPCSTR lpszDisplay, DWORD dwTimeoutMs);

// TRUE when a Wayland compositor accepts a connection on the socket
// lpszDisplay names, in the WAYLAND_DISPLAY syntax: an absolute path, or a
// name in the directory XDG_RUNTIME_DIR names ("wayland-0" when lpszDisplay
// is null or empty). Closed at once, nothing sent. FALSE with
// ERROR_PATH_NOT_FOUND when a name is given and XDG_RUNTIME_DIR is not set
// or the path is too long, else with the connection's error. Thread-safe.
PLATFORM_API BOOL CanConnectWaylandDisplay(LPCSTR lpszDisplay, DWORD dwTimeoutMs);

}  // namespace platform
