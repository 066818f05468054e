// The recorder's callbacks reach the state manager on the main thread, one stream error at a time.
#include "capture/RecorderCallbackRelay.h"
#include "model/LogCategories.h"
#include "support/LogCapture.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <qcoro/qcorotimer.h>

#include <gtest/gtest.h>

#include <thread>

using namespace lumacast;

namespace {

class FakeStateManager : public StateManagerCallbacks {
public:
    QStringList endedFor;
    std::vector<bool> overlayUpdates;
    bool calledOffMain = false;
    int handlingMs = 100;

    QCoro::Task<> endTakeAfterStreamError(QString description) override
    {
        note();
        endedFor << description;
        co_await QCoro::sleepFor(std::chrono::milliseconds(handlingMs));
    }
    void updateWebcamOverlayVisibility(bool active) override
    {
        note();
        overlayUpdates.push_back(active);
    }

private:
    void note() { calledOffMain = calledOffMain || QThread::currentThread() != qApp->thread(); }
};

void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

TEST(RecorderCallbackRelay, StreamErrorsHopToTheMainThreadAndRepeatsAreIgnored)
{
    lumacast::testing::LogCapture appLog(lumacast::log::app().categoryName());

    FakeStateManager manager;
    RecorderCallbackRelay relay(manager);
    const auto onStreamError = relay.onStreamErrorCallback();

    onStreamError(Error(QStringLiteral("display gone")));
    EXPECT_TRUE(manager.endedFor.isEmpty()); // never inline
    std::thread sampleQueue([&] { onStreamError(Error(QStringLiteral("disk full"))); });
    sampleQueue.join();
    spin(30);
    EXPECT_TRUE(relay.isHandlingStreamError());
    spin(200);
    EXPECT_FALSE(relay.isHandlingStreamError());
    EXPECT_EQ(manager.endedFor, QStringList{"display gone"});

    // Once the first is handled, the next error ends a take again.
    onStreamError(Error(QStringLiteral("connection lost")));
    spin(200);
    EXPECT_EQ(manager.endedFor, (QStringList{"display gone", "connection lost"}));
    EXPECT_FALSE(manager.calledOffMain);

    EXPECT_EQ(appLog.texts(), (QStringList{"[app] stream error: display gone", "[app] stream error: disk full",
                                  "[app] stream error ignored — already handling one",
                                  "[app] stream error: connection lost"}));
}

TEST(RecorderCallbackRelay, VideoEffectChangesReachTheOverlayOnTheMainThread)
{
    FakeStateManager manager;
    RecorderCallbackRelay relay(manager);
    const auto onVideoEffectChanged = relay.onVideoEffectChangedCallback();
    std::thread stream([&] {
        onVideoEffectChanged(true);
        onVideoEffectChanged(false);
    });
    stream.join();
    EXPECT_TRUE(manager.overlayUpdates.empty());
    spin(20);
    EXPECT_EQ(manager.overlayUpdates, (std::vector<bool>{true, false}));
    EXPECT_FALSE(manager.calledOffMain);
}

TEST(RecorderCallbackRelay, ClosuresOutlivingTheRelayDoNothing)
{
    FakeStateManager manager;
    std::function<void(const Error &)> onStreamError;
    std::function<void(bool)> onVideoEffectChanged;
    {
        RecorderCallbackRelay relay(manager);
        onStreamError = relay.onStreamErrorCallback();
        onVideoEffectChanged = relay.onVideoEffectChangedCallback();
        onStreamError(Error(QStringLiteral("queued before the relay went away")));
    }
    onStreamError(Error(QStringLiteral("late")));
    onVideoEffectChanged(true);
    spin(20);
    EXPECT_TRUE(manager.endedFor.isEmpty());
    EXPECT_TRUE(manager.overlayUpdates.empty());
}
