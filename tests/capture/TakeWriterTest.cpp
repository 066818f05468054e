#include "TakeTestSupport.h"

#include "capture/TakeWriter.h"
#include "platform/av/TakeEncoderSettings.h"
#include "store/AppLog.h"
#include "support/TestEnvironment.h"

#include <QCoro/QCoroTask>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

using namespace lumacast;
using namespace lumacast::taketest;

namespace {

QJsonArray streams(const QJsonObject &probed)
{
    return probed.value(QStringLiteral("streams")).toArray();
}

double number(const QJsonValue &v)
{
    return v.isString() ? v.toString().toDouble() : v.toDouble();
}

QString appLogText()
{
    QFile f(AppLog::shared().logPath());
    f.open(QIODevice::ReadOnly);
    return QString::fromUtf8(f.readAll());
}

} // namespace

TEST(TakeWriter, TakeWithTwoPausesLaysOutTracksAndClosesThePausedTime)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.mov"));
    SyntheticTake take;
    take.seconds = 3.0;
    take.pauses = {{0.5, 1.0}, {1.8, 2.2}};
    take.systemAudio = true;
    const auto duration = writeTake(path, take);
    ASSERT_TRUE(duration);
    const double frame = 1.0 / take.fps;
    EXPECT_NEAR(*duration, 3.0 - 0.9, frame);

    const QJsonObject probed = probe(path);
    const QJsonArray s = streams(probed);
    ASSERT_EQ(s.size(), 3);
    EXPECT_EQ(s[0][QStringLiteral("codec_name")].toString(), QStringLiteral("h264"));
    EXPECT_EQ(s[1][QStringLiteral("codec_name")].toString(), QStringLiteral("aac"));
    EXPECT_EQ(s[2][QStringLiteral("codec_name")].toString(), QStringLiteral("aac"));
    for (const auto &stream : s)
        EXPECT_NEAR(number(stream[QStringLiteral("start_time")]), 0.0, 1e-9);
    EXPECT_EQ(s[0][QStringLiteral("color_primaries")].toString(), QStringLiteral("bt709"));
    EXPECT_EQ(s[0][QStringLiteral("color_transfer")].toString(), QStringLiteral("bt709"));
    EXPECT_EQ(s[0][QStringLiteral("color_space")].toString(), QStringLiteral("bt709"));
    EXPECT_EQ(s[0][QStringLiteral("has_b_frames")].toInt(), 0);
    EXPECT_NEAR(number(probed[QStringLiteral("format")][QStringLiteral("duration")]), 2.1, frame);
    // Every frame outside the pauses is in the movie.
    EXPECT_EQ(number(s[0][QStringLiteral("nb_frames")]), 90 - 15 - 12);
}

TEST(TakeWriter, TwoTakesOfOneSizeShareTheirParameterSets)
{
    QTemporaryDir dir;
    SyntheticTake a, b;
    a.seconds = 0.5;
    b.seconds = 0.8;
    b.micRate = 44100;
    b.micChannels = 1;
    ASSERT_TRUE(writeTake(dir.filePath(QStringLiteral("a.mov")), a));
    ASSERT_TRUE(writeTake(dir.filePath(QStringLiteral("b.mov")), b));
    const QString ea = videoExtradata(dir.filePath(QStringLiteral("a.mov")));
    EXPECT_FALSE(ea.isEmpty());
    EXPECT_EQ(ea, videoExtradata(dir.filePath(QStringLiteral("b.mov"))));
    EXPECT_EQ(TakeWriter::videoSettings(96, 64), TakeWriter::videoSettings(96, 64));
}

TEST(TakeWriter, OddFrameSizeIsPaddedToEven)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("odd.mov"));
    SyntheticTake take;
    take.width = 97;
    take.height = 63;
    take.seconds = 0.3;
    ASSERT_TRUE(writeTake(path, take));
    const QJsonArray s = streams(probe(path));
    EXPECT_EQ(s[0][QStringLiteral("width")].toInt(), 98);
    EXPECT_EQ(s[0][QStringLiteral("height")].toInt(), 64);
}

TEST(TakeWriter, AudioBeforeTheFirstFrameIsLeftOut)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lead.mov"));
    SyntheticTake take;
    take.seconds = 1.0;
    take.audioLead = 0.5;
    take.micAsInt16 = true;
    const auto duration = writeTake(path, take);
    ASSERT_TRUE(duration);
    EXPECT_NEAR(*duration, 1.0, 1.0 / take.fps);
    const QJsonArray s = streams(probe(path));
    EXPECT_NEAR(number(s[1][QStringLiteral("start_time")]), 0.0, 1e-9);
    EXPECT_NEAR(number(s[1][QStringLiteral("duration")]), 1.0, 0.03);
}

TEST(TakeWriter, PausedBeforeTheFirstFrameStartsAtTheFirstFrameAfterResume)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("late.mov"));
    SyntheticTake take;
    take.seconds = 1.0;
    take.pauses = {{0.0, 0.4}};
    const auto duration = writeTake(path, take);
    ASSERT_TRUE(duration);
    EXPECT_NEAR(*duration, 0.6, 1.0 / take.fps);
}

TEST(TakeWriter, MicrophoneFormatChoosesTheAacTrack)
{
    QTemporaryDir dir;
    struct Case {
        int rate, channels, wantRate, wantChannels;
        const char *line;
    };
    const Case cases[] = {
        {44100, 1, 44100, 1, "[writer] mic format 44100.0Hz/1ch → AAC 44100.0Hz/1ch bitrate=128000"},
        {44000, 6, 48000, 2, "[writer] mic format 44000.0Hz/6ch → AAC 48000.0Hz/2ch bitrate=128000"},
    };
    for (const Case &c : cases) {
        const QString path = dir.filePath(QStringLiteral("mic%1.mov").arg(c.rate));
        SyntheticTake take;
        take.seconds = 0.4;
        take.micRate = c.rate;
        take.micChannels = c.channels;
        ASSERT_TRUE(writeTake(path, take));
        const QJsonArray s = streams(probe(path));
        ASSERT_EQ(s.size(), 2);
        EXPECT_EQ(number(s[1][QStringLiteral("sample_rate")]), c.wantRate);
        EXPECT_EQ(s[1][QStringLiteral("channels")].toInt(), c.wantChannels);
        EXPECT_TRUE(appLogText().contains(QString::fromUtf8(c.line))) << c.line;
    }
}

TEST(TakeWriter, PlanDecidesTheSystemTrackWhateverTheFlagSays)
{
    QTemporaryDir dir;
    AudioEncodingPlan withSystem;
    withSystem.mic.settings.sampleRate = 44100.0;
    withSystem.mic.settings.channels = 1;
    withSystem.system = AudioTrackEncodingPlan{};
    withSystem.system->settings.sampleRate = 48000.0;
    withSystem.system->settings.channels = 2;
    withSystem.system->settings.bitRate = 128000;

    SyntheticTake take;
    take.seconds = 0.3;
    take.systemAudio = true;
    const QString a = dir.filePath(QStringLiteral("a.mov"));
    TakeWriter writerA(a);
    writerA.setUp(96, 64, 48000, 2, /*captureSystemAudio=*/false, withSystem);
    EXPECT_TRUE(writerA.hasSystemAudioTrack());
    feed(writerA, take);
    ASSERT_TRUE(writerA.finish());
    const QJsonArray s = streams(probe(a));
    ASSERT_EQ(s.size(), 3);
    EXPECT_EQ(number(s[1][QStringLiteral("sample_rate")]), 44100);
    EXPECT_EQ(s[1][QStringLiteral("channels")].toInt(), 1);

    AudioEncodingPlan micOnly = withSystem;
    micOnly.system.reset();
    TakeWriter writerB(dir.filePath(QStringLiteral("b.mov")));
    writerB.setUp(96, 64, 48000, 2, /*captureSystemAudio=*/true, micOnly);
    EXPECT_FALSE(writerB.hasSystemAudioTrack());

    AudioEncodingPlan refused = withSystem;
    refused.system->settings.sampleRate = 44000.0;
    TakeWriter writerC(dir.filePath(QStringLiteral("c.mov")));
    try {
        writerC.setUp(96, 64, 48000, 2, false, refused);
        ADD_FAILURE() << "a plan the encoder refuses was set up";
    } catch (const AudioPlanError &e) {
        EXPECT_EQ(e, AudioPlanError::inapplicable(1));
    }
    EXPECT_FALSE(writerC.isSetUp());
}

TEST(TakeWriter, FinishWithoutFramesRemovesTheFileAndSecondFinishDoesNothing)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("empty.mov"));
    {
        TakeWriter writer(path);
        writer.setUp(96, 64, 48000, 2, false);
        std::vector<float> samples(960, 0.f);
        writer.appendMicAudio({samples.data(), 480, AudioBuffer::Format::float32, 48000, 2,
                               SampleTime::fromNanoseconds(1)});
        EXPECT_FALSE(writer.finish());
        EXPECT_FALSE(QFile::exists(path));
        EXPECT_FALSE(writer.finishFailure()) << "no encoder ever failed";
    }
    {
        SyntheticTake take;
        take.seconds = 0.2;
        TakeWriter writer(path);
        writer.setUp(96, 64, 48000, 2, false);
        feed(writer, take);
        EXPECT_TRUE(writer.finish());
        const qint64 size = QFileInfo(path).size();
        EXPECT_FALSE(writer.finish());
        EXPECT_EQ(QFileInfo(path).size(), size);
    }
}

TEST(TakeWriter, WhatStandsUnderTheTakesNamesIsNeitherWrittenOverNorRemoved)
{
    struct Row {
        const char *name;
        const char *standing; // the file that is there before the take, not the writer's
        bool recorded;
    };
    const Row rows[] = {
        {"a file under the movie's name", "kept.mov", false},
        {"a file under the journal's name", "kept.mov.journal", true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("kept.mov"));
        const QString standing = dir.filePath(QString::fromLatin1(row.standing));
        ASSERT_TRUE(lumacast::testing::writeFileOfSize(standing, 100));
        TakeWriter writer(path);
        if (!row.recorded) {
            EXPECT_THROW(writer.setUp(96, 64, 48000, 2, false), av::EncoderError);
            EXPECT_FALSE(writer.isSetUp());
        } else {
            SyntheticTake take;
            take.seconds = 0.3;
            writer.setUp(96, 64, 48000, 2, false);
            feed(writer, take);
            EXPECT_TRUE(writer.finish()); // recorded without a journal
            EXPECT_GT(QFileInfo(path).size(), 1000);
        }
        EXPECT_EQ(QFileInfo(standing).size(), 100);
    }
}

TEST(TakeWriter, StartFailureIsReportedOnceAndTheTakeIsDropped)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("missing-folder/take.mov"));
    TakeWriter writer(path);
    writer.setUp(96, 64, 48000, 2, false);
    int calls = 0;
    std::optional<av::EncoderError> reported;
    writer.onWriterFailed = [&](const std::optional<av::EncoderError> &e) {
        ++calls;
        reported = e;
    };
    std::vector<uint8_t> pixels(96 * 64 * 4);
    for (int i = 0; i < 3; ++i)
        writer.appendVideo({pixels.data(), 96, 64, 96 * 4, SampleTime::make(i, 30)});
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(reported);
    EXPECT_TRUE(reported->description().contains(QStringLiteral("take.mov")));
    EXPECT_FALSE(writer.finish());
}

TEST(TakeWriter, VideoSettingsAreFixedPerSizeAndTagged709)
{
    const av::VideoSettings s = TakeWriter::videoSettings(1920, 1080);
    EXPECT_EQ(s.width, 1920);
    EXPECT_EQ(s.height, 1080);
    EXPECT_EQ(s.colorPrimaries, QStringLiteral("ITU_R_709_2"));
    EXPECT_EQ(s.transferFunction, QStringLiteral("ITU_R_709_2"));
    EXPECT_EQ(s.yCbCrMatrix, QStringLiteral("ITU_R_709_2"));
    EXPECT_EQ(s.maxBFrames, 0);
    EXPECT_THROW(TakeWriter::videoSettings(0, 1080), av::EncoderError);
    EXPECT_THROW(TakeWriter::videoSettings(1920, -2), av::EncoderError);
}

TEST(TakeWriter, FinishAsyncDeliversTheDuration)
{
    QTemporaryDir dir;
    SyntheticTake take;
    take.seconds = 0.3;
    TakeWriter writer(dir.filePath(QStringLiteral("async.mov")));
    writer.setUp(96, 64, 48000, 2, false);
    feed(writer, take);
    const auto duration = runTask(writer.finishAsync());
    ASSERT_TRUE(duration);
    EXPECT_NEAR(*duration, 0.3, 1.0 / take.fps);
}

TEST(TakeWriterDriver, WriteTakeReportsDurationWithoutPausedTime)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("driven.mov"));
    const auto r = lumacast::testing::runProcess(
        lumacast::testing::mediaDriverPath(),
        {QStringLiteral("write-take"), path, QStringLiteral("--size"), QStringLiteral("320x240"),
         QStringLiteral("--fps"), QStringLiteral("30"), QStringLiteral("--seconds"),
         QStringLiteral("2.5"), QStringLiteral("--pause"), QStringLiteral("0.5-1"),
         QStringLiteral("--pause"), QStringLiteral("1.5-1.7"), QStringLiteral("--mic"),
         QStringLiteral("44100/1"), QStringLiteral("--system-audio")});
    ASSERT_TRUE(r.ok()) << r.err.constData();
    const QJsonObject o = QJsonDocument::fromJson(r.out).object();
    EXPECT_NEAR(o[QStringLiteral("duration")].toDouble(), 2.5 - 0.7, 1.0 / 30);
    const QJsonArray s = streams(probe(path));
    ASSERT_EQ(s.size(), 3);
    EXPECT_EQ(number(s[1][QStringLiteral("sample_rate")]), 44100);
    EXPECT_EQ(s[2][QStringLiteral("channels")].toInt(), 2);

    const auto bad = lumacast::testing::runProcess(
        lumacast::testing::mediaDriverPath(), {QStringLiteral("write-take"), path});
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_TRUE(bad.err.contains("already exists"));

    // A disk that fills up before the movie is finished: the refusal says why.
    const auto full = lumacast::testing::runProcess(
        QStringLiteral("bash"),
        {QStringLiteral("-c"), QStringLiteral("trap '' XFSZ; ulimit -f 4; exec \"$0\" write-take \"$1\" --size 320x240 "
                                              "--fps 30 --seconds 1"),
         lumacast::testing::mediaDriverPath(), dir.filePath(QStringLiteral("full.mov"))});
    EXPECT_NE(full.exitCode, 0);
    EXPECT_TRUE(full.err.contains("File too large")) << full.err.constData();
}

TEST(TakeWriter, DiskFullWhileRecordingOrFinishingDropsTheTake)
{
    // A file-size limit makes the disk "full" part way through, before a whole frame is in the
    // file. With audio the tracks interleave and the movie is written while it is recorded, so
    // the failure shows at a later frame.
    for (const bool withAudio : {true, false}) {
        SCOPED_TRACE(withAudio ? "with audio" : "video only");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("full.mov"));
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = 64 * 1024;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

        TakeWriter writer(path);
        writer.setUp(320, 240, 48000, 2, false);
        int calls = 0;
        writer.onWriterFailed = [&](const std::optional<av::EncoderError> &) { ++calls; };
        std::vector<uint8_t> pixels(320 * 240 * 4);
        std::vector<float> samples(1600 * 2, 0.1f);
        uint32_t seed = 1;
        for (int i = 0; i < 120; ++i) {
            for (auto &p : pixels) // noise defeats compression, so the limit is reached quickly
                p = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
            writer.appendVideo({pixels.data(), 320, 240, 320 * 4, SampleTime::make(i, 30)});
            if (withAudio)
                writer.appendMicAudio({samples.data(), 1600, AudioBuffer::Format::float32, 48000, 2,
                                       SampleTime::make(i * 1600, 48000)});
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const auto duration = writer.finish();
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);

        // Video alone reaches the file when the journal next goes to disk, or at finishing.
        EXPECT_EQ(calls, withAudio ? 1 : std::min(calls, 1));
        // Not one whole frame reached the file: nothing could be kept.
        EXPECT_FALSE(duration);
        EXPECT_FALSE(QFile::exists(path));
        EXPECT_FALSE(QFile::exists(path + QStringLiteral(".journal")));
        // The encoder's error outlives the encoder, for whoever reports the lost take.
        ASSERT_TRUE(writer.finishFailure());
        EXPECT_FALSE(writer.finishFailure()->description().isEmpty());
    }
}

TEST(TakeWriter, FramesTheEncoderCannotTakeAreDroppedAndCountedNotWaitedFor)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("burst.mov"));
    TakeWriter writer(path);
    writer.setUp(1920, 1080, 48000, 2, false);
    std::vector<uint8_t> pixels(1920 * 1080 * 4);
    // Fed as fast as the caller can: whatever the machine's speed, the encoder of 1080p frames
    // falls behind a caller that only converts, and then frames are dropped, never queued
    // without bound or waited for. A caller blocked by the encoder would never see a drop.
    int fed = 0;
    while (writer.droppedVideoFrames() == 0 && fed < 3000) {
        std::fill(pixels.begin(), pixels.begin() + 1920 * 4 * 100, uint8_t(fed * 7));
        writer.appendVideo({pixels.data(), 1920, 1080, 1920 * 4, SampleTime::make(fed, 60)});
        ++fed;
    }
    const quint64 dropped = writer.droppedVideoFrames();
    ASSERT_TRUE(writer.finish());
    EXPECT_GT(dropped, 0u);
    // Every frame is either in the movie or counted as dropped.
    const QJsonArray s = streams(probe(path));
    EXPECT_EQ(number(s[0][QStringLiteral("nb_frames")]) + double(dropped), double(fed));
}

TEST(TakeWriter, SourceThatNeverDeliversKeepsItsTrackAsSilence)
{
    // An idle output's monitor can deliver nothing for a whole short take; the take must still
    // have the system-audio track the recording asked for, or a tail's plan read back from it
    // would leave system audio out.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quiet.mov"));
    SyntheticTake take;
    take.seconds = 1.0;
    take.systemAudio = false; // nothing arrives for the system-audio track
    TakeWriter writer(path);
    writer.setUp(take.width, take.height, take.micRate, take.micChannels, /*captureSystemAudio=*/true,
                 std::nullopt);
    feed(writer, take);
    const auto duration = writer.finish();
    ASSERT_TRUE(duration);

    const QJsonArray s = streams(probe(path));
    ASSERT_EQ(s.size(), 3);
    EXPECT_EQ(s[2][QStringLiteral("codec_name")].toString(), QStringLiteral("aac"));
    EXPECT_NEAR(number(s[2][QStringLiteral("start_time")]), 0.0, 1e-9);
    EXPECT_NEAR(number(s[2][QStringLiteral("duration")]), *duration, 0.05);
}

TEST(TakeWriter, SoundCapturedWhilePausedStaysOutEvenWhenItArrivesAfterTheResume)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("late.mov"));
    TakeWriter writer(path);
    writer.setUp(96, 64, 48000, 2, false, std::nullopt);
    std::vector<uint8_t> pixels(96 * 64 * 4, 80);
    std::vector<float> sound(480 * 2, 0.1f);
    const int64_t base = 1000LL * 1000000000LL;
    auto at = [&](double seconds) { return SampleTime::fromNanoseconds(base + int64_t(seconds * 1e9)); };
    auto frame = [&](double seconds) { writer.appendVideo({pixels.data(), 96, 64, 96 * 4, at(seconds)}); };
    auto audio = [&](double seconds) {
        writer.appendMicAudio({sound.data(), 480, AudioBuffer::Format::float32, 48000, 2, at(seconds)});
    };

    for (int i = 0; i < 30; ++i) {
        frame(i / 30.0);
        audio(i / 30.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    writer.isPaused = true;
    writer.pausedAt = at(1.0);
    writer.isPaused = false;
    writer.resumedAt = at(2.0);
    writer.pauseTimeline.resumePending = true;
    audio(1.5); // captured in the middle of the pause, delivered late
    for (int i = 60; i < 90; ++i) {
        frame(i / 30.0);
        audio(i / 30.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto duration = writer.finish();
    ASSERT_TRUE(duration);
    EXPECT_NEAR(*duration, 2.0, 1.0 / 30 + 1e-6);
}

namespace {

// Times in samples at 48 kHz from the capture clock's origin: a picture every 800 (60 a second,
// the take's rate), a sound buffer every 480.
constexpr int64_t kFrame = 800, kBuffer = 480, kNever = INT64_MAX / 4;

// Milliseconds in samples, to four samples (a tick of 1/60000 s lies on whole samples).
int64_t ms(double milliseconds)
{
    return std::llround(milliseconds * 12) * 4;
}

struct PauseCase {
    const char *name;
    std::vector<std::pair<int64_t, int64_t>> pauses; // [pause, resume) moments
    bool moments = true;      // the recorder's capture-clock moments, or the flags alone
    int64_t soundLatency = 0; // a sound buffer reaches the writer this long after its start
    bool systemAudio = false;
    std::pair<int64_t, int64_t> still{0, 0}; // the screen stands still
    int64_t length = ms(3000);
};

// The take as it must be laid out: a picture before a pause is shown one frame interval, the
// first picture after the resume stands there, and the take goes on from the first instant of
// the pictures' grid at or after the resume moment; the sound is the stretches of capture
// between those instants, end to end.
struct Layout {
    std::vector<std::array<int64_t, 3>> stretches; // capture [from, to) at output capture - offset
    std::vector<int64_t> pictures;                 // output times of the pictures
    int64_t end = 0;

    explicit Layout(const PauseCase &c)
    {
        int64_t offset = 0, seam = 0, previous = -1, from = 0;
        for (int64_t picture = 0; picture < c.length; picture += kFrame) {
            int64_t resumed = -1;
            for (const auto &[pause, resume] : c.pauses) {
                if (picture >= pause && picture < resume)
                    resumed = kNever;
                else if (resumed != kNever && pause > previous && resume <= picture)
                    resumed = std::max(resumed, resume);
            }
            if (resumed == kNever)
                continue;
            if (previous < 0) {
                offset = from = picture;
            } else if (resumed >= 0) {
                // The first instant of the pictures' grid at or after the resume moment.
                resumed = seam + offset + std::max<int64_t>(0, resumed - seam - offset + kFrame - 1) / kFrame * kFrame;
                stretches.push_back({from, seam + offset, offset});
                offset = resumed - seam;
                from = resumed;
            }
            pictures.push_back(previous >= 0 && resumed >= 0 ? seam : picture - offset);
            seam = pictures.back() + kFrame;
            previous = picture;
        }
        stretches.push_back({from, seam + offset, offset});
        end = seam;
    }

    // A sine on the output timeline; paused sound, and sound before the first picture, is
    // another tone, which must not be heard.
    float soundAt(int64_t capture, double frequency) const
    {
        for (const auto &[from, to, offset] : stretches)
            if (capture >= from && capture < to)
                return 0.4f * float(std::sin(2 * M_PI * frequency * double(capture - offset) / 48000));
        return 0.4f * float(std::sin(2 * M_PI * 2900.0 * double(capture) / 48000));
    }
};

// Feeds the case as a recorder's sample queue sees it: pictures as captured, pauses and resumes
// at their moments (before a sample of the same moment), sound buffers `soundLatency` after
// their start.
void feedPauses(TakeWriter &writer, const PauseCase &c, const Layout &layout)
{
    const auto at = [](int64_t t) { return SampleTime::fromNanoseconds((48000000 + t) * 1000000000LL / 48000); };
    std::vector<uint8_t> pixels(96 * 64 * 4);
    std::vector<float> sound(kBuffer * 2);
    for (int64_t t = 0; t < c.length + c.soundLatency; t += 4) {
        for (const auto &[pause, resume] : c.pauses) {
            if (t == pause) {
                writer.isPaused = true;
                writer.pausedAt = c.moments ? at(t) : SampleTime::invalid();
            } else if (t == resume) {
                writer.isPaused = false;
                writer.resumedAt = c.moments ? at(t) : SampleTime::invalid();
                writer.pauseTimeline.resumePending = true;
            }
        }
        if (t % kFrame == 0 && t < c.length) {
            const int64_t shown = (t >= c.still.first && t < c.still.second ? c.still.first : t) / kFrame;
            std::fill(pixels.begin(), pixels.end(), uint8_t(shown * 7));
            writer.appendVideo({pixels.data(), 96, 64, 96 * 4, at(t), uint64_t(shown) + 1});
            for (int wait = 0; wait < 2000 && !writer.isReadyForVideo(); ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const int64_t start = t - c.soundLatency;
        if (start < 0 || start % kBuffer != 0)
            continue;
        for (const double frequency : {1000.0, 1250.0}) {
            for (int64_t i = 0; i < kBuffer; ++i)
                sound[size_t(i) * 2] = sound[size_t(i) * 2 + 1] = layout.soundAt(start + i, frequency);
            const AudioBuffer buffer{sound.data(), int(kBuffer), AudioBuffer::Format::float32, 48000, 2, at(start)};
            if (frequency == 1000.0)
                writer.appendMicAudio(buffer);
            else if (c.systemAudio)
                writer.appendSystemAudio(buffer);
        }
    }
}

QByteArray run(const QString &program, const QStringList &arguments)
{
    const auto r = lumacast::testing::runProcess(program, QStringList{QStringLiteral("-v"), QStringLiteral("error")} + arguments);
    EXPECT_TRUE(r.ok() && r.err.trimmed().isEmpty()) << program.toStdString() << ": " << r.err.constData();
    return r.out;
}

// The first sample of a 10 ms window in which the left channel of sound track `track` is not
// the sine on the output timeline (a gap, an overlap, a shift of a sample, paused sound), or -1.
// The last millisecond before `end` rings where the sound stops.
int64_t firstWrongSound(const QString &path, int track, int64_t end, double frequency)
{
    end -= 48;
    const QByteArray pcm = run(QStringLiteral("ffmpeg"), {QStringLiteral("-i"), path, QStringLiteral("-map"),
                                                          QStringLiteral("0:a:%1").arg(track), QStringLiteral("-f"),
                                                          QStringLiteral("f32le"), QStringLiteral("-")});
    const auto left = [&](int64_t i) {
        float x = 0;
        std::memcpy(&x, pcm.constData() + i * 2 * sizeof(float), sizeof(float));
        return x;
    };
    for (int64_t from = 0; from < end; from += kBuffer) {
        double error = 0;
        for (int64_t i = from; i < std::min(from + kBuffer, end); ++i) {
            if ((i + 1) * 2 * qsizetype(sizeof(float)) > pcm.size())
                return from;
            error = std::max(error, std::abs(left(i) - 0.4 * std::sin(2 * M_PI * frequency * double(i) / 48000)));
        }
        if (error > 0.04)
            return from;
    }
    return -1;
}

} // namespace

TEST(TakeWriter, ResumesGoOnOneFrameIntervalAfterTheLastPictureWithTheSoundJoined)
{
    std::vector<std::pair<int64_t, int64_t>> many;
    for (int k = 0; k < 12; ++k)
        many.push_back({ms(300 + 453.7 * k), ms(300 + 453.7 * k + 200 + 1.1 * k)});
    const PauseCase cases[] = {
        {"the recorder's moments, sound 30 ms late; pauses long, short, within a picture",
         {{ms(512.3), ms(1234.5)}, {ms(1987.1), ms(1991.9)}, {ms(2400), ms(2413)}, {ms(3000.7), ms(5500)}},
         true, ms(30), true, {0, 0}, ms(7000)},
        // Sound delivered as it starts, in order, so that the first sample after a resume is
        // captured after it.
        {"the flags alone", {{ms(500), ms(1250)}, {ms(2000), ms(2050)}, {ms(2800), ms(4000)}}, false, 0, false},
        // Sound delivered as it starts reaches the writer before the first picture after a resume.
        {"sound first after a resume", {{ms(1000.3), ms(1507.9)}, {ms(2203.1), ms(2600.1)}}, true, 0, true},
        {"several pauses with no sample between them",
         {{ms(1000.2), ms(1000.4)}, {ms(1000.6), ms(1000.8)}, {ms(1001), ms(1800)}}, true, ms(10)},
        {"paused before the first picture, and at the end", {{0, ms(400)}, {ms(1300.5), ms(1900)}, {ms(2500.3), kNever}},
         true, ms(20), true},
        {"a still screen across a pause", {{ms(1000), ms(1500)}, {ms(2100), ms(2250)}}, true, ms(20), true,
         {ms(800), ms(2200)}},
        {"paused and resumed twelve times", many, true, ms(25), true, {0, 0}, ms(6000)},
    };
    QTemporaryDir dir;
    for (const PauseCase &c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QString::fromUtf8(c.name) + QStringLiteral(".mov"));
        const Layout layout(c);
        TakeWriter writer(path);
        writer.setUp(96, 64, 48000, 2, c.systemAudio);
        feedPauses(writer, c, layout);
        ASSERT_TRUE(writer.finish());
        ASSERT_EQ(writer.droppedVideoFrames(), 0u);
        run(QStringLiteral("ffmpeg"), {QStringLiteral("-i"), path, QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});

        // Pictures, in ticks of 1/60000 s, where the layout puts them; a still screen's repeats
        // are held, not written.
        std::vector<int64_t> want, written;
        for (const int64_t output : layout.pictures)
            want.push_back(output * 60000 / 48000);
        for (const QByteArray &line : run(QStringLiteral("ffprobe"),
                                          {QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                                           QStringLiteral("packet=pts"), QStringLiteral("-of"), QStringLiteral("csv=p=0"), path})
                                          .split('\n'))
            if (!line.trimmed().isEmpty())
                written.push_back(line.trimmed().toLongLong());
        if (c.still.second > c.still.first)
            EXPECT_TRUE(written.size() < want.size() && std::includes(want.begin(), want.end(), written.begin(), written.end()));
        else
            EXPECT_EQ(written, want);

        // The sound, sample for sample, up to the end of the last picture.
        EXPECT_EQ(firstWrongSound(path, 0, layout.end, 1000), -1) << "microphone, of " << layout.end;
        if (c.systemAudio) {
            EXPECT_EQ(firstWrongSound(path, 1, layout.end, 1250), -1) << "system audio, of " << layout.end;
        }
    }
}
