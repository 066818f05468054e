#pragma once

// What the X server offers for capture: its displays (RandR monitors, else outputs), its
// shareable windows and the applications they belong to (EWMH, falling back to the root
// window's children when no window manager publishes a client list).

#include "platform/x11/X11Error.h"

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace lumacast::x11 {

// One display: a RandR 1.5 monitor where the server lists them (Qt makes a screen of each), else
// an output driven by a CRTC. A monitor of one output is known by the output's id, one set up by
// hand (`xrandr --setmonitor`) by its name's atom with the top bit set.
struct DisplayInfo {
    uint32_t id = 0;
    QString name;
    QRect geometry; // pixels, in root-window coordinates
    bool primary = false;

    bool operator==(const DisplayInfo &) const = default;
};

struct WindowInfo {
    uint32_t id = 0;       // the client window (what a user picks)
    uint32_t topLevel = 0; // the root child holding it (a window manager's frame, or itself)
    QString title;
    QString applicationName; // WM_CLASS class
    std::optional<uint32_t> pid;
    QRect frame; // the client window's rectangle in root coordinates, pixels
    bool onScreen = false;
};

struct ApplicationInfo {
    uint32_t pid = 0;
    QString name;
};

struct ShareableContent {
    std::vector<DisplayInfo> displays;
    std::vector<WindowInfo> windows;        // frontmost first
    std::vector<ApplicationInfo> applications; // in order of first appearance among the windows
};

// Displays in the server's order (a server without RandR yields its one screen, id 1). Throws
// X11Error when the X display cannot be reached.
std::vector<DisplayInfo> listDisplays();

// Everything above in one pass. `onScreenOnly` leaves out unmapped windows. Throws X11Error when
// the X display cannot be reached.
ShareableContent fetchShareableContent(bool onScreenOnly);

// The pointer position in root coordinates, pixels; nothing when the X display cannot be reached.
// Uses one connection shared by the process (thread-safe).
std::optional<QPoint> pointerPosition();

// The current rectangle of a window in root coordinates; nothing when it is gone, unmapped, or
// cut by its window manager's frame (while a minimise or a restore is animated, or shaded).
std::optional<QRect> windowFrame(uint32_t window);

// A picture of one window's own contents (not what covers it), for thumbnails. Null image when
// the window is gone, unmapped, or the server cannot compose windows.
QImage grabWindowImage(uint32_t window);

} // namespace lumacast::x11
