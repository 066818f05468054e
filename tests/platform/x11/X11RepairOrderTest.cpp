// Repairing a left-out window whose pieces do not all fit in one batch of requests: the pieces
// are answered in several rounds and must still be painted bottom-up.
#include "support/XcbTestWindows.h"

#include "platform/x11/X11Content.h"
#include "platform/x11/X11FrameSource.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

using namespace lumacast;
using lumacast::testing::pixelAt;
using lumacast::testing::XcbTestWindows;

TEST(X11RepairOrder, ScreenSizedPiecesArePaintedBottomUpAcrossRounds)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "needs an X server (DISPLAY)";
    XcbTestWindows windows;
    ASSERT_TRUE(windows.ok());
    (void)x11::pointerPosition(); // windows composited off-screen from here on
    const auto displays = x11::listDisplays();
    ASSERT_FALSE(displays.empty());
    const QRect screen = displays.front().geometry;

    // Desktop picture, then two screen-sized windows, the left-out one on top of them, and a
    // small window above it all: three screen-sized pieces repair the left-out area.
    windows.setRootBackground(0x336699);
    windows.solid(screen, 0x22cc33, 4000101);
    windows.solid(screen, 0x2244ee, 4000102);
    windows.solid(screen, 0xdd2211, 4000103);
    windows.solid(QRect(screen.x() + 40, screen.y() + 40, 60, 60), 0xeedd22, 4000104);

    x11::CaptureConfig cfg;
    cfg.displayId = displays.front().id;
    cfg.showsCursor = false;
    cfg.excludedPids = {4000103};
    x11::FrameSource source(cfg);
    ASSERT_NO_THROW(source.open());
    ASSERT_TRUE(source.isComposited());

    x11::Frame f;
    auto at = [&](int x, int y) { return pixelAt(f.data, f.stride, x, y); };
    QElapsedTimer timer;
    timer.start();
    bool settled = false;
    do {
        ASSERT_NO_THROW(source.captureFrame(f));
        settled = f.data && at(900, 500) == 0x2244ee && at(60, 60) == 0xeedd22;
        if (!settled)
            QThread::msleep(20);
    } while (!settled && timer.elapsed() < 2000);
    windows.deleteRootProperty("_XROOTPMAP_ID");
    ASSERT_TRUE(settled) << std::hex << at(900, 500);
    // The upper of the two windows beneath, everywhere; the small window stays above.
    for (const QPoint p : {QPoint(0, 0), QPoint(1919, 0), QPoint(0, 1079), QPoint(1919, 1079), QPoint(960, 540)})
        EXPECT_EQ(at(p.x(), p.y()), 0x2244eeu) << p.x() << "," << p.y();
    EXPECT_EQ(at(60, 60), 0xeedd22u);
}
