// Against the rig's private sound server: null sinks "speaker" (default) and "micfeed", and the
// source "mic" remapped from micfeed's monitor.
#include "platform/audio/PulseAudio.h"
#include "platform/audio/PulseCapture.h"
#include "support/TestEnvironment.h"
#include "support/ToneAnalysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace lumacast;
using namespace lumacast::pulse;
using lumacast::testing::runProcess;

namespace {

const SourceInfo *findSource(const std::vector<SourceInfo> &sources, const QString &name)
{
    auto it = std::find_if(sources.begin(), sources.end(), [&](const SourceInfo &s) { return s.name == name; });
    return it == sources.end() ? nullptr : &*it;
}

// Collects packets from a capture, thread-safely.
struct Recording {
    std::mutex mutex;
    std::vector<AudioPacket> packets;

    void add(const AudioPacket &p)
    {
        std::lock_guard lock(mutex);
        packets.push_back(p);
    }
    std::vector<float> firstChannel()
    {
        std::lock_guard lock(mutex);
        std::vector<float> mono;
        for (const auto &p : packets)
            for (std::size_t i = 0; i < p.frameCount(); ++i)
                mono.push_back(p.samples[i * std::size_t(p.channels)]);
        return mono;
    }
};

} // namespace

TEST(PulseConnection, ListsSourcesAndTellsMonitorsApart)
{
    auto connection = PulseConnection::open();
    const auto sources = connection->sources();
    const SourceInfo *mic = findSource(sources, QStringLiteral("mic"));
    ASSERT_NE(mic, nullptr);
    EXPECT_FALSE(mic->isMonitor);
    EXPECT_EQ(mic->description, QStringLiteral("VirtualMic"));
    EXPECT_GT(mic->sampleRate, 0);
    EXPECT_GT(mic->channels, 0);
    const SourceInfo *monitor = findSource(sources, QStringLiteral("speaker.monitor"));
    ASSERT_NE(monitor, nullptr);
    EXPECT_TRUE(monitor->isMonitor);

    EXPECT_EQ(connection->defaultSinkMonitorName(), QStringLiteral("speaker.monitor"));
    ASSERT_TRUE(connection->source(QStringLiteral("mic")).has_value());
    EXPECT_FALSE(connection->source(QStringLiteral("no-such-source")).has_value());
}

TEST(PulseConnection, AbsentServerIsAnErrorNotAHang)
{
    EXPECT_TRUE(serverAnswers());
    const QByteArray saved = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:/nonexistent/lumacast-no-server");
    EXPECT_FALSE(serverAnswers(1000));
    EXPECT_THROW(PulseConnection::open(1000), PulseError);
    if (saved.isEmpty())
        qunsetenv("PULSE_SERVER");
    else
        qputenv("PULSE_SERVER", saved);
}

TEST(PulseConnection, ReportsSourcesComingAndGoing)
{
    auto connection = PulseConnection::open();
    std::mutex mutex;
    std::condition_variable changed;
    int events = 0;
    connection->watchSources([&] {
        std::lock_guard lock(mutex);
        ++events;
        changed.notify_all();
    });
    auto waitForEvent = [&] {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return events > 0; });
    };

    const auto load = runProcess(QStringLiteral("pactl"),
                                 {QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                                  QStringLiteral("source_name=hotplugmic"), QStringLiteral("master=micfeed.monitor")});
    ASSERT_TRUE(load.ok()) << load.err.constData();
    const QString module = QString::fromUtf8(load.out).trimmed();
    EXPECT_TRUE(waitForEvent());
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let the burst of events pass
    EXPECT_TRUE(connection->source(QStringLiteral("hotplugmic")).has_value());

    {
        std::lock_guard lock(mutex);
        events = 0;
    }
    ASSERT_TRUE(runProcess(QStringLiteral("pactl"), {QStringLiteral("unload-module"), module}).ok());
    EXPECT_TRUE(waitForEvent());
    EXPECT_FALSE(connection->source(QStringLiteral("hotplugmic")).has_value());
}

TEST(PulseCapture, CapturesToneFromMicrophoneWithMonotonicTimestamps)
{
    PulseCapture capture(nullptr);
    auto mic = capture.connection()->source(QStringLiteral("mic"));
    ASSERT_TRUE(mic.has_value());

    Recording recording;
    capture.setOnSample([&](const AudioPacket &p) { recording.add(p); });
    const qint64 before = monotonicNanoseconds();
    capture.start(*mic);
    ASSERT_TRUE(capture.isRunning());
    ASSERT_TRUE(capture.inputFormat().has_value());
    EXPECT_EQ(capture.inputFormat()->first, double(mic->sampleRate));
    EXPECT_EQ(capture.inputFormat()->second, mic->channels);
    {
        lumacast::testing::TonePlayer tone(QStringLiteral("micfeed"), 440, 3.5);
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    }
    capture.stop();
    const qint64 after = monotonicNanoseconds();
    EXPECT_FALSE(capture.isRunning());

    std::vector<qint64> stamps;
    {
        std::lock_guard lock(recording.mutex);
        ASSERT_FALSE(recording.packets.empty());
        for (const auto &p : recording.packets) {
            EXPECT_EQ(p.sampleRate, mic->sampleRate);
            EXPECT_EQ(p.channels, mic->channels);
            stamps.push_back(p.monotonicNs);
        }
    }
    // Stamped on the frames' clock: inside the capture window give or take the server's latency
    // (a monitor's latency may be negative: it hands out what the sink is about to play), and
    // moving forward. The one step back allowed is a re-anchoring: on a loaded machine the
    // reading the stamps were counted from can come late, and a later, earlier reading corrects
    // it (the writer lays the overlap over what it has, which keeps picture and sound together).
    EXPECT_GT(stamps.front(), before - 500'000'000);
    EXPECT_LT(stamps.back(), after + 500'000'000);
    int stepsBack = 0;
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        if (stamps[i] < stamps[i - 1]) {
            ++stepsBack;
            EXPECT_LT(stamps[i - 1] - stamps[i], 300'000'000) << "at packet " << i;
        }
    }
    EXPECT_LE(stepsBack, 2);

    const auto stretch = lumacast::testing::loudestStretch(recording.firstChannel(), std::size_t(mic->sampleRate / 2));
    EXPECT_NEAR(lumacast::testing::dominantFrequency(stretch, mic->sampleRate), 440, 10);
    // ffmpeg's sine is at 1/8 of full scale.
    EXPECT_NEAR(lumacast::testing::toneAmplitude(stretch, mic->sampleRate, 440), 0.125, 0.04);
}

TEST(PulseCapture, StopIsSafeInAnyStateAndEndsDelivery)
{
    std::atomic<int> delivered{0};
    PulseCapture capture([](std::function<void()> work) { work(); });
    capture.stop(); // never started
    capture.setOnSample([&](const AudioPacket &) { ++delivered; });
    EXPECT_FALSE(capture.inputFormat().has_value());

    auto monitor = capture.connection()->source(capture.connection()->defaultSinkMonitorName());
    ASSERT_TRUE(monitor.has_value());
    capture.start(*monitor);
    {
        // An idle null sink renders nothing, so give its monitor something to carry.
        lumacast::testing::TonePlayer tone(QStringLiteral("speaker"), 660, 6);
        for (int i = 0; i < 50 && delivered.load() < 5; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        capture.stop();
    }
    const int afterStop = delivered.load();
    EXPECT_GT(afterStop, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(delivered.load(), afterStop);
    capture.stop();

    SourceInfo bogus;
    bogus.name = QStringLiteral("no-such-source");
    bogus.sampleRate = 48000;
    bogus.channels = 2;
    EXPECT_THROW(capture.start(bogus), PulseError);
    EXPECT_FALSE(capture.isRunning());
    capture.stop();
}

TEST(PulseCapture, HandlerMayStopTheCaptureItself)
{
    auto capture = std::make_unique<PulseCapture>(nullptr);
    auto monitor = capture->connection()->source(capture->connection()->defaultSinkMonitorName());
    ASSERT_TRUE(monitor.has_value());
    std::atomic<int> delivered{0};
    capture->setOnSample([&](const AudioPacket &) {
        if (++delivered == 1)
            capture->stop();
    });
    capture->start(*monitor);
    lumacast::testing::TonePlayer tone(QStringLiteral("speaker"), 660, 6);
    for (int i = 0; i < 50 && delivered.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(delivered.load(), 1);
    EXPECT_FALSE(capture->isRunning());
}
