#include "capture/CaptureRoad.h"

#include <QtGlobal>

namespace lumacast {

CaptureRoad captureRoadFor(const QString &sessionType, const QString &waylandDisplay)
{
    const QString type = sessionType.trimmed().toLower();
    if (type == QLatin1String("wayland"))
        return CaptureRoad::ScreenCastPortal;
    if (type == QLatin1String("x11"))
        return CaptureRoad::X11;
    // No session type (started outside a login session, or "tty"): a Wayland display in the
    // environment is the desktop the program shows on.
    return waylandDisplay.isEmpty() ? CaptureRoad::X11 : CaptureRoad::ScreenCastPortal;
}

CaptureRoad captureRoadForSession()
{
    return captureRoadFor(qEnvironmentVariable("XDG_SESSION_TYPE"), qEnvironmentVariable("WAYLAND_DISPLAY"));
}

const char *captureRoadName(CaptureRoad road)
{
    return road == CaptureRoad::ScreenCastPortal ? "the desktop's screen sharing (Wayland)" : "the X server";
}

} // namespace lumacast
