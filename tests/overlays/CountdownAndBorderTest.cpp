// The countdown and the recording border on the rig's X server, checked on screenshots; key
// presses come from xdotool through XTEST, as from a keyboard.
#include "OverlayTestSupport.h"

#include "overlays/CountdownOverlay.h"
#include "overlays/RecordingBorderWindow.h"
#include "platform/x11/HotKeyGrabber.h"
#include "store/AppLog.h"
#include "support/DummyXorg.h"
#include "support/TestEnvironment.h"
#include "support/WindowManager.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;

namespace {

class OnScreen : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs the rig's X server";
        // A test that left the focus at None would stop every key event, grabs included.
        xcb_set_input_focus(backdrop.windows.connection(), XCB_INPUT_FOCUS_POINTER_ROOT,
                            XCB_INPUT_FOCUS_POINTER_ROOT, XCB_CURRENT_TIME);
        backdrop.windows.sync();
    }
    Backdrop backdrop;
    WindowProperties properties;
};

// White pixels in the middle 900 x 900 of the screen.
int whiteInTheMiddle(const QImage &image)
{
    int count = 0;
    const QPoint c = image.rect().center();
    for (int y = c.y() - 450; y < c.y() + 450; y += 3)
        for (int x = c.x() - 450; x < c.x() + 450; x += 3)
            count += rgbAt(image, x, y) == 0xffffff;
    return count;
}

struct Outcome {
    bool done = false;
    bool value = true;
};

std::shared_ptr<Outcome> settle(QCoro::Task<bool> &&task)
{
    auto outcome = std::make_shared<Outcome>();
    task.then([outcome](bool value) {
        outcome->value = value;
        outcome->done = true;
    });
    return outcome;
}

} // namespace

TEST_F(OnScreen, CountdownShowsTheDigitAndEscapeFromAnyApplicationCancelsIt)
{
    auto grabber = std::make_shared<x11::HotKeyGrabber>();
    ASSERT_TRUE(grabber->isConnected());
    x11::HotKeyGrabber otherApplication;
    CountdownOverlay countdown(grabber);

    QElapsedTimer clock;
    clock.start();
    auto outcome = settle(countdown.run(3, std::nullopt));
    ASSERT_TRUE(countdown.isRunning());
    const auto id = countdown.windowID();
    ASSERT_TRUE(id);
    spinFor(150);

    // The digit, white, in the middle; the rest of the screen is the other application's window,
    // not black.
    QImage shot = grabScreen();
    keepShot(shot, "countdown-3");
    EXPECT_EQ(countdown.value(), 3);
    EXPECT_GT(whiteInTheMiddle(shot), 2000);
    for (QPoint p : {QPoint(5, 5), QPoint(1910, 1070), QPoint(100, 540)})
        EXPECT_EQ(rgbAt(shot, p.x(), p.y()), Backdrop::kColour);
    // Click-through, on every workspace, never focused.
    EXPECT_NE(properties.windowAt(960, 540), *id);
    EXPECT_TRUE(properties.hasState(*id, "_NET_WM_STATE_STICKY"));
    EXPECT_TRUE(properties.hasState(*id, "_NET_WM_STATE_ABOVE"));
    EXPECT_EQ(properties.values(*id, "_NET_WM_DESKTOP"), std::vector<uint32_t>{0xFFFFFFFF});
    EXPECT_FALSE(properties.acceptsFocus(*id));

    // Escape is held by the countdown while it runs...
    EventHotKeyRef ref = 0;
    EXPECT_EQ(otherApplication.registerEventHotKey(key_code::escape, 0, {1, 1}, &ref),
              hot_key_status::eventHotKeyExistsErr);
    ASSERT_TRUE(spinUntil([&] { return countdown.value() == 2; }, 2000));
    ASSERT_TRUE(runProcess("xdotool", {"key", "Escape"}).ok());
    const qint64 pressedAt = clock.elapsed();
    ASSERT_TRUE(spinUntil([&] { return outcome->done; }, 1500));
    EXPECT_FALSE(outcome->value);
    EXPECT_LT(clock.elapsed() - pressedAt, 500); // the next 0.1 s step

    // ...and nothing is left behind: no panel, no grab.
    EXPECT_FALSE(countdown.isRunning());
    spinFor(100);
    shot = grabScreen();
    EXPECT_EQ(whiteInTheMiddle(shot), 0);
    EXPECT_EQ(rgbAt(shot, 960, 540), Backdrop::kColour);
    EXPECT_EQ(otherApplication.registerEventHotKey(key_code::escape, 0, {1, 1}, &ref), hot_key_status::noErr);
    otherApplication.unregisterEventHotKey(ref);
}

// The wait before the countdown: Escape from any application reaches the watcher with no
// panel up, and nothing is held once it stops watching.
TEST_F(OnScreen, WatchingForCancelCatchesEscapeWithoutAPanelAndLetsGo)
{
    auto grabber = std::make_shared<x11::HotKeyGrabber>();
    ASSERT_TRUE(grabber->isConnected());
    x11::HotKeyGrabber otherApplication;
    CountdownOverlay countdown(grabber);
    int cancels = 0;
    countdown.watchForCancel([&cancels] { ++cancels; });
    EXPECT_FALSE(countdown.isRunning());
    EventHotKeyRef ref = 0;
    EXPECT_EQ(otherApplication.registerEventHotKey(key_code::escape, 0, {1, 1}, &ref),
              hot_key_status::eventHotKeyExistsErr);
    ASSERT_TRUE(runProcess("xdotool", {"key", "Escape"}).ok());
    EXPECT_TRUE(spinUntil([&] { return cancels == 1; }, 1500));

    countdown.stopWatching();
    ASSERT_TRUE(runProcess("xdotool", {"key", "Escape"}).ok());
    spinFor(200);
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(otherApplication.registerEventHotKey(key_code::escape, 0, {1, 1}, &ref), hot_key_status::noErr);
    otherApplication.unregisterEventHotKey(ref);
}

TEST_F(OnScreen, CountdownRunsToTheEndWhenNotCancelled)
{
    const struct {
        int count;
        int minimumMs;
        int maximumMs;
    } cases[] = {{0, 0, 150}, {1, 950, 1500}};
    for (const auto &c : cases) {
        CountdownOverlay countdown(nullptr);
        QElapsedTimer clock;
        clock.start();
        auto outcome = settle(countdown.run(c.count, 0xdeadbeef)); // no such display: the main screen
        // A second run meanwhile ends at once, as cancelled, and leaves the first one its panel.
        const QPointer<CountdownView> panel = countdown.view();
        auto second = settle(countdown.run(c.count, std::nullopt));
        EXPECT_EQ(second->done && !second->value, countdown.isRunning()) << c.count;
        EXPECT_EQ(countdown.view(), panel) << c.count;
        ASSERT_TRUE(spinUntil([&] { return outcome->done; }, 3000)) << c.count;
        EXPECT_TRUE(outcome->value) << c.count;
        EXPECT_GE(clock.elapsed(), c.minimumMs) << c.count;
        EXPECT_LE(clock.elapsed(), c.maximumMs) << c.count;
        EXPECT_FALSE(countdown.isRunning());
    }
}

TEST_F(OnScreen, BorderDrawsTheStateColourOnItsRingOnly)
{
    RecordingBorderWindow border;
    border.hide(); // harmless with nothing shown
    border.show(std::nullopt, CaptureTarget::wholeScreen(), OverlayState::starting);
    ASSERT_TRUE(border.isShown());
    const auto id = border.windowID();
    ASSERT_TRUE(id);
    EXPECT_EQ(border.frame(), QGuiApplication::primaryScreen()->geometry());

    const struct {
        OverlayState state;
        uint32_t colour;
    } cases[] = {
        {OverlayState::starting, 0xff3b30}, {OverlayState::recording, 0xff3b30}, {OverlayState::paused, 0xffcc00},
        {OverlayState::reviewing, 0x007aff}, {OverlayState::idle, 0x8e8e93},
    };
    for (const auto &c : cases) {
        border.setState(c.state);
        spinFor(120);
        const QImage shot = grabScreen();
        keepShot(shot, qPrintable(QStringLiteral("border-%1").arg(int(c.state))));
        for (QPoint p : {QPoint(0, 0), QPoint(4, 540), QPoint(960, 2), QPoint(1915, 300), QPoint(1000, 1079)})
            EXPECT_EQ(rgbAt(shot, p.x(), p.y()), c.colour) << int(c.state) << " at " << p.x() << "," << p.y();
        for (QPoint p : {QPoint(5, 540), QPoint(960, 5), QPoint(960, 540), QPoint(1914, 1074)})
            EXPECT_EQ(rgbAt(shot, p.x(), p.y()), Backdrop::kColour) << int(c.state) << " at " << p.x() << "," << p.y();
    }
    // Clicks on the ring reach the window beneath.
    EXPECT_EQ(properties.windowAt(2, 540), backdrop.window);
    EXPECT_TRUE(properties.hasState(*id, "_NET_WM_STATE_STICKY"));
    EXPECT_FALSE(properties.acceptsFocus(*id));

    // A second show keeps the one panel; hide removes it.
    border.show(std::nullopt, CaptureTarget::wholeScreen(), OverlayState::recording);
    EXPECT_EQ(border.windowID(), id);
    border.hide();
    spinFor(100);
    EXPECT_FALSE(border.isShown());
    EXPECT_EQ(rgbAt(grabScreen(), 0, 0), Backdrop::kColour);
}

TEST_F(OnScreen, BorderFollowsAPickedWindowWithinATenthOfASecond)
{
    XcbTestWindows apps;
    const QRect picked(200, 150, 640, 480);
    const xcb_window_t window = apps.solid(picked, 0xaa5500, 777, QStringLiteral("Picked"), QStringLiteral("Editor"));
    apps.sync();
    RecordingBorderWindow border;
    border.show(std::nullopt, CaptureTarget::custom(ContentFilter::forWindow(window, QRectF(picked)), ContentStyle::Window),
                OverlayState::recording);
    EXPECT_EQ(border.frame(), picked);
    EXPECT_EQ(border.trackedWindowID(), window);

    apps.move(window, 900, 400);
    apps.sync();
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(spinUntil([&] { return border.frame() == QRect(900, 400, 640, 480); }, 1000));
    EXPECT_LE(clock.elapsed(), 300); // one 0.1 s tick, with room for a loaded machine
    spinFor(100);
    const QImage shot = grabScreen();
    keepShot(shot, "border-following");
    EXPECT_EQ(rgbAt(shot, 902, 600), 0xff3b30u);
    EXPECT_EQ(rgbAt(shot, 1100, 600), 0xaa5500u);

    // A window that disappears leaves the border where it was.
    apps.unmap(window);
    apps.sync();
    spinFor(300);
    EXPECT_EQ(border.frame(), QRect(900, 400, 640, 480));
    border.hide();

    // A picked window that cannot be found is outlined at its picked rectangle, once.
    border.show(std::nullopt,
                CaptureTarget::custom(ContentFilter::forWindow(0x7ffff01, QRectF(30, 40, 300, 200)), ContentStyle::Window),
                OverlayState::recording);
    EXPECT_EQ(border.frame(), QRect(30, 40, 300, 200));
    EXPECT_FALSE(border.trackedWindowID());
    border.hide();

    QFile log(AppLog::shared().logPath());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(text.contains("[border] window capture frame=(200.0, 150.0, 640.0, 480.0) tracking=true"));
    EXPECT_TRUE(text.contains("[border] window capture frame=(30.0, 40.0, 300.0, 200.0) tracking=false"));
}

// On two monitors at a scale of 1.5 or 2 the border of a window take is on the window at every
// tracking tick, on either monitor: Qt places each screen from its own corner. The border runs in
// a program of its own, on an X server of the test's own with several outputs.
TEST(ScaledScreens, BorderStaysOnTheWindowItFollows)
{
    if (const QString missing = DummyXorg::missing(); !missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    DummyXorg server;
    if (server.display().isEmpty())
        GTEST_SKIP() << server.failure().toStdString();
    ASSERT_TRUE(server.plug(QStringLiteral("DUMMY1"), {1280, 1024}, {"--right-of", "DUMMY0"}));
    const QByteArray shared = qgetenv("DISPLAY");
    qputenv("DISPLAY", server.display().toLatin1());
    XcbTestWindows apps;
    qputenv("DISPLAY", shared);
    ASSERT_TRUE(apps.ok());
    const xcb_window_t window = apps.solid(QRect(1224, 150, 301, 201), 0xaa5500);
    apps.sync();
    // The border's rectangle on the X server, in its pixels.
    const auto ringOf = [&](xcb_window_t ring) {
        xcb_connection_t *c = apps.connection();
        std::unique_ptr<xcb_translate_coordinates_reply_t, decltype(&std::free)> at(
            xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, ring, apps.root(), 0, 0), nullptr), &std::free);
        std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> size(
            xcb_get_geometry_reply(c, xcb_get_geometry(c, ring), nullptr), &std::free);
        return at && size ? QRect(at->dst_x, at->dst_y, size->width, size->height) : QRect();
    };
    const struct {
        const char *what;
        const char *scaleFactor; // QT_SCALE_FACTOR, else the desktop's Xft.dpi
        const char *resources;
    } scales[] = {{"QT_SCALE_FACTOR 1.5", "1.5", "Xft.dpi: 96\n"}, {"Xft.dpi 192", nullptr, "Xft.dpi: 192\n"}};
    for (const auto &scale : scales) {
        SCOPED_TRACE(scale.what);
        QTemporaryDir home;
        QFile resources(home.filePath(QStringLiteral("resources")));
        ASSERT_TRUE(resources.open(QIODevice::WriteOnly) && resources.write(scale.resources) > 0);
        resources.close();
        ASSERT_TRUE(runProcess("xrdb", {"-display", server.display(), "-nocpp", "-load", resources.fileName()}).ok());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), server.display());
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.remove(QStringLiteral("QT_SCALE_FACTOR"));
        if (scale.scaleFactor)
            environment.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::fromLatin1(scale.scaleFactor));
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.start(QStringLiteral(LUMACAST_BORDER_PROBE), {QString::number(window)});
        ASSERT_TRUE(probe.waitForReadyRead(10000));
        const xcb_window_t ring = probe.readLine().trimmed().toUInt();
        ASSERT_NE(ring, 0u);
        for (const QPoint place : {QPoint(1224, 150), QPoint(100, 500)}) {
            apps.move(window, place.x(), place.y());
            apps.sync();
            const QRect frame(place, QSize(301, 201));
            const auto onTheWindow = [&] {
                const QRect r = ringOf(ring);
                return std::abs(r.left() - frame.left()) <= 1 && std::abs(r.top() - frame.top()) <= 1
                    && std::abs(r.right() - frame.right()) <= 2 && std::abs(r.bottom() - frame.bottom()) <= 2;
            };
            EXPECT_TRUE(spinUntil(onTheWindow, 2000)) << place.x();
            for (int tick = 0; tick < 8; ++tick) {
                spinFor(100);
                const QRect r = ringOf(ring);
                EXPECT_TRUE(onTheWindow()) << place.x() << " tick " << tick << ": " << r.x() << "," << r.y() << " "
                                           << r.width() << "x" << r.height();
            }
        }
        probe.kill();
        probe.waitForFinished();
    }
}

// Under a window manager, which shrinks a window's frame while it animates a minimize and a
// restore: the border stays where the picked window was until it is back, and then follows it.
TEST_F(OnScreen, BorderStaysWhereAMinimizedWindowWasUntilItIsBack)
{
    if (const QString missing = WindowManager::missing(); !missing.isEmpty())
        GTEST_SKIP() << "needs " << missing.toStdString();
    WindowManager manager;
    ASSERT_TRUE(manager.isManaging());
    XcbTestWindows apps;
    const xcb_window_t window = apps.solid(QRect(300, 200, 400, 300), 0xaa5500);
    ASSERT_TRUE(spinUntil([&] { return RecordingBorderWindow::windowFrame(window).has_value(); }, 5000));
    const QRect shown = *RecordingBorderWindow::windowFrame(window);
    RecordingBorderWindow border;
    border.show(std::nullopt, CaptureTarget::custom(ContentFilter::forWindow(window, QRectF(shown)), ContentStyle::Window),
                OverlayState::recording);
    ASSERT_EQ(border.frame(), shown);

    // Minimized and restored in place: the border never moves.
    for (const auto &[what, act] : {std::pair{"minimized", &minimizeWindow}, {"restored", &restoreWindow}}) {
        ASSERT_TRUE(act(window)) << what;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 1000) {
            spinFor(10);
            ASSERT_EQ(border.frame(), shown) << what << ", after " << clock.elapsed() << " ms";
        }
    }
    apps.move(window, 500, 300); // back, and moved: followed
    ASSERT_TRUE(spinUntil([&] {
        const auto now = RecordingBorderWindow::windowFrame(window);
        return now && *now != shown && border.frame() == *now;
    }, 2000));
    border.hide();
}
