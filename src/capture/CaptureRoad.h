#pragma once

#include <QString>

namespace lumacast {

// How screen pictures reach a take, chosen once from the session the program was started in. In
// an X11 session the X server is read directly. In a Wayland session the X server is XWayland,
// which sees only its own windows, so pictures come from the desktop's screen sharing (the
// portal's screen cast over PipeWire) while the program's own windows stay on XWayland.
enum class CaptureRoad { X11, ScreenCastPortal };

// From XDG_SESSION_TYPE, else from WAYLAND_DISPLAY being set.
CaptureRoad captureRoadForSession();
// The same rule over given values (for tests).
CaptureRoad captureRoadFor(const QString &sessionType, const QString &waylandDisplay);
const char *captureRoadName(CaptureRoad road);

} // namespace lumacast
