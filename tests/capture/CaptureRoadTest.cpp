#include "capture/CaptureRoad.h"

#include <gtest/gtest.h>

namespace lumacast {

// The session type decides; without one, a Wayland display in the environment does. An X11
// session keeps the X server's road even when a Wayland display is also set (a nested session).
TEST(CaptureRoad, FollowsTheSessionTypeThenTheWaylandDisplay)
{
    struct Case {
        const char *sessionType;
        const char *waylandDisplay;
        CaptureRoad road;
    };
    const Case cases[] = {
        {"wayland", "", CaptureRoad::ScreenCastPortal},
        {"Wayland", "wayland-0", CaptureRoad::ScreenCastPortal},
        {"x11", "", CaptureRoad::X11},
        {"x11", "wayland-0", CaptureRoad::X11},
        {"", "wayland-0", CaptureRoad::ScreenCastPortal},
        {"tty", "wayland-1", CaptureRoad::ScreenCastPortal},
        {"", "", CaptureRoad::X11},
        {"tty", "", CaptureRoad::X11},
    };
    for (const Case &c : cases)
        EXPECT_EQ(captureRoadFor(QString::fromLatin1(c.sessionType), QString::fromLatin1(c.waylandDisplay)), c.road)
            << c.sessionType << " / " << c.waylandDisplay;
}

} // namespace lumacast
