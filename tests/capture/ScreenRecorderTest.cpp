// The screen recorder: its filter step, and real takes against the rig's X server and sound server.
#include "capture/CursorAutoHide.h"
#include "capture/ScreenRecorder.h"
#include "model/LogCategories.h"

#include "support/WindowManager.h"
#include "support/XcbTestWindows.h"
#include "TakeTestSupport.h"
#include "support/AwaitTask.h"
#include "support/ToneAnalysis.h"
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include <qcoro/qcorotask.h>

#include <csignal>

#include <atomic>
#include <cmath>
#include <mutex>
#include <utility>

using namespace lumacast;
using lumacast::testing::minimizeWindow;
using lumacast::testing::restoreWindow;
using lumacast::testing::WindowManager;
using lumacast::testing::XcbTestWindows;
using lumacast::testing::runProcess;
using lumacast::testing::runTask;
using lumacast::taketest::probe;

namespace {

// Collects the lines logged to the "recorder" category while it lives.
class RecorderLog {
public:
    RecorderLog()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&RecorderLog::handler);
    }
    ~RecorderLog()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    QStringList lines() const
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    bool contains(const QString &text) const
    {
        const auto all = lines();
        return std::any_of(all.begin(), all.end(), [&](const QString &l) { return l.contains(text); });
    }

private:
    static void handler(QtMsgType, const QMessageLogContext &context, const QString &message)
    {
        if (s_current && context.category && QByteArray(context.category).endsWith(".recorder")) {
            std::lock_guard lock(s_current->m_mutex);
            s_current->m_lines << message;
        }
    }
    static inline RecorderLog *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

x11::ShareableContent fakeContent()
{
    x11::ShareableContent c;
    c.displays = {x11::DisplayInfo{11, QStringLiteral("DP-1"), QRect(0, 0, 1512, 982), true},
                  x11::DisplayInfo{12, QStringLiteral("HDMI-1"), QRect(1512, 0, 1441, 900), false}};
    x11::WindowInfo overlay;
    overlay.id = 0x5000001;
    x11::WindowInfo other;
    other.id = 0x6000001;
    c.windows = {overlay, other};
    c.applications = {x11::ApplicationInfo{uint32_t(getpid()), QStringLiteral("Lumacast")}};
    return c;
}

TEST(ScreenRecorderFilter, PreferredDisplayOrTheFirst)
{
    ScreenRecorder recorder(false, 2.0);
    RecorderLog log;
    auto chosen = runTask(recorder.makeFilterAndConfiguration(fakeContent(), 12u, std::nullopt, false, {}));
    EXPECT_EQ(chosen.displayID, 12u);
    EXPECT_EQ(chosen.configuration.width, 1441); // odd sizes of a whole display are kept
    EXPECT_EQ(chosen.configuration.height, 900);
    auto fallback = runTask(recorder.makeFilterAndConfiguration(fakeContent(), 99u, std::nullopt, false, {}));
    EXPECT_EQ(fallback.displayID, 11u);
    EXPECT_TRUE(log.contains(QStringLiteral("recording display 11 (1512x982), preferred=99")));
    auto none = runTask(recorder.makeFilterAndConfiguration(fakeContent(), std::nullopt, std::nullopt, false, {}));
    EXPECT_EQ(none.displayID, 11u);
    EXPECT_TRUE(log.contains(QStringLiteral("preferred=0")));
}

TEST(ScreenRecorderFilter, NoDisplayFailsForEveryTarget)
{
    ScreenRecorder recorder(false, 2.0);
    auto content = fakeContent();
    content.displays.clear();
    EXPECT_THROW(runTask(recorder.makeFilterAndConfiguration(content, std::nullopt, std::nullopt, false, {})),
                 RecorderError);
    auto filter = ContentFilter::forWindow(0x6000001, QRectF(0, 0, 100, 100));
    EXPECT_THROW(runTask(recorder.makeFilterAndConfiguration(content, std::nullopt, std::nullopt, false,
                                                           CaptureTarget::custom(filter, filter->style))),
                 RecorderError);
}

TEST(ScreenRecorderFilter, OwnWindowsLeftOutExceptTheOverlay)
{
    ScreenRecorder recorder(false, 2.0);
    const uint32_t ownPid = uint32_t(getpid());
    {
        RecorderLog log;
        auto made = runTask(recorder.makeFilterAndConfiguration(fakeContent(), std::nullopt, 0x5000001u, false, {}));
        ASSERT_TRUE(made.filter);
        EXPECT_EQ(made.filter->style, ContentStyle::Display);
        EXPECT_EQ(made.filter->excludedApplications, std::vector<uint32_t>{ownPid});
        EXPECT_EQ(made.filter->exceptingWindows, std::vector<uint32_t>{0x5000001u});
        EXPECT_FALSE(log.contains(QStringLiteral("not found")));
    }
    {
        RecorderLog log;
        auto made = runTask(recorder.makeFilterAndConfiguration(fakeContent(), std::nullopt, 0x5999999u, false, {}));
        EXPECT_TRUE(made.filter->exceptingWindows.empty());
        EXPECT_EQ(made.filter->excludedApplications, std::vector<uint32_t>{ownPid});
        EXPECT_TRUE(log.contains(QStringLiteral(
            "overlay window %1 not found in shareable content — recording screen-only").arg(0x5999999u)));
    }
    {
        RecorderLog log;
        auto made = runTask(recorder.makeFilterAndConfiguration(fakeContent(), std::nullopt, std::nullopt, false, {}));
        EXPECT_TRUE(made.filter->exceptingWindows.empty());
        EXPECT_FALSE(log.contains(QStringLiteral("overlay")));
    }
}

TEST(ScreenRecorderFilter, WindowSizesAreEvenAndSystemAudioFlagsFollow)
{
    ScreenRecorder recorder(false, 2.0);
    auto filter = std::make_shared<ContentFilter>();
    filter->style = ContentStyle::Window;
    filter->includedWindows = {0x7ffff01}; // not on any server: its picked rectangle counts
    filter->contentRect = QRectF(5, 5, 1001.5, 700.2);
    filter->pointPixelScale = 2.0;
    auto made = runTask(recorder.makeFilterAndConfiguration(fakeContent(), std::nullopt, std::nullopt, true,
                                                          CaptureTarget::custom(filter, filter->style)));
    EXPECT_EQ(made.filter, filter);
    EXPECT_EQ(made.configuration.width, 2002);
    EXPECT_EQ(made.configuration.height, 1400);
    EXPECT_TRUE(made.configuration.capturesAudio);
    EXPECT_TRUE(made.configuration.excludesCurrentProcessAudio);
    EXPECT_TRUE(made.configuration.showsCursor);
    EXPECT_EQ(made.configuration.framesPerSecond(), 60);
    EXPECT_EQ(made.configuration.pixelFormat, 0x42475241u);

    filter->contentRect = QRectF(0, 0, 0.4, 0.4);
    filter->pointPixelScale = 1.0;
    made = runTask(recorder.makeFilterAndConfiguration(fakeContent(), std::nullopt, std::nullopt, false,
                                                     CaptureTarget::custom(filter, filter->style)));
    EXPECT_EQ(made.configuration.width, 2);
    EXPECT_EQ(made.configuration.height, 2);
    EXPECT_FALSE(made.configuration.capturesAudio);
}

TEST(ScreenRecorderStop, WithoutAStreamReturnsNothing)
{
    ScreenRecorder recorder(false, 2.0);
    RecorderLog log;
    EXPECT_FALSE(runTask(recorder.stopRecording()).has_value());
    EXPECT_TRUE(log.contains(QStringLiteral("stop: stream=false writer=false")));
}

// ---- Real takes: the rig's X server and PulseAudio server ----

constexpr uint32_t kRed = 0xdd2211, kGreen = 0x22cc33, kBlue = 0x2244ee, kYellow = 0xeedd22;
constexpr uint32_t kPattern[4] = {kRed, kGreen, kBlue, kYellow};

struct DecodedFrame {
    int width = 0;
    int height = 0;
    QByteArray rgb;
    uint32_t at(int x, int y) const
    {
        const auto *p = reinterpret_cast<const uint8_t *>(rgb.constData()) + (size_t(y) * width + x) * 3;
        return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
    }
};

bool near(uint32_t a, uint32_t b, int tolerance = 28)
{
    for (int shift : {16, 8, 0}) {
        if (std::abs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)) > tolerance)
            return false;
    }
    return true;
}

DecodedFrame decodeFrame(const QString &movie, double at, int width, int height)
{
    const auto r = runProcess(QStringLiteral("ffmpeg"),
                              {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-ss"), QString::number(at),
                               QStringLiteral("-i"), movie, QStringLiteral("-frames:v"), QStringLiteral("1"),
                               QStringLiteral("-f"), QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"),
                               QStringLiteral("rgb24"), QStringLiteral("-")});
    DecodedFrame f;
    if (r.ok() && r.out.size() == qsizetype(width) * height * 3) {
        f.width = width;
        f.height = height;
        f.rgb = r.out;
    }
    return f;
}

// Mono float samples of one audio track, at 48 kHz.
std::vector<float> decodeAudio(const QString &movie, int audioTrack)
{
    const auto r = runProcess(QStringLiteral("ffmpeg"),
                              {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), movie,
                               QStringLiteral("-map"), QStringLiteral("0:a:%1").arg(audioTrack), QStringLiteral("-ac"),
                               QStringLiteral("1"), QStringLiteral("-ar"), QStringLiteral("48000"), QStringLiteral("-f"),
                               QStringLiteral("f32le"), QStringLiteral("-")});
    std::vector<float> samples(size_t(r.out.size()) / sizeof(float));
    std::memcpy(samples.data(), r.out.constData(), samples.size() * sizeof(float));
    return samples;
}

// Power at one frequency relative to the stretch's total power: 1 for a pure tone.
double toneShare(const std::vector<float> &stretch, double frequency)
{
    const double level = lumacast::testing::rms(stretch);
    if (level <= 0)
        return 0;
    const double ratio = lumacast::testing::toneAmplitude(stretch, 48000, frequency) / (std::sqrt(2.0) * level);
    return ratio * ratio;
}

class ScreenRecorderTake : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs an X server (DISPLAY)";
        if (!runProcess(QStringLiteral("pactl"), {QStringLiteral("info")}).ok())
            GTEST_SKIP() << "needs a PulseAudio server";
        ASSERT_TRUE(dir.isValid());
    }

    void pump(int ms)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
    }

    std::optional<ScreenRecorder::Recording> take(ScreenRecorder &recorder, const CaptureTarget &target,
                                                  bool systemAudio, int ms, const std::function<void(int)> &during = {})
    {
        recorder.prepareMicrophone(std::nullopt);
        auto made = runTask(recorder.makeFilterAndConfiguration(std::nullopt, std::nullopt, std::nullopt, systemAudio, target));
        runTask(recorder.startRecording(movie(), made.displayID, made.filter, made.configuration));
        EXPECT_TRUE(recorder.isRecording());
        for (int elapsed = 0; elapsed < ms; elapsed += 100) {
            pump(100);
            if (during)
                during(elapsed + 100);
        }
        return runTask(recorder.stopRecording());
    }

    QString movie() const { return dir.filePath(QStringLiteral("take.mov")); }

    QTemporaryDir dir;
};

TEST_F(ScreenRecorderTake, WindowTakeShowsThePatternFollowsMovesAndCarriesTheTone)
{
    XcbTestWindows windows;
    const xcb_window_t w = windows.quadrants(QRect(300, 200, 320, 240), kPattern);
    pump(100);

    // A 1 kHz tone into the speaker whose monitor is the system audio.
    const QString wav = dir.filePath(QStringLiteral("tone.wav"));
    ASSERT_TRUE(runProcess(QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"),
                                                     QStringLiteral("lavfi"), QStringLiteral("-i"),
                                                     QStringLiteral("sine=frequency=1000:duration=8:sample_rate=48000"),
                                                     QStringLiteral("-af"), QStringLiteral("volume=0.5"), wav})
                    .ok());
    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("-d"), QStringLiteral("speaker"), wav});
    ASSERT_TRUE(player.waitForStarted());

    ScreenRecorder recorder(false, 2.0);
    auto filter = ContentFilter::forWindow(w, QRectF(300, 200, 320, 240));
    const auto result = take(recorder, CaptureTarget::custom(filter, filter->style), true, 3000, [&](int elapsed) {
        if (elapsed == 1500)
            windows.move(w, 900, 500); // followed: the recording shows the window wherever it goes
        EXPECT_EQ(recorder.capturedDisplayID(), std::nullopt); // no display's change ends it
    });
    player.kill();
    player.waitForFinished();
    ASSERT_TRUE(result);
    EXPECT_NEAR(result->duration, 3.0, 0.4);
    EXPECT_EQ(result->path, movie());
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(recorder.hasMicrophone());

    const QJsonArray streams = probe(movie()).value(QStringLiteral("streams")).toArray();
    ASSERT_EQ(streams.size(), 3); // video, microphone, system audio
    EXPECT_EQ(streams[0].toObject().value(QStringLiteral("codec_name")).toString(), QStringLiteral("h264"));
    EXPECT_EQ(streams[0].toObject().value(QStringLiteral("width")).toInt(), 320);
    EXPECT_EQ(streams[0].toObject().value(QStringLiteral("height")).toInt(), 240);
    EXPECT_EQ(streams[1].toObject().value(QStringLiteral("codec_name")).toString(), QStringLiteral("aac"));
    EXPECT_EQ(streams[2].toObject().value(QStringLiteral("codec_name")).toString(), QStringLiteral("aac"));

    for (double at : {0.8, 2.6}) {
        const DecodedFrame f = decodeFrame(movie(), at, 320, 240);
        ASSERT_EQ(f.width, 320) << at;
        EXPECT_TRUE(near(f.at(80, 60), kRed)) << at << " " << std::hex << f.at(80, 60);
        EXPECT_TRUE(near(f.at(240, 60), kGreen)) << at << " " << std::hex << f.at(240, 60);
        EXPECT_TRUE(near(f.at(80, 180), kBlue)) << at << " " << std::hex << f.at(80, 180);
        EXPECT_TRUE(near(f.at(240, 180), kYellow)) << at << " " << std::hex << f.at(240, 180);
    }

    const auto system = decodeAudio(movie(), 1);
    ASSERT_GT(system.size(), 48000u); // the sound server's capture loses about its first second
    // Count the 50 ms stretches that carry the tone cleanly at its level (1/8 full scale, halved).
    int clean = 0;
    for (size_t from = 0; from + 2400 <= system.size(); from += 2400) {
        const std::vector<float> stretch(system.begin() + long(from), system.begin() + long(from + 2400));
        const double level = lumacast::testing::rms(stretch);
        if (level > 0.02 && level < 0.2 && toneShare(stretch, 1000) > 0.9 && toneShare(stretch, 1500) < 0.05)
            ++clean;
    }
    EXPECT_GE(clean, 8) << "of " << system.size() / 2400;
}

// A steady tone into the microphone is heard without a break from where the sound server first
// delivers it up to the stop. That start may come up to 2 s after the microphone opens (the rig's
// null sink first ends the long block the player's buffer set): it is the server's, but sound
// dated from the opening rather than from its arrival lands that much too early, so the take's
// sound stops short of its picture or jumps once the server's timing catches up.
TEST_F(ScreenRecorderTake, MicrophoneToneLastsUntilTheStop)
{
    lumacast::testing::TonePlayer tone(QStringLiteral("micfeed"), 440, 12);
    ASSERT_TRUE(tone.started());
    pump(1200);
    ScreenRecorder recorder(false, 2.0);
    ASSERT_TRUE(take(recorder, CaptureTarget::wholeScreen(), false, 3000));
    const double pictureEnd = probe(movie()).value(QStringLiteral("streams")).toArray()[0].toObject()
                                  .value(QStringLiteral("duration")).toString().toDouble();
    const auto mic = decodeAudio(movie(), 0);
    // Short of the picture's end the sound may lack the 20 ms capture fragment in flight at the
    // stop, the last video frame's 17 ms and one AAC frame's 23 ms of rounding: 60 ms.
    const auto end = size_t(std::max(pictureEnd - 0.060, 0.0) * 48000);
    ASSERT_GE(mic.size(), end) << "the sound ends " << pictureEnd - double(mic.size()) / 48000 << " s early";
    auto carriesTone = [&](size_t from) {
        const std::vector<float> stretch(mic.begin() + long(from), mic.begin() + long(from + 2400));
        return lumacast::testing::rms(stretch) > 0.02 && toneShare(stretch, 440) > 0.9;
    };
    size_t onset = 0;
    while (onset + 2400 <= end && !carriesTone(onset))
        onset += 480;
    ASSERT_LT(double(onset) / 48000, pictureEnd - 0.5) << "the server delivered the tone too late to judge";
    for (size_t from = onset; from + 2400 <= end; from += 1200)
        EXPECT_TRUE(carriesTone(from)) << "no tone at " << double(from) / 48000 << " s of " << pictureEnd;
}

TEST_F(ScreenRecorderTake, OwnWindowsAreLeftOutOfAWholeScreenTake)
{
    XcbTestWindows windows;
    windows.quadrants(QRect(200, 200, 400, 300), kPattern);
    QWidget panel; // one of ours, over the pattern's top-left quadrant
    panel.setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    panel.setAutoFillBackground(true);
    QPalette p = panel.palette();
    p.setColor(QPalette::Window, QColor(0xff, 0x00, 0xff));
    panel.setPalette(p);
    panel.setGeometry(220, 220, 150, 100);
    panel.show();
    pump(300);

    ScreenRecorder recorder(false, 2.0);
    const auto result = take(recorder, CaptureTarget::wholeScreen(), false, 1500,
                             [&](int) { EXPECT_EQ(recorder.capturedDisplayID(), x11::listDisplays().front().id); });
    ASSERT_TRUE(result);
    const DecodedFrame f = decodeFrame(movie(), 0.9, 1920, 1080);
    ASSERT_EQ(f.width, 1920);
    EXPECT_TRUE(near(f.at(290, 270), kRed)) << std::hex << f.at(290, 270); // under our panel
    EXPECT_TRUE(near(f.at(500, 260), kGreen)) << std::hex << f.at(500, 260);
    EXPECT_TRUE(near(f.at(300, 420), kBlue)) << std::hex << f.at(300, 420);
    const QJsonArray streams = probe(movie()).value(QStringLiteral("streams")).toArray();
    EXPECT_EQ(streams.size(), 2); // video and microphone
}

TEST_F(ScreenRecorderTake, PauseShortensTheTake)
{
    ScreenRecorder recorder(false, 2.0);
    // Wall-clock marks, so that a loaded machine's slow event loop does not skew the expectation.
    QElapsedTimer clock;
    qint64 pausedAt = 0, resumedAt = 0, stoppedAt = 0;
    const auto result = take(recorder, CaptureTarget::wholeScreen(), false, 3000, [&](int elapsed) {
        if (elapsed == 100) {
            clock.start();
        } else if (elapsed == 1000) {
            pausedAt = clock.elapsed();
            recorder.pause();
        } else if (elapsed == 2000) {
            resumedAt = clock.elapsed();
            recorder.resume();
        } else if (elapsed == 3000) {
            stoppedAt = clock.elapsed();
        }
    });
    ASSERT_TRUE(result);
    const qint64 recorded = stoppedAt + 100; // the first 100 ms ran before the clock
    const double expected = double(recorded - (resumedAt - pausedAt)) / 1000.0;
    EXPECT_NEAR(result->duration, expected, 0.35) << "paused " << (resumedAt - pausedAt) << " ms of " << recorded;
    EXPECT_LT(result->duration, double(recorded) / 1000.0 - 0.5);
}

TEST_F(ScreenRecorderTake, ATailsPlanDecidesSystemAudioWhateverTheSetting)
{
    auto record = [&](const QString &path, bool systemAudio, const std::optional<AudioEncodingPlan> &plan) {
        ScreenRecorder recorder(false, 2.0);
        recorder.prepareMicrophone(std::nullopt);
        auto made = runTask(recorder.makeFilterAndConfiguration(std::nullopt, std::nullopt, std::nullopt, systemAudio, {}));
        made.configuration.width = 320; // a corner of the display is enough here
        made.configuration.height = 240;
        runTask(recorder.startRecording(path, made.displayID, made.filter, made.configuration, plan));
        pump(2000);
        return runTask(recorder.stopRecording());
    };
    auto audioTracks = [](const QString &path) {
        int n = 0;
        for (const auto &s : probe(path).value(QStringLiteral("streams")).toArray())
            n += s.toObject().value(QStringLiteral("codec_type")).toString() == QLatin1String("audio");
        return n;
    };
    // Something playing, so that the system audio has packets to write.
    const QString wav = dir.filePath(QStringLiteral("tone.wav"));
    ASSERT_TRUE(runProcess(QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"),
                                                     QStringLiteral("lavfi"), QStringLiteral("-i"),
                                                     QStringLiteral("sine=frequency=440:duration=20"), wav})
                    .ok());
    QProcess player;
    player.start(QStringLiteral("paplay"), {QStringLiteral("-d"), QStringLiteral("speaker"), wav});
    ASSERT_TRUE(player.waitForStarted());
    const QString micOnly = dir.filePath(QStringLiteral("mic-only.mov"));
    const QString both = dir.filePath(QStringLiteral("both.mov"));
    ASSERT_TRUE(record(micOnly, false, std::nullopt));
    ASSERT_TRUE(record(both, true, std::nullopt));
    ASSERT_EQ(audioTracks(micOnly), 1);
    ASSERT_EQ(audioTracks(both), 2);

    const QString tailWithout = dir.filePath(QStringLiteral("a.tail.mov"));
    ASSERT_TRUE(record(tailWithout, true, AudioEncodingPlan::load(micOnly)));
    EXPECT_EQ(audioTracks(tailWithout), 1);
    const QString tailWith = dir.filePath(QStringLiteral("b.tail.mov"));
    ASSERT_TRUE(record(tailWith, false, AudioEncodingPlan::load(both)));
    EXPECT_EQ(audioTracks(tailWith), 2);
    player.kill();
    player.waitForFinished();
}

TEST_F(ScreenRecorderTake, WindowGoneMidTakeIsAStreamError)
{
    XcbTestWindows windows;
    const xcb_window_t w = windows.solid(QRect(100, 100, 200, 150), kGreen);
    ScreenRecorder recorder(false, 2.0);
    std::atomic<int> errors{0};
    QString message;
    std::mutex m;
    recorder.onStreamError = [&](const StreamError &e) {
        std::lock_guard lock(m);
        message = e.message();
        EXPECT_EQ(e.domain(), QString::fromLatin1(kApplicationIdentifier));
        ++errors;
    };
    auto filter = ContentFilter::forWindow(w, QRectF(100, 100, 200, 150));
    const auto result = take(recorder, CaptureTarget::custom(filter, filter->style), false, 1500, [&](int elapsed) {
        if (elapsed == 700)
            windows.destroy(w);
    });
    EXPECT_EQ(errors.load(), 1);
    std::lock_guard lock(m);
    EXPECT_EQ(message, QStringLiteral("The captured window is no longer available"));
    ASSERT_TRUE(result); // what was recorded up to then is kept
    EXPECT_GT(result->duration, 0.3);
}

// Under a window manager, which animates a minimise and a restore: a captured window minimised
// mid-take holds its last picture until it shows again or the take ends; the take goes on, its
// picture as long as its sound. The window is repainted while minimised: what follows the restore
// is grabbed anew.
TEST_F(ScreenRecorderTake, MinimizedWindowIsHeldAndTheTakeGoesOn)
{
    if (const QString missing = WindowManager::missing(); !missing.isEmpty())
        GTEST_SKIP() << "needs " << missing.toStdString();
    WindowManager manager;
    ASSERT_TRUE(manager.isManaging());
    const struct {
        const char *what;
        bool restored;
    } rows[] = {{"minimized and restored", true}, {"ended while minimized", false}};
    XcbTestWindows windows; // one connection: each row's window has an id of its own
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        QFile::remove(movie());
        const xcb_window_t w = windows.solid(QRect(300, 200, 320, 240), kGreen);
        windows.warpPointer(1900, 1060); // not drawn into the window's picture
        ASSERT_TRUE(lumacast::testing::waitUntil([&] { return x11::windowFrame(w).has_value(); }));
        ScreenRecorder recorder(false, 2.0);
        std::atomic<int> errors{0};
        recorder.onStreamError = [&](const StreamError &) { ++errors; };
        auto filter = ContentFilter::forWindow(w, QRectF(*x11::windowFrame(w)));
        const auto result = take(recorder, CaptureTarget::custom(filter, filter->style), false, 4000, [&](int elapsed) {
            if (elapsed == 1000) {
                EXPECT_TRUE(minimizeWindow(w));
            } else if (elapsed == 1500) {
                windows.recolour(w, kBlue);
            } else if (elapsed == 2200 && row.restored) {
                EXPECT_TRUE(restoreWindow(w));
            }
        });
        EXPECT_EQ(errors.load(), 0);
        ASSERT_TRUE(result);
        EXPECT_NEAR(result->duration, 4.0, 0.4);
        double video = 0, audio = 0;
        for (const auto &s : probe(movie()).value(QStringLiteral("streams")).toArray()) {
            const QJsonObject stream = s.toObject();
            const bool isVideo = stream.value(QStringLiteral("codec_type")).toString() == QLatin1String("video");
            (isVideo ? video : audio) = stream.value(QStringLiteral("duration")).toString().toDouble();
        }
        EXPECT_NEAR(video, audio, 0.15);
        EXPECT_NEAR(video, result->duration, 0.1);
        for (const auto &[at, colour] : {std::pair{0.5, kGreen}, {1.8, kGreen}, {3.6, row.restored ? kBlue : kGreen}}) {
            const DecodedFrame f = decodeFrame(movie(), at, 320, 240);
            ASSERT_EQ(f.width, 320) << at;
            EXPECT_TRUE(near(f.at(160, 120), colour)) << at << " " << std::hex << f.at(160, 120);
        }
    }
}

TEST_F(ScreenRecorderTake, FailedStartReleasesThePreparedMicrophone)
{
    ScreenRecorder recorder(false, 2.0);
    recorder.prepareMicrophone(std::nullopt);
    ASSERT_TRUE(recorder.hasMicrophone());
    auto filter = ContentFilter::forWindow(0x7ffff02, QRectF(0, 0, 64, 64)); // no such window
    auto made = runTask(recorder.makeFilterAndConfiguration(std::nullopt, std::nullopt, std::nullopt, false,
                                                          CaptureTarget::custom(filter, filter->style)));
    EXPECT_THROW(runTask(recorder.startRecording(movie(), made.displayID, made.filter, made.configuration)), Error);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(QFile::exists(movie()));
    EXPECT_TRUE(recorder.hasMicrophone());
    EXPECT_FALSE(runTask(recorder.stopRecording()).has_value());
    EXPECT_FALSE(recorder.hasMicrophone());
}

TEST_F(ScreenRecorderTake, CursorAutoHideRunsOnlyDuringATake)
{
    ScreenRecorder recorder(true, 0.5);
    recorder.prepareMicrophone(std::nullopt);
    auto made = runTask(recorder.makeFilterAndConfiguration(std::nullopt, std::nullopt, std::nullopt, false, {}));
    runTask(recorder.startRecording(movie(), made.displayID, made.filter, made.configuration));
    pump(100);
    EXPECT_TRUE(recorder.cursorAutoHide().isTimerRunning());
    pump(1000); // the pointer rests: hidden in the recording
    EXPECT_FALSE(recorder.cursorAutoHide().isCursorShown());
    recorder.setCursorAutoHide(false);
    pump(50);
    EXPECT_TRUE(recorder.cursorAutoHide().isCursorShown());
    EXPECT_FALSE(recorder.cursorAutoHide().isTimerRunning());
    ASSERT_TRUE(runTask(recorder.stopRecording()));
    pump(50);
    EXPECT_FALSE(recorder.cursorAutoHide().isTimerRunning());
}

// The driver's record ended by SIGTERM or SIGINT finishes the take: a whole movie of the time
// recorded, not a file with no movie in it.
TEST(RecordCommand, TerminationSignalsFinishTheTake)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        QTemporaryDir dir;
        const QString out = dir.filePath(QStringLiteral("take.mov"));
        QProcess process;
        process.start(lumacast::testing::mediaDriverPath(),
                      {QStringLiteral("record"), out, QStringLiteral("--seconds"), QStringLiteral("30"),
                       QStringLiteral("--fps"), QStringLiteral("10")});
        ASSERT_TRUE(process.waitForStarted());
        // Until the writer has started the movie (its file exists) and a second more is in it.
        QElapsedTimer timer;
        timer.start();
        while (!QFile::exists(out) && timer.elapsed() < 20000)
            QThread::msleep(10);
        QThread::msleep(1000);
        ::kill(pid_t(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        const QJsonObject format = probe(out)[QStringLiteral("format")].toObject();
        EXPECT_GT(format[QStringLiteral("duration")].toString().toDouble(), 0.5);
    }
}

} // namespace
