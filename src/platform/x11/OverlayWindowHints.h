#pragma once

// Window-manager hints for this application's overlay panels, which Qt has no words for.

#include <cstdint>

namespace lumacast::x11 {

// Puts a top-level window on every workspace and keeps it out of task bars and pagers:
// _NET_WM_DESKTOP 0xFFFFFFFF and _NET_WM_STATE_STICKY (with SKIP_TASKBAR and SKIP_PAGER), set on
// the window itself for a window manager that reads them at map time and sent to the root as
// requests for one that already manages it. False when the X display cannot be reached.
// Main thread; uses the process's shared query connection.
bool placeOnAllWorkspaces(uint32_t window);

// Whether a compositing manager owns the _NET_WM_CM_S<n> selection of the default screen: only
// then do windows with an alpha channel show what lies beneath them.
bool compositingManagerRunning();

} // namespace lumacast::x11
