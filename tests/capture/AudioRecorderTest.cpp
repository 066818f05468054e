// Microphone and system-audio capture against the rig's sound server: null sinks "speaker"
// (default) and "micfeed", and the source "mic" remapped from micfeed's monitor.
#include "capture/AudioRecorder.h"
#include "capture/MicrophoneDevices.h"
#include "capture/SystemAudioCapture.h"
#include "support/AwaitTask.h"
#include "support/PrivateSoundServer.h"
#include "support/TestEnvironment.h"
#include "support/ToneAnalysis.h"

#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using namespace lumacast;
using lumacast::testing::runProcess;

namespace {

// A serial queue on its own thread, as the screen recorder's sample queue is.
class SerialQueue {
public:
    SerialQueue() : m_thread([this] { run(); }) {}
    ~SerialQueue()
    {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    SampleQueueDispatch dispatch()
    {
        return [this](std::function<void()> work) {
            {
                std::lock_guard lock(m_mutex);
                m_work.push_back(std::move(work));
            }
            m_wake.notify_all();
        };
    }
    std::thread::id threadId() const { return m_thread.get_id(); }

private:
    void run()
    {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [&] { return m_quit || !m_work.empty(); });
                if (m_work.empty())
                    return;
                work = std::move(m_work.front());
                m_work.pop_front();
            }
            work();
        }
    }
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    bool m_quit = false;
    std::thread m_thread;
};

struct Collected {
    std::mutex mutex;
    std::vector<float> firstChannel;
    int sampleRate = 0;
    bool offQueue = false;

    PulseCapture::SampleCallback callback(std::thread::id queueThread)
    {
        return [this, queueThread](const AudioPacket &p) {
            std::lock_guard lock(mutex);
            offQueue = offQueue || std::this_thread::get_id() != queueThread;
            sampleRate = p.sampleRate;
            for (std::size_t i = 0; i < p.frameCount(); ++i)
                firstChannel.push_back(p.samples[i * std::size_t(p.channels)]);
        };
    }
};

pulse::SourceInfo source(const QString &name, bool monitor = false, bool unplugged = false)
{
    pulse::SourceInfo s;
    s.name = name;
    s.description = name.toUpper();
    s.isMonitor = monitor;
    s.unplugged = unplugged;
    s.sampleRate = 48000;
    s.channels = 2;
    return s;
}

} // namespace

TEST(MicOption, ListAndSelectionRules)
{
    const std::vector<pulse::SourceInfo> sources{source("usb"), source("speaker.monitor", true),
                                                 source("headset", false, true), source("builtin")};
    const auto options = MicOption::fromSources(sources);
    // Monitors and unplugged inputs are not microphones; the server's order stays.
    ASSERT_EQ(options.size(), 2);
    EXPECT_EQ(options[0], (MicOption{"usb", "USB"}));
    EXPECT_EQ(options[1], (MicOption{"builtin", "BUILTIN"}));

    EXPECT_EQ(MicOption::resolveSelectedID(QStringLiteral("builtin"), options), QStringLiteral("builtin"));
    EXPECT_EQ(MicOption::resolveSelectedID(QStringLiteral("gone"), options), std::nullopt);
    EXPECT_EQ(MicOption::resolveSelectedID(std::nullopt, options), std::nullopt);
    EXPECT_EQ(MicOption::resolveSelectedID(QStringLiteral("usb"), {}), std::nullopt);
}

TEST(MicOption, SourceChoiceFallsBackToADefaultThatIsAMicrophone)
{
    const std::vector<pulse::SourceInfo> sources{source("speaker.monitor", true), source("usb"), source("builtin")};
    EXPECT_EQ(chooseMicrophoneSource(QStringLiteral("usb"), sources, "builtin")->name, "usb");
    EXPECT_EQ(chooseMicrophoneSource(QStringLiteral("gone"), sources, "builtin")->name, "builtin");
    EXPECT_EQ(chooseMicrophoneSource(std::nullopt, sources, "builtin")->name, "builtin");
    // A monitor as the server's default input is passed over; an explicit choice of one is not.
    EXPECT_EQ(chooseMicrophoneSource(std::nullopt, sources, "speaker.monitor")->name, "usb");
    EXPECT_EQ(chooseMicrophoneSource(QStringLiteral("speaker.monitor"), sources, "builtin")->name, "speaker.monitor");
    EXPECT_FALSE(chooseMicrophoneSource(std::nullopt, {source("speaker.monitor", true)}, "speaker.monitor"));
    EXPECT_FALSE(chooseMicrophoneSource(QStringLiteral("usb"), {}, ""));
}

TEST(MicOption, AvailableMicrophonesListsTheRigMicrophoneButNoMonitor)
{
    const auto options = MicOption::availableMicrophones();
    EXPECT_TRUE(options.contains(MicOption{"mic", "VirtualMic"}));
    for (const auto &option : options)
        EXPECT_FALSE(option.id.endsWith(".monitor")) << option.id.toStdString();
}

TEST(AudioRecorder, RecordsTheMicrophoneToneOnTheSampleQueue)
{
    SerialQueue queue;
    AudioRecorder recorder(queue.dispatch());
    recorder.stop(); // before any start
    EXPECT_FALSE(recorder.inputFormat().has_value());

    std::atomic<int> beforeConnect{0};
    recorder.start(QStringLiteral("mic"));
    ASSERT_TRUE(recorder.isRunning());
    EXPECT_EQ(recorder.deviceID(), QStringLiteral("mic"));
    const auto format = recorder.inputFormat();
    ASSERT_TRUE(format.has_value());
    EXPECT_GT(format->first, 0);
    EXPECT_GT(format->second, 0);

    Collected collected;
    {
        lumacast::testing::TonePlayer tone(QStringLiteral("micfeed"), 440, 4);
        // Buffers before a take connects the recorder are dropped; then they flow.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(beforeConnect.load(), 0);
        recorder.setOnSample(collected.callback(queue.threadId()));
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        recorder.stop();
    }
    recorder.stop(); // twice

    std::lock_guard lock(collected.mutex);
    EXPECT_FALSE(collected.offQueue);
    ASSERT_EQ(collected.sampleRate, int(format->first));
    const auto stretch = lumacast::testing::loudestStretch(collected.firstChannel, std::size_t(collected.sampleRate / 2));
    EXPECT_NEAR(lumacast::testing::dominantFrequency(stretch, collected.sampleRate), 440, 10);
    EXPECT_GT(lumacast::testing::toneAmplitude(stretch, collected.sampleRate, 440), 0.08);
}

TEST(AudioRecorder, UnknownDeviceFallsBackToTheDefaultMicrophone)
{
    AudioRecorder recorder(nullptr);
    recorder.start(QStringLiteral("unplugged-long-ago"));
    EXPECT_TRUE(recorder.isRunning());
    const auto microphones = MicOption::availableMicrophones();
    const auto recorded = std::find_if(microphones.begin(), microphones.end(),
                                       [&](const MicOption &m) { return m.id == recorder.deviceID(); });
    ASSERT_NE(recorded, microphones.end()) << recorder.deviceID().toStdString();
    // What the status card names when no microphone is chosen is what such a take records.
    EXPECT_EQ(MicOption::defaultMicrophoneName(), recorded->name);
    recorder.stop();
    EXPECT_FALSE(recorder.isRunning());
}

TEST(AudioRecorder, NoServerIsAnErrorAndStopStaysSafe)
{
    const QByteArray saved = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:/nonexistent/lumacast-no-server");
    AudioRecorder recorder(nullptr);
    EXPECT_THROW(recorder.start(std::nullopt), pulse::PulseError);
    recorder.stop();
    EXPECT_FALSE(recorder.isRunning());
    EXPECT_FALSE(recorder.inputFormat().has_value());
    if (saved.isEmpty())
        qunsetenv("PULSE_SERVER");
    else
        qputenv("PULSE_SERVER", saved);
}

TEST(SystemAudioCapture, RecordsWhatTheDefaultOutputPlays)
{
    SerialQueue queue;
    SystemAudioCapture capture(queue.dispatch());
    Collected collected;
    capture.setOnSample(collected.callback(queue.threadId()));
    capture.start();
    EXPECT_EQ(capture.sourceName(), QStringLiteral("speaker.monitor"));
    {
        lumacast::testing::TonePlayer tone(QStringLiteral("speaker"), 660, 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    }
    capture.stop();
    capture.stop();

    std::lock_guard lock(collected.mutex);
    EXPECT_FALSE(collected.offQueue);
    ASSERT_GT(collected.firstChannel.size(), std::size_t(collected.sampleRate / 2));
    const auto stretch = lumacast::testing::loudestStretch(collected.firstChannel, std::size_t(collected.sampleRate / 2));
    EXPECT_NEAR(lumacast::testing::dominantFrequency(stretch, collected.sampleRate), 660, 10);
    EXPECT_NEAR(lumacast::testing::toneAmplitude(stretch, collected.sampleRate, 660), 0.125, 0.04);
}

TEST(MicrophoneDevices, FollowsAMicrophoneBeingPluggedInAndOut)
{
    MicrophoneDevices devices;
    int changes = 0;
    QObject::connect(&devices, &MicrophoneDevices::microphonesChanged, [&] { ++changes; });
    auto waitForChange = [&](int target, int timeoutMs = 5000) {
        QEventLoop loop;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
            if (changes >= target)
                loop.quit();
        });
        timer.start(20);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
        return changes >= target;
    };
    auto has = [&](const QString &id) {
        const auto list = devices.microphones();
        return std::any_of(list.begin(), list.end(), [&](const MicOption &m) { return m.id == id; });
    };
    ASSERT_TRUE(has(QStringLiteral("mic")));

    const auto load = runProcess(QStringLiteral("pactl"),
                                 {QStringLiteral("load-module"), QStringLiteral("module-remap-source"),
                                  QStringLiteral("source_name=plugged"), QStringLiteral("master=micfeed.monitor"),
                                  QStringLiteral("source_properties=device.description=Plugged")});
    ASSERT_TRUE(load.ok()) << load.err.constData();
    EXPECT_TRUE(waitForChange(1));
    EXPECT_TRUE(has(QStringLiteral("plugged")));
    const int afterPlug = changes;

    ASSERT_TRUE(runProcess(QStringLiteral("pactl"), {QStringLiteral("unload-module"), QString::fromUtf8(load.out).trimmed()}).ok());
    EXPECT_TRUE(waitForChange(afterPlug + 1));
    EXPECT_FALSE(has(QStringLiteral("plugged")));

    // Starting a capture changes a source's state but not the list: no signal.
    const int settled = changes;
    AudioRecorder recorder(nullptr);
    recorder.start(QStringLiteral("mic"));
    recorder.stop();
    EXPECT_FALSE(waitForChange(settled + 1, 1000));
}

// The sound server goes away and comes back (a crash, an update, a restart), or is not there yet
// when the list is first made: the list follows it, without a new launch.
TEST(MicrophoneDevices, FollowTheSoundServerWhenItComesBack)
{
    struct Row {
        const char *name;
        bool answersAtFirst;
    };
    const Row rows[] = {{"restarted", true}, {"started after the list was made", false}};
    const QList<MicOption> own{MicOption{QStringLiteral("own"), QStringLiteral("OwnMic")}};
    if (!lumacast::testing::PrivateSoundServer::installed())
        GTEST_SKIP() << "needs pulseaudio and pactl";
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        lumacast::testing::PrivateSoundServer server(
            {QStringLiteral("module-null-sink sink_name=out"),
             QStringLiteral("module-null-source source_name=own description=OwnMic")});
        ASSERT_TRUE(server.ready()) << server.reason().toStdString();
        if (!row.answersAtFirst)
            server.kill();
        MicrophoneDevices devices;
        int changes = 0;
        QObject::connect(&devices, &MicrophoneDevices::microphonesChanged, [&] { ++changes; });
        if (row.answersAtFirst) {
            EXPECT_EQ(devices.microphones(), own);
            server.kill();
            EXPECT_TRUE(lumacast::testing::waitUntil([&] { return devices.microphones().isEmpty(); }));
        }
        EXPECT_TRUE(devices.microphones().isEmpty());
        // Long enough for a try or two against no server at all.
        lumacast::testing::waitUntil([] { return false; }, 3000);
        ASSERT_TRUE(server.start());
        EXPECT_TRUE(lumacast::testing::waitUntil([&] { return devices.microphones() == own; }, 10000));
        EXPECT_EQ(changes, row.answersAtFirst ? 2 : 1);
    }
}
