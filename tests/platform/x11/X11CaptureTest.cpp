// Screen and window capture against the real X server of the test rig, and against an X server
// of the test's own with several outputs.
#include "support/DummyXorg.h"
#include "support/WindowManager.h"
#include "support/XcbTestWindows.h"

#include "platform/x11/X11Content.h"
#include "platform/x11/X11FrameSource.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryFile>
#include <QThread>

#include <algorithm>
#include <array>
#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <span>

#include <signal.h>

using namespace lumacast;
using lumacast::testing::DummyXorg;
using lumacast::testing::pixelAt;
using lumacast::testing::minimizeWindow;
using lumacast::testing::restoreWindow;
using lumacast::testing::WindowManager;
using lumacast::testing::XcbTestWindows;

namespace {

constexpr uint32_t kRed = 0xdd2211, kGreen = 0x22cc33, kBlue = 0x2244ee, kYellow = 0xeedd22;
constexpr uint32_t kPattern[4] = {kRed, kGreen, kBlue, kYellow};

// Polls `condition` for up to five seconds.
bool waitFor(const std::function<bool()> &condition)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 5000)
            return false;
        QThread::msleep(20);
    }
    return true;
}

// The description of the X11Error `call` throws; empty when it throws none.
QString failureOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const x11::X11Error &error) {
        return error.message();
    }
    return QString();
}

// Colours equal but for the rounding of a scaled picture.
bool near(uint32_t a, uint32_t b)
{
    return std::ranges::all_of(std::array{0, 8, 16},
                               [&](int s) { return std::abs(int(a >> s & 0xff) - int(b >> s & 0xff)) <= 2; });
}

// Grabs until `check` holds or two seconds pass: the server composes the screen when idle.
bool captureUntil(x11::FrameSource &source, x11::Frame &frame,
                  const std::function<bool(const x11::Frame &)> &check)
{
    QElapsedTimer timer;
    timer.start();
    do {
        const QString error = failureOf([&] { source.captureFrame(frame); });
        if (!error.isEmpty()) {
            ADD_FAILURE() << error.toStdString();
            return false;
        }
        if (frame.data && check(frame))
            return true;
        QThread::msleep(20);
    } while (timer.elapsed() < 2000);
    return false;
}

class X11Capture : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs an X server (DISPLAY)";
        ASSERT_TRUE(windows.ok());
        // Keep the windows composited off-screen from the start, as the application does.
        (void)x11::pointerPosition();
        const auto displays = x11::listDisplays();
        ASSERT_FALSE(displays.empty());
        display = displays.front();
        windows.warpPointer(5, 5);
    }

    x11::CaptureConfig displayConfig() const
    {
        x11::CaptureConfig cfg;
        cfg.kind = x11::CaptureConfig::Kind::Display;
        cfg.displayId = display.id;
        cfg.showsCursor = false;
        return cfg;
    }

    static x11::CaptureConfig windowConfig(xcb_window_t window)
    {
        x11::CaptureConfig cfg;
        cfg.kind = x11::CaptureConfig::Kind::Window;
        cfg.windowId = window;
        cfg.showsCursor = false;
        return cfg;
    }

    static uint32_t at(const x11::Frame &f, int x, int y) { return pixelAt(f.data, f.stride, x, y); }

    // One change to what a capture shows, and what the next new frame shows after it; without
    // `shows` nothing the capture shows changed, and the last frame comes again, not grabbed.
    struct StillStep {
        const char *what;
        std::function<void()> change;
        std::function<bool(const x11::Frame &)> shows;
    };
    void runStillSteps(x11::FrameSource &source, x11::Frame &f, std::span<const StillStep> steps)
    {
        for (const StillStep &step : steps) {
            SCOPED_TRACE(step.what);
            const uint64_t before = f.picture;
            step.change();
            windows.sync();
            if (step.shows) {
                EXPECT_TRUE(captureUntil(source, f, [&](const x11::Frame &f) { return f.picture != before && step.shows(f); }));
                continue;
            }
            // The change before may still be reported late: the capture settles first.
            QThread::msleep(50);
            ASSERT_NO_THROW(source.captureFrame(f));
            const x11::Frame settled = f;
            for (int i = 0; i < 5; ++i) {
                QThread::msleep(20);
                ASSERT_NO_THROW(source.captureFrame(f));
                EXPECT_EQ(f.picture, settled.picture);
                EXPECT_EQ(f.data, settled.data); // the same pixels, not grabbed again
                EXPECT_GT(f.timestampNs, settled.timestampNs);
            }
        }
    }

    XcbTestWindows windows;
    x11::DisplayInfo display;
};

TEST_F(X11Capture, DisplaysComeFromRandr)
{
    EXPECT_NE(display.id, 0u);
    EXPECT_FALSE(display.name.isEmpty());
    EXPECT_EQ(display.geometry, QRect(0, 0, 1920, 1080));
}

TEST_F(X11Capture, DisplayFrameShowsWindowPatternInPlace)
{
    windows.quadrants(QRect(100, 120, 200, 100), kPattern);
    x11::FrameSource source(displayConfig());
    ASSERT_NO_THROW(source.open());
    EXPECT_EQ(source.frameWidth(), 1920);
    EXPECT_EQ(source.frameHeight(), 1080);
    x11::Frame f;
    ASSERT_TRUE(captureUntil(source, f, [](const x11::Frame &f) { return at(f, 150, 145) == kRed; }));
    EXPECT_EQ(at(f, 150, 145), kRed);
    EXPECT_EQ(at(f, 250, 145), kGreen);
    EXPECT_EQ(at(f, 150, 195), kBlue);
    EXPECT_EQ(at(f, 250, 195), kYellow);
    // Exact edges: the pattern starts at (100, 120) and ends before (300, 220).
    EXPECT_EQ(at(f, 100, 120), kRed);
    EXPECT_NE(at(f, 99, 120), kRed);
    EXPECT_EQ(at(f, 299, 219), kYellow);
    EXPECT_NE(at(f, 300, 219), kYellow);
    const int64_t now = [] { timespec ts{}; clock_gettime(CLOCK_MONOTONIC, &ts); return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec; }();
    EXPECT_LE(f.timestampNs, now);
    EXPECT_GT(f.timestampNs, now - 3000000000LL);
}

TEST_F(X11Capture, LeftOutWindowsAreReplacedByWhatLiesBeneath)
{
    const uint32_t otherPid = 4000001;
    windows.solid(QRect(300, 300, 300, 300), kGreen, 4000002);
    const xcb_window_t panel = windows.solid(QRect(350, 350, 100, 100), kRed, otherPid);
    const xcb_window_t above = windows.solid(QRect(420, 420, 100, 100), kBlue, 4000003);
    const xcb_window_t byId = windows.solid(QRect(700, 300, 50, 50), kYellow);

    auto cfg = displayConfig();
    cfg.excludedPids = {otherPid};
    cfg.excludedWindows = {byId};
    x11::FrameSource source(cfg);
    ASSERT_NO_THROW(source.open());
    ASSERT_TRUE(source.isComposited());
    x11::Frame f;
    ASSERT_TRUE(captureUntil(source, f, [](const x11::Frame &f) { return at(f, 400, 400) == kGreen; }))
        << std::hex << at(f, 400, 400);
    EXPECT_EQ(at(f, 360, 360), kGreen);   // the covered window shows through
    EXPECT_EQ(at(f, 440, 440), kBlue);    // a window above the left-out one stays on top
    EXPECT_EQ(at(f, 310, 310), kGreen);   // outside the left-out area nothing changed
    EXPECT_NE(at(f, 720, 320), kYellow);  // left out by id

    // With a desktop picture on the root, that is what shows where nothing else is beneath.
    windows.setRootBackground(0x336699);
    const bool background = captureUntil(source, f, [](const x11::Frame &f) { return at(f, 720, 320) == 0x336699; });
    windows.deleteRootProperty("_XROOTPMAP_ID");
    EXPECT_TRUE(background) << std::hex << at(f, 720, 320);
    EXPECT_EQ(at(f, 400, 400), kGreen);
    (void)panel;
    (void)above;
}

// Where nothing but the desktop lies beneath a left-out window, the frame shows the desktop as
// the screen shows it, whatever painted it on the root.
TEST_F(X11Capture, LeftOutWindowsShowTheRootsOwnBackgroundWhateverSetIt)
{
    const QRect area(800, 300, 300, 200);
    auto cfg = displayConfig();
    cfg.excludedPids = {4000061};
    const struct {
        QStringList xsetroot;
        std::optional<uint32_t> colour;
    } cases[] = {
        {{QStringLiteral("-solid"), QStringLiteral("#5a7d2b")}, 0x5a7d2b},
        {{QStringLiteral("-mod"), QStringLiteral("5"), QStringLiteral("7"), QStringLiteral("-fg"),
          QStringLiteral("#c03020"), QStringLiteral("-bg"), QStringLiteral("#2040a0")}, std::nullopt},
        {{QStringLiteral("-def")}, std::nullopt}, // the server's own pattern
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.xsetroot.join(QLatin1Char(' ')).toStdString());
        ASSERT_EQ(QProcess::execute(QStringLiteral("xsetroot"), c.xsetroot), 0);
        // The desktop as shown, with nothing over the area yet.
        x11::Frame bare;
        {
            x11::FrameSource plain(displayConfig());
            ASSERT_NO_THROW(plain.open());
            ASSERT_NO_THROW(plain.captureFrame(bare));
            if (c.colour) {
                EXPECT_EQ(at(bare, area.x() + 10, area.y() + 10), *c.colour);
            }
        }
        const xcb_window_t ours = windows.solid(area, kRed, 4000061);
        x11::FrameSource source(cfg);
        ASSERT_NO_THROW(source.open());
        x11::Frame f;
        const auto sameAsBare = [&](const x11::Frame &f) {
            for (int y = area.top(); y <= area.bottom(); y += 7)
                for (int x = area.left(); x <= area.right(); x += 5)
                    if (at(f, x, y) != at(bare, x, y))
                        return false;
            return true;
        };
        EXPECT_TRUE(captureUntil(source, f, sameAsBare)) << std::hex << at(f, area.x() + 10, area.y() + 10);
        windows.destroy(ours);
    }
    QProcess::execute(QStringLiteral("xsetroot"), {QStringLiteral("-def")});
}

TEST_F(X11Capture, LeftOutWindowsAreFollowedAsTheyMoveAndAppearLater)
{
    const uint32_t ownPid = 4000041;
    windows.solid(QRect(0, 500, 900, 300), kGreen, 4000042);
    const xcb_window_t panel = windows.solid(QRect(50, 550, 100, 100), kRed, ownPid);
    auto cfg = displayConfig();
    cfg.excludedPids = {ownPid};
    x11::FrameSource source(cfg);
    ASSERT_NO_THROW(source.open());
    x11::Frame f;
    ASSERT_TRUE(captureUntil(source, f, [](const x11::Frame &f) { return at(f, 100, 600) == kGreen; }));

    // Moved: the old place shows what is there, the new place is repaired.
    windows.move(panel, 400, 600);
    ASSERT_TRUE(captureUntil(source, f, [](const x11::Frame &f) {
        return at(f, 100, 600) == kGreen && at(f, 450, 650) == kGreen;
    })) << std::hex << at(f, 100, 600) << " " << at(f, 450, 650);

    // A window of ours that appears during the capture is left out too; a foreign one shows.
    windows.solid(QRect(700, 520, 80, 80), kBlue, ownPid);
    windows.solid(QRect(600, 700, 50, 50), kYellow, 4000043);
    ASSERT_TRUE(captureUntil(source, f, [](const x11::Frame &f) {
        return at(f, 740, 560) == kGreen && at(f, 620, 720) == kYellow;
    })) << std::hex << at(f, 740, 560) << " " << at(f, 620, 720);
}

TEST_F(X11Capture, StillScreenIsDeliveredAgainWithoutAGrabUntilSomethingChanges)
{
    const uint32_t ownPid = 4000051;
    const xcb_window_t beneath = windows.solid(QRect(100, 100, 300, 300), kGreen, 4000052);
    windows.solid(QRect(150, 150, 100, 100), kRed, ownPid); // left out: repaired from beneath
    const xcb_window_t other = windows.solid(QRect(600, 100, 100, 100), kBlue, 4000053);
    auto cfg = displayConfig();
    cfg.excludedPids = {ownPid};
    cfg.showsCursor = true;
    x11::FrameSource source(cfg);
    ASSERT_NO_THROW(source.open());
    x11::Frame f;
    ASSERT_TRUE(captureUntil(source, f, [](const x11::Frame &f) { return at(f, 200, 200) == kGreen; }));

    const StillStep steps[] = {
        {"nothing changes", [] {}, nullptr},
        {"a window moves", [&] { windows.move(other, 900, 100); },
         [](const x11::Frame &f) { return at(f, 950, 150) == kBlue && at(f, 650, 150) != kBlue; }},
        {"nothing changes after it", [] {}, nullptr},
        {"the window beneath a left-out one moves", [&] { windows.move(beneath, 180, 100); },
         [](const x11::Frame &f) { return at(f, 160, 200) != kGreen && at(f, 200, 200) == kGreen; }},
        {"the pointer moves", [&] { windows.warpPointer(1500, 900); }, [](const x11::Frame &) { return true; }},
        {"the pointer is hidden", [&] { source.setShowsCursor(false); }, [](const x11::Frame &) { return true; }},
        {"nothing changes at the end", [] {}, nullptr},
    };
    runStillSteps(source, f, steps);
}

TEST_F(X11Capture, StillWindowIsDeliveredAgainUntilItMoves)
{
    const xcb_window_t w = windows.quadrants(QRect(200, 200, 160, 120), kPattern);
    auto cfg = windowConfig(w);
    cfg.showsCursor = true;
    x11::FrameSource source(cfg);
    ASSERT_NO_THROW(source.open());
    x11::Frame f;
    ASSERT_TRUE(captureUntil(source, f, [](const x11::Frame &f) { return at(f, 10, 10) == kRed; }));
    xcb_window_t cover = 0;
    const StillStep steps[] = {
        {"nothing changes", [] {}, nullptr},
        // The window's own pixels are recorded: a window over it changes nothing.
        {"another window covers it", [&] { cover = windows.solid(QRect(180, 180, 300, 300), 0xffffff); }, nullptr},
        {"it moves", [&] { windows.move(w, 600, 400); }, [](const x11::Frame &f) { return at(f, 10, 10) == kRed; }},
        {"the pointer moves beside it", [&] { windows.warpPointer(1500, 900); }, nullptr},
        {"the pointer moves over it", [&] { windows.warpPointer(680, 460); }, [](const x11::Frame &) { return true; }},
        {"nothing changes at the end", [] {}, nullptr},
    };
    runStillSteps(source, f, steps);
    (void)cover;
}

TEST_F(X11Capture, ExceptedWindowStaysDespiteItsProcessBeingLeftOut)
{
    const uint32_t ownPid = 4000011;
    windows.solid(QRect(300, 300, 300, 300), kGreen, 4000012);
    const xcb_window_t border = windows.solid(QRect(320, 320, 60, 60), kBlue, ownPid);
    const xcb_window_t overlay = windows.solid(QRect(450, 450, 80, 80), kRed, ownPid);
    auto cfg = displayConfig();
    cfg.excludedPids = {ownPid};
    cfg.exceptedWindows = {overlay};
    x11::FrameSource source(cfg);
    ASSERT_NO_THROW(source.open());
    x11::Frame f;
    ASSERT_TRUE(captureUntil(source, f, [](const x11::Frame &f) {
        return at(f, 340, 340) == kGreen && at(f, 480, 480) == kRed;
    })) << std::hex << at(f, 340, 340) << " " << at(f, 480, 480);
    (void)border;
}

TEST_F(X11Capture, NothingLeftOutCostsNoRepair)
{
    windows.solid(QRect(300, 300, 100, 100), kRed, 4000021);
    auto cfg = displayConfig();
    cfg.excludedPids = {4000099}; // owns no window
    x11::FrameSource source(cfg);
    ASSERT_NO_THROW(source.open());
    x11::Frame f;
    EXPECT_TRUE(captureUntil(source, f, [](const x11::Frame &f) { return at(f, 350, 350) == kRed; }));
}

TEST_F(X11Capture, PickedWindowIsCapturedAloneAndFollowed)
{
    const xcb_window_t w = windows.quadrants(QRect(200, 200, 160, 120), kPattern);
    const x11::CaptureConfig cfg = windowConfig(w);
    x11::FrameSource source(cfg);
    ASSERT_NO_THROW(source.open());
    ASSERT_EQ(source.frameWidth(), 160);
    ASSERT_EQ(source.frameHeight(), 120);
    auto patternShown = [](const x11::Frame &f) {
        return at(f, 10, 10) == kRed && at(f, 150, 10) == kGreen && at(f, 10, 110) == kBlue && at(f, 150, 110) == kYellow;
    };
    x11::Frame f;
    ASSERT_TRUE(captureUntil(source, f, patternShown));

    // Covered by another window: the window's own contents are still what is recorded.
    const xcb_window_t cover = windows.solid(QRect(180, 180, 300, 300), 0xffffff);
    ASSERT_TRUE(captureUntil(source, f, patternShown));

    // Moved, partly off the screen: followed, still whole.
    windows.move(w, 1850, 900);
    ASSERT_TRUE(captureUntil(source, f, patternShown));
    windows.move(w, 40, 600);
    windows.destroy(cover);
    ASSERT_TRUE(captureUntil(source, f, patternShown));

    // Unmapped: its last picture again, under its number, and no error.
    const uint64_t shown = f.picture;
    windows.unmap(w);
    ASSERT_NO_THROW(source.captureFrame(f));
    EXPECT_EQ(f.picture, shown);
    EXPECT_TRUE(patternShown(f));

    // Gone: an error that says so.
    windows.destroy(w);
    EXPECT_EQ(failureOf([&] { source.captureFrame(f); }),
              QStringLiteral("The captured window is no longer available"));
}

// Under a window manager, whose frame shrinks and grows while it animates a minimise and a
// restore: a captured window that is not shown holds its last picture (black before it showed),
// delivered again under its number, until it shows again; only a window that is gone fails.
TEST_F(X11Capture, HiddenWindowHoldsItsLastPictureUntilItShowsAgain)
{
    if (const QString missing = WindowManager::missing(); !missing.isEmpty())
        GTEST_SKIP() << "needs " << missing.toStdString();
    WindowManager manager;
    ASSERT_TRUE(manager.isManaging());
    const xcb_window_t w = windows.quadrants(QRect(200, 200, 160, 120), kPattern);
    ASSERT_TRUE(waitFor([&] { return x11::windowFrame(w).has_value(); })); // managed and mapped
    auto hide = [&](const std::function<void()> &how) {
        how();
        ASSERT_TRUE(waitFor([&] { return !x11::windowFrame(w).has_value(); }));
    };
    // The frames while it is hidden: every one shows `colour`, and they settle on one picture.
    auto expectHeld = [&](x11::FrameSource &source, uint32_t colour) {
        x11::Frame f;
        for (int i = 0; i < 30; ++i, QThread::msleep(20)) {
            EXPECT_EQ(failureOf([&] { source.captureFrame(f); }), QString()) << i;
            if (!f.data)
                return uint64_t(0);
            EXPECT_EQ(at(f, 10, 10), colour) << i;
        }
        const uint64_t held = f.picture;
        for (int i = 0; i < 5; ++i, QThread::msleep(20)) {
            source.captureFrame(f);
            EXPECT_EQ(f.picture, held);
        }
        return held;
    };
    auto expectShown = [&](x11::FrameSource &source, uint64_t held) {
        x11::Frame f;
        EXPECT_TRUE(captureUntil(source, f, [&](const x11::Frame &f) {
            return f.picture != held && at(f, 10, 10) == kRed && at(f, 150, 110) == kYellow;
        }));
    };

    hide([&] { ASSERT_TRUE(minimizeWindow(w)); });
    x11::FrameSource source(windowConfig(w));
    ASSERT_NO_THROW(source.open());
    const uint64_t black = expectHeld(source, 0x000000); // hidden from the start
    ASSERT_TRUE(restoreWindow(w));
    expectShown(source, black);

    const struct {
        const char *what;
        std::function<void()> hide;
    } ways[] = {
        {"minimized", [&] { ASSERT_TRUE(minimizeWindow(w)); }},
        {"unmapped by its program", [&] { windows.unmap(w); }},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.what);
        hide(way.hide);
        const uint64_t held = expectHeld(source, kRed);
        ASSERT_TRUE(restoreWindow(w));
        expectShown(source, held);
    }

    hide([&] { ASSERT_TRUE(minimizeWindow(w)); });
    windows.destroy(w);
    x11::Frame f;
    EXPECT_EQ(failureOf([&] { source.captureFrame(f); }), QStringLiteral("The captured window is no longer available"));
}

TEST_F(X11Capture, ResizedWindowIsCroppedOrPaddedToTheTakeSize)
{
    const xcb_window_t w = windows.solid(QRect(200, 200, 100, 80), kRed);
    x11::CaptureConfig cfg = windowConfig(w);
    cfg.width = 120; // larger than the window: padded with black
    cfg.height = 60; // smaller: cropped
    x11::FrameSource source(cfg);
    ASSERT_NO_THROW(source.open());
    x11::Frame f;
    ASSERT_TRUE(captureUntil(source, f, [](const x11::Frame &f) { return at(f, 50, 30) == kRed; }));
    EXPECT_EQ(f.width, 120);
    EXPECT_EQ(f.height, 60);
    EXPECT_EQ(at(f, 99, 59), kRed);
    EXPECT_EQ(at(f, 110, 30), 0x000000u);
}

// A display in a frame of another size (a take's, after the display changed): the whole display,
// its aspect kept, centred between black bars.
TEST_F(X11Capture, DisplayIsFittedWholeIntoAFrameOfAnotherSize)
{
    windows.quadrants(display.geometry, kPattern);
    const struct {
        QSize frame;
        QRect fitted;
    } rows[] = {{{299, 301}, {0, 66, 299, 168}}, {{300, 300}, {0, 65, 300, 169}}, {{330, 250}, {0, 32, 330, 186}},
                {{1, 1}, {0, 0, 1, 1}}, {{1920, 1080}, {0, 0, 1920, 1080}}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.frame.width());
        ASSERT_EQ(x11::fittedRect(display.geometry.size(), row.frame), row.fitted);
        auto cfg = displayConfig();
        cfg.width = row.frame.width();
        cfg.height = row.frame.height();
        x11::FrameSource source(cfg);
        ASSERT_NO_THROW(source.open());
        const QRect &in = row.fitted;
        const auto whole = [&](const x11::Frame &f) {
            for (int i = 0; i < 4 && in.width() > 4; ++i)
                if (!near(at(f, in.x() + in.width() * (1 + i % 2 * 2) / 4, in.y() + in.height() * (1 + i / 2 * 2) / 4),
                          kPattern[i]))
                    return false;
            return in.top() == 0 || (at(f, 0, 0) == 0 && at(f, 0, f.height - 1) == 0);
        };
        x11::Frame f;
        EXPECT_TRUE(captureUntil(source, f, whole));
        EXPECT_EQ(QSize(f.width, f.height), row.frame);
    }
}

TEST_F(X11Capture, MissingDisplayOrWindowFailsToOpen)
{
    auto cfg = displayConfig();
    cfg.displayId = 0x7ffffff0;
    x11::FrameSource badDisplay(cfg);
    EXPECT_FALSE(failureOf([&] { badDisplay.open(); }).isEmpty());

    x11::FrameSource badWindow(windowConfig(0x1fffff0));
    EXPECT_FALSE(failureOf([&] { badWindow.open(); }).isEmpty());
}

TEST_F(X11Capture, CursorIsDrawnOnlyWhenShown)
{
    windows.solid(QRect(500, 500, 200, 200), kGreen);
    windows.warpPointer(600, 600);
    auto cfg = displayConfig();
    cfg.showsCursor = true;
    x11::FrameSource source(cfg);
    ASSERT_NO_THROW(source.open());
    auto differing = [](const x11::Frame &f) {
        int n = 0;
        for (int y = 570; y < 630; ++y)
            for (int x = 570; x < 630; ++x)
                n += at(f, x, y) != kGreen;
        return n;
    };
    x11::Frame f;
    ASSERT_TRUE(captureUntil(source, f, [&](const x11::Frame &f) { return differing(f) > 0; }));
    source.setShowsCursor(false);
    ASSERT_NO_THROW(source.captureFrame(f));
    EXPECT_EQ(differing(f), 0);
}

TEST_F(X11Capture, CaptureThreadDeliversTimedFrames)
{
    auto cfg = displayConfig();
    cfg.framesPerSecond = 30;
    cfg.width = 640; // the display fitted into 640 x 360
    cfg.height = 360;
    x11::FrameSource source(cfg);
    std::mutex m;
    std::vector<int64_t> stamps;
    int errors = 0;
    source.setFrameHandler([&](const x11::Frame &f) {
        std::lock_guard lock(m);
        stamps.push_back(f.timestampNs);
        EXPECT_EQ(f.width, 640);
    });
    source.setErrorHandler([&](const x11::X11Error &) { ++errors; });
    ASSERT_NO_THROW(source.start());
    QThread::msleep(700);
    source.stop();
    source.stop(); // twice is harmless
    std::lock_guard lock(m);
    EXPECT_EQ(errors, 0);
    ASSERT_GE(stamps.size(), 10u);
    EXPECT_LE(stamps.size(), 23u);
    for (size_t i = 1; i < stamps.size(); ++i) {
        // On a 33 ms grid: a late frame shortens the next gap but never makes a burst.
        const int64_t gap = stamps[i] - stamps[i - 1];
        EXPECT_GT(gap, 8000000) << i;
    }
    const double mean = double(stamps.back() - stamps.front()) / double(stamps.size() - 1);
    EXPECT_GT(mean, 30e6);
    EXPECT_EQ(source.framesDelivered(), stamps.size());
}

TEST_F(X11Capture, HeldFramesKeepTheirPixels)
{
    const xcb_window_t w = windows.solid(QRect(0, 0, 64, 64), kRed);
    const x11::CaptureConfig cfg = windowConfig(w);
    x11::FrameSource source(cfg);
    ASSERT_NO_THROW(source.open());
    x11::Frame first;
    ASSERT_TRUE(captureUntil(source, first, [](const x11::Frame &f) { return at(f, 1, 1) == kRed; }));
    windows.destroy(w);
    const xcb_window_t w2 = windows.solid(QRect(0, 0, 64, 64), kBlue);
    (void)w2;
    // Grabbing other frames never reuses the buffer a holder still has.
    std::vector<x11::Frame> more;
    x11::FrameSource other(displayConfig());
    ASSERT_NO_THROW(other.open());
    for (int i = 0; i < 3; ++i) {
        x11::Frame f;
        ASSERT_NO_THROW(other.captureFrame(f));
        more.push_back(f);
    }
    EXPECT_EQ(at(first, 1, 1), kRed);
}

TEST_F(X11Capture, ShareableContentListsWindowsWithLabels)
{
    const xcb_window_t a = windows.solid(QRect(10, 20, 120, 90), kRed, 4000031, QStringLiteral("Notes — draft"),
                                         QStringLiteral("Notepad"));
    const xcb_window_t b = windows.solid(QRect(40, 60, 80, 70), kBlue, 4000032, QStringLiteral("Terminal"),
                                         QStringLiteral("Term"));
    const xcb_window_t hidden = windows.solid(QRect(40, 60, 80, 70), kBlue, 4000033, QStringLiteral("Hidden"));
    windows.unmap(hidden);

    std::optional<x11::ShareableContent> content;
    ASSERT_NO_THROW(content = x11::fetchShareableContent(true));
    ASSERT_TRUE(content);
    auto find = [&](uint32_t id) -> const x11::WindowInfo * {
        for (const auto &w : content->windows)
            if (w.id == id)
                return &w;
        return nullptr;
    };
    const auto *wa = find(a);
    const auto *wb = find(b);
    ASSERT_TRUE(wa);
    ASSERT_TRUE(wb);
    EXPECT_EQ(find(hidden), nullptr);
    EXPECT_EQ(wa->title, QStringLiteral("Notes — draft"));
    EXPECT_EQ(wa->applicationName, QStringLiteral("Notepad"));
    EXPECT_EQ(wa->pid, 4000031u);
    EXPECT_EQ(wa->frame, QRect(10, 20, 120, 90));
    EXPECT_TRUE(wa->onScreen);
    // Frontmost first.
    EXPECT_LT(wb - content->windows.data(), wa - content->windows.data());
    const bool listsApp = std::any_of(content->applications.begin(), content->applications.end(),
                                      [](const x11::ApplicationInfo &app) { return app.pid == 4000031u && app.name == "Notepad"; });
    EXPECT_TRUE(listsApp);

    std::optional<x11::ShareableContent> all;
    ASSERT_NO_THROW(all = x11::fetchShareableContent(false));
    ASSERT_TRUE(all);
    EXPECT_TRUE(std::any_of(all->windows.begin(), all->windows.end(), [&](const auto &w) { return w.id == hidden && !w.onScreen; }));

    // With a window manager's client list, only the listed clients are offered.
    windows.setRootWindowList("_NET_CLIENT_LIST_STACKING", {a});
    std::optional<x11::ShareableContent> managed;
    ASSERT_NO_THROW(managed = x11::fetchShareableContent(true));
    windows.deleteRootProperty("_NET_CLIENT_LIST_STACKING");
    ASSERT_TRUE(managed);
    ASSERT_EQ(managed->windows.size(), 1u);
    EXPECT_EQ(managed->windows[0].id, a);
}

TEST_F(X11Capture, WindowThumbnailAndFrame)
{
    const xcb_window_t w = windows.quadrants(QRect(100, 100, 80, 60), kPattern);
    QImage image;
    QElapsedTimer timer;
    timer.start();
    do {
        image = x11::grabWindowImage(w);
        if (!image.isNull() && (image.pixel(5, 5) & 0xffffff) == kRed)
            break;
        QThread::msleep(20);
    } while (timer.elapsed() < 2000);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(80, 60));
    EXPECT_EQ(image.pixel(5, 5) & 0xffffff, kRed);
    EXPECT_EQ(image.pixel(75, 55) & 0xffffff, kYellow);
    EXPECT_EQ(x11::windowFrame(w), QRect(100, 100, 80, 60));
    windows.destroy(w);
    EXPECT_TRUE(x11::grabWindowImage(w).isNull());
    EXPECT_FALSE(x11::windowFrame(w).has_value());
}

TEST_F(X11Capture, LosingTheServerIsReportedOnceAndEndsTheCapture)
{
    // A private X server of our own, so that the shared one stays up. A server that loses the
    // race for its display number to another one starting at the same moment is started again.
    QProcess server;
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(QProcess::nullDevice());
    const QByteArray shared = qgetenv("DISPLAY");
    std::unique_ptr<x11::FrameSource> source;
    QString error;
    for (int attempt = 0; attempt < 5 && !source; ++attempt) {
        QTemporaryFile displayFile;
        ASSERT_TRUE(displayFile.open());
        server.setProgram(QStringLiteral("sh"));
        server.setArguments({QStringLiteral("-c"),
                             QStringLiteral("exec Xvfb -displayfd 3 -screen 0 320x240x24 -nolisten tcp -noreset 3>\"%1\"")
                                 .arg(displayFile.fileName())});
        server.start();
        ASSERT_TRUE(server.waitForStarted());
        QByteArray number;
        for (int i = 0; i < 100 && number.isEmpty() && server.state() == QProcess::Running; ++i) {
            QThread::msleep(50);
            QFile f(displayFile.fileName());
            if (f.open(QIODevice::ReadOnly))
                number = f.readAll().trimmed();
        }
        if (!number.isEmpty()) {
            qputenv("DISPLAY", ":" + number);
            // A loaded machine can take a moment between the server naming its display and
            // accepting connections on it.
            for (int i = 0; i < 20 && !source && server.state() == QProcess::Running; ++i) {
                std::vector<x11::DisplayInfo> displays;
                try {
                    displays = x11::listDisplays();
                } catch (const x11::X11Error &) {
                }
                x11::CaptureConfig cfg;
                cfg.displayId = displays.empty() ? 0 : displays.front().id;
                cfg.framesPerSecond = 30;
                source = std::make_unique<x11::FrameSource>(cfg);
                error = failureOf([&] { source->open(); });
                if (!error.isEmpty()) {
                    source.reset();
                    QThread::msleep(100);
                }
            }
            qputenv("DISPLAY", shared);
        }
        if (!source) {
            server.kill();
            server.waitForFinished();
        }
    }
    ASSERT_TRUE(source) << error.toStdString();

    std::mutex m;
    QStringList errors;
    source->setErrorHandler([&](const x11::X11Error &e) {
        std::lock_guard lock(m);
        errors << e.message();
    });
    ASSERT_NO_THROW(source->start());
    // The server goes away under the capture's writes: that must end the capture, not the process.
    struct sigaction pipeAction {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &pipeAction), 0);
    EXPECT_EQ(pipeAction.sa_handler, SIG_IGN);
    QThread::msleep(200);
    server.terminate();
    server.waitForFinished();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 3000) {
        {
            std::lock_guard lock(m);
            if (!errors.isEmpty())
                break;
        }
        QThread::msleep(20);
    }
    QThread::msleep(200);
    source->stop();
    std::lock_guard lock(m);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors.front(), QStringLiteral("The connection to the X server was lost"));
    EXPECT_GT(source->framesDelivered(), 0u);
}

// Displays that change under a capture (monitors plugged in, moved, resized, split), on an X
// server of the test's own with several outputs.
class X11Monitors : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const QString missing = DummyXorg::missing(); !missing.isEmpty())
            GTEST_SKIP() << missing.toStdString();
        server = std::make_unique<DummyXorg>();
        if (server->display().isEmpty())
            GTEST_SKIP() << server->failure().toStdString();
        shared = qgetenv("DISPLAY");
        qputenv("DISPLAY", server->display().toLatin1());
        windows = std::make_unique<XcbTestWindows>();
        ASSERT_TRUE(windows->ok());
        backdrop = windows->solid(QRect(0, 0, 64, 64), 0x808080);
        for (uint32_t colour : kPattern)
            marks.push_back(windows->solid(QRect(0, 0, 64, 64), colour));
    }
    void TearDown() override
    {
        windows.reset();
        if (!shared.isNull())
            qputenv("DISPLAY", shared);
        server.reset();
    }

    static std::optional<x11::DisplayInfo> displayNamed(const QString &name)
    {
        for (const auto &d : x11::listDisplays())
            if (d.name == name)
                return d;
        return std::nullopt;
    }
    // A grey backdrop over `area` and a marker in each corner, kept there as a window manager
    // keeps windows on their monitor.
    void markCorners(const QRect &area)
    {
        xcb_configure_window(windows->connection(), backdrop, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                             std::array<uint32_t, 2>{uint32_t(area.width()), uint32_t(area.height())}.data());
        windows->move(backdrop, area.x(), area.y());
        windows->move(marks[0], area.left(), area.top());
        windows->move(marks[1], area.right() - 63, area.top());
        windows->move(marks[2], area.left(), area.bottom() - 63);
        windows->move(marks[3], area.right() - 63, area.bottom() - 63);
        windows->sync();
    }
    // Whether a frame holds an area of this size whole: its corners' markers where it is fitted in.
    static bool showsCorners(const x11::Frame &f, QSize area)
    {
        const QRect in = x11::fittedRect(area, QSize(f.width, f.height));
        const int inset = int(32.0 * in.width() / area.width());
        const QPoint centres[4] = {{in.left() + inset, in.top() + inset}, {in.right() - inset, in.top() + inset},
                                   {in.left() + inset, in.bottom() - inset}, {in.right() - inset, in.bottom() - inset}};
        for (int i = 0; i < 4; ++i)
            if (!near(pixelAt(f.data, f.stride, centres[i].x(), centres[i].y()), kPattern[i]))
                return false;
        return in.top() < 2 || pixelAt(f.data, f.stride, in.center().x(), in.top() - 2) == 0; // black bars
    }
    static x11::CaptureConfig configFor(uint32_t display)
    {
        x11::CaptureConfig cfg;
        cfg.displayId = display;
        cfg.showsCursor = false;
        return cfg;
    }

    std::unique_ptr<DummyXorg> server;
    std::unique_ptr<XcbTestWindows> windows;
    QByteArray shared;
    xcb_window_t backdrop = 0;
    std::vector<xcb_window_t> marks;
};

// A take of display A goes on whatever its neighbours do: each later picture holds A whole, where
// it is now and fitted into the take's size, and a window take on A never ends with a display.
TEST_F(X11Monitors, ATakeFollowsItsDisplayAndAWindowTakeOutlivesEveryDisplay)
{
    const auto a = displayNamed(QStringLiteral("DUMMY0"));
    ASSERT_TRUE(a);
    markCorners(a->geometry);
    const xcb_window_t picked = windows->quadrants(QRect(400, 300, 160, 120), kPattern);
    x11::FrameSource display(configFor(a->id));
    x11::CaptureConfig windowCfg;
    windowCfg.kind = x11::CaptureConfig::Kind::Window;
    windowCfg.windowId = picked;
    windowCfg.showsCursor = false;
    x11::FrameSource window(windowCfg);
    ASSERT_NO_THROW(display.open());
    ASSERT_NO_THROW(window.open());
    const auto windowWhole = [](const x11::Frame &f) {
        return pixelAt(f.data, f.stride, 10, 10) == kRed && pixelAt(f.data, f.stride, 150, 110) == kYellow;
    };
    const struct {
        const char *what;
        std::function<bool()> change;
        QSize a; // A's size after it
    } steps[] = {
        {"a monitor plugged in at its left",
         [&] { return server->plug("DUMMY1", {1280, 1024}, {"--left-of", "DUMMY0"}); }, {1024, 768}},
        {"that monitor moved to its right", [&] { return server->xrandr({"--output", "DUMMY1", "--right-of", "DUMMY0"}); },
         {1024, 768}},
        {"another resolution, fitted into the take at (0, 96, 1024, 576)",
         [&] { return server->plug("DUMMY0", {1280, 720}, {}); }, {1280, 720}},
        {"the other monitor unplugged", [&] { return server->xrandr({"--output", "DUMMY1", "--off"}); }, {1280, 720}},
    };
    EXPECT_EQ(x11::fittedRect({1280, 720}, {1024, 768}), QRect(0, 96, 1024, 576));
    x11::Frame f;
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_TRUE(step.change());
        const auto now = displayNamed(QStringLiteral("DUMMY0"));
        ASSERT_TRUE(now);
        ASSERT_EQ(now->geometry.size(), step.a);
        markCorners(now->geometry);
        windows->move(picked, now->geometry.x() + 400, now->geometry.y() + 300);
        ASSERT_TRUE(captureUntil(display, f, [&](const x11::Frame &f) { return showsCorners(f, step.a); }));
        EXPECT_EQ(QSize(f.width, f.height), QSize(1024, 768));
        for (int i = 0; i < 5; ++i, QThread::msleep(20)) {
            ASSERT_NO_THROW(display.captureFrame(f));
            EXPECT_TRUE(showsCorners(f, step.a)) << i;
        }
        EXPECT_TRUE(captureUntil(window, f, windowWhole));
    }

    // A itself gone: its take ends, the window's goes on.
    ASSERT_TRUE(server->plug("DUMMY1", {1280, 1024}, {"--pos", "0x0"}));
    ASSERT_TRUE(server->xrandr({"--output", "DUMMY0", "--off"}));
    QString failure;
    EXPECT_TRUE(waitFor([&] { return !(failure = failureOf([&] { display.captureFrame(f); })).isEmpty(); }));
    EXPECT_EQ(failure, QStringLiteral("The captured display is no longer available"));
    EXPECT_TRUE(captureUntil(window, f, windowWhole));
}

// Monitors set up by hand on one output (a split ultrawide) are displays of their own, each
// recorded alone at its size.
TEST_F(X11Monitors, ASplitOutputIsOneDisplayPerMonitor)
{
    ASSERT_TRUE(server->xrandr({"--setmonitor", "LEFT", "400/100x768/200+0+0", "DUMMY0"}));
    ASSERT_TRUE(server->xrandr({"--setmonitor", "RIGHT", "624/150x768/200+400+0", "none"}));
    const auto displays = x11::listDisplays();
    ASSERT_EQ(displays.size(), 2u);
    const auto right = displayNamed(QStringLiteral("RIGHT"));
    ASSERT_TRUE(right);
    EXPECT_EQ(displayNamed(QStringLiteral("LEFT"))->geometry, QRect(0, 0, 400, 768));
    EXPECT_EQ(right->geometry, QRect(400, 0, 624, 768));
    EXPECT_NE(displays[0].id, displays[1].id);
    markCorners(right->geometry);
    x11::FrameSource source(configFor(right->id));
    ASSERT_NO_THROW(source.open());
    EXPECT_EQ(QSize(source.frameWidth(), source.frameHeight()), QSize(624, 768));
    x11::Frame f;
    EXPECT_TRUE(captureUntil(source, f, [](const x11::Frame &f) { return showsCorners(f, QSize(624, 768)); }));
}

} // namespace
