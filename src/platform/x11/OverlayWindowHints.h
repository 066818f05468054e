#pragma once

// Window-manager hints for this application's overlay panels, which Qt has no words for.

#include <cstdint>
#include <optional>

namespace lumacast::x11 {

// Puts a top-level window on every workspace and keeps it out of task bars and pagers:
// _NET_WM_DESKTOP 0xFFFFFFFF and _NET_WM_STATE_STICKY (with SKIP_TASKBAR and SKIP_PAGER), set on
// the window itself for a window manager that reads them at map time and sent to the root as
// requests for one that already manages it. False when the X display cannot be reached.
// Main thread; uses the process's shared query connection.
bool placeOnAllWorkspaces(uint32_t window);

// Declares an override-redirect window a normal window (true) or a utility window (false). A
// Wayland compositor gives XWayland's override-redirect windows the keyboard, on map and on click,
// unless they are of a type such as utility; the type is read whenever it changes. False when the
// X display cannot be reached.
bool declareFocusableWindow(uint32_t window, bool focusable);

// Sends the keys the X server gets to the window under the pointer (PointerRoot), so that grabs on
// the root see them whichever window of this display the compositor gave the keyboard. False
// when the X display cannot be reached.
bool focusFollowPointer();

// The window the window manager calls active (the root's _NET_ACTIVE_WINDOW); nothing when none
// is, the window manager does not say, or the display cannot be reached.
std::optional<uint32_t> activeWindow();

// Asks the window manager to make `window` the active window again, as a pager does on a user's
// click (_NET_ACTIVE_WINDOW, source 2), with the X server time of that click in ms. False when
// the window is no longer shown or the display cannot be reached.
bool activateWindow(uint32_t window, uint32_t timestamp);

// Whether a compositing manager owns the _NET_WM_CM_S<n> selection of the default screen: only
// then do windows with an alpha channel show what lies beneath them.
bool compositingManagerRunning();

// The window that holds the keyboard focus; nothing when no window does (None, PointerRoot) or
// the display cannot be reached.
std::optional<uint32_t> inputFocus();

// When `from` holds the keyboard focus, hands it to `to` if that window is still mapped, else to
// PointerRoot (the window under the pointer). False when `from` did not hold it.
bool returnInputFocus(uint32_t from, std::optional<uint32_t> to);

} // namespace lumacast::x11
