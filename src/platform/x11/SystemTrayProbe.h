#pragma once

// Whether an XEmbed system tray (trayer, a panel's notification area) runs on the display.

namespace lumacast::x11 {

// True while some client owns the _NET_SYSTEM_TRAY_S<n> selection of the default screen; false
// without one or without a reachable X server. Main thread (the query has a connection of its
// own, kept for the process and reopened after the server went away).
bool systemTrayManagerRunning();

} // namespace lumacast::x11
