// Hiding the cursor in the recording while the mouse rests.
#include "capture/CursorAutoHide.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <thread>
#include <vector>

using lumacast::CursorAutoHide;

namespace {

struct FakeStream {
    QPointF mouse{100, 100};
    double now = 1000.0;
    bool running = true;
    std::vector<bool> applied; // every live update of the shows-cursor flag

    CursorAutoHide::Hooks hooks()
    {
        return CursorAutoHide::Hooks{
            [this] { return std::optional<QPointF>(mouse); },
            [this] { return now; },
            [this] { return running; },
            [this](bool shows) { applied.push_back(shows); },
        };
    }
};

void drainEvents()
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

TEST(CursorAutoHide, HidesAfterTheDelayAndShowsOnMovement)
{
    FakeStream s;
    CursorAutoHide hide(true, 2.0, s.hooks());
    hide.startCursorTimer();
    EXPECT_TRUE(hide.isCursorShown());
    EXPECT_TRUE(hide.isTimerRunning());

    // Jitter of 0.1 or less on both axes is rest.
    s.mouse += QPointF(0.1, -0.1);
    s.now += 1.75;
    hide.cursorTick();
    EXPECT_TRUE(hide.isCursorShown());
    s.now += 0.25; // exactly the delay
    hide.cursorTick();
    EXPECT_FALSE(hide.isCursorShown());
    EXPECT_EQ(s.applied, std::vector<bool>{false});

    // Still resting: no further update of the stream.
    s.now += 0.25;
    hide.cursorTick();
    EXPECT_EQ(s.applied.size(), 1u);

    // A movement shows it at the next check and restarts the idle time.
    s.mouse += QPointF(0.0, 0.2);
    s.now += 0.25;
    hide.cursorTick();
    EXPECT_TRUE(hide.isCursorShown());
    EXPECT_EQ(s.applied, (std::vector<bool>{false, true}));
    EXPECT_EQ(hide.lastMouseLocation(), s.mouse);
    s.now += 1.9;
    hide.cursorTick();
    EXPECT_TRUE(hide.isCursorShown());
    s.now += 0.1;
    hide.cursorTick();
    EXPECT_FALSE(hide.isCursorShown());
}

TEST(CursorAutoHide, SwitchOffWhileHiddenShowsAtOnceAndStopsTheTimer)
{
    FakeStream s;
    CursorAutoHide hide(true, 0.5, s.hooks());
    hide.startCursorTimer();
    s.now += 0.5;
    hide.cursorTick();
    ASSERT_FALSE(hide.isCursorShown());
    hide.setCursorAutoHide(false);
    EXPECT_TRUE(hide.isEnabled()); // queued: nothing before the event loop runs
    drainEvents();
    EXPECT_FALSE(hide.isEnabled());
    EXPECT_TRUE(hide.isCursorShown());
    EXPECT_FALSE(hide.isTimerRunning());
    EXPECT_EQ(s.applied, (std::vector<bool>{false, true}));
}

TEST(CursorAutoHide, SwitchWithoutStreamOnlyStoresTheValue)
{
    FakeStream s;
    s.running = false;
    CursorAutoHide hide(false, 2.0, s.hooks());
    hide.setCursorAutoHide(true);
    hide.setCursorHideDelay(4.5);
    drainEvents();
    EXPECT_TRUE(hide.isEnabled());
    EXPECT_EQ(hide.delay(), 4.5);
    EXPECT_FALSE(hide.isTimerRunning());
    // A visibility change without a stream only updates the flag.
    hide.setCursorVisible(false);
    EXPECT_FALSE(hide.isCursorShown());
    EXPECT_TRUE(s.applied.empty());
}

TEST(CursorAutoHide, SwitchOnDuringATakeStartsFromTheCurrentPosition)
{
    FakeStream s;
    CursorAutoHide hide(false, 2.0, s.hooks());
    s.mouse = QPointF(640, 360);
    hide.setCursorAutoHide(true);
    drainEvents();
    EXPECT_TRUE(hide.isTimerRunning());
    EXPECT_TRUE(hide.isCursorShown());
    EXPECT_EQ(hide.lastMouseLocation(), QPointF(640, 360));
    hide.stopCursorTimer();
    EXPECT_FALSE(hide.isTimerRunning());
    EXPECT_TRUE(s.applied.empty()); // stopping leaves the stream alone
}

TEST(CursorAutoHide, SettersFromAnotherThreadTakeEffectOnTheMainThread)
{
    FakeStream s;
    s.running = false;
    CursorAutoHide hide(true, 2.0, s.hooks());
    std::thread other([&] {
        hide.setCursorHideDelay(7.0);
        hide.setCursorAutoHide(false);
    });
    other.join();
    drainEvents();
    EXPECT_EQ(hide.delay(), 7.0);
    EXPECT_FALSE(hide.isEnabled());
}

TEST(CursorAutoHide, RealTimerHidesWithinACheckOfTheDelay)
{
    FakeStream s;
    CursorAutoHide::Hooks hooks = s.hooks();
    hooks.now = CursorAutoHide::monotonicClock();
    CursorAutoHide hide(true, 0.5, hooks);
    QElapsedTimer elapsed;
    elapsed.start();
    hide.startCursorTimer();
    while (hide.isCursorShown() && elapsed.elapsed() < 3000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    EXPECT_FALSE(hide.isCursorShown());
    EXPECT_GE(elapsed.elapsed(), 500);
    EXPECT_LE(elapsed.elapsed(), 900);
}

} // namespace
