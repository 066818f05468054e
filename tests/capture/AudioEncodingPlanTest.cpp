#include "TakeTestSupport.h"

#include "capture/AudioEncodingPlan.h"
#include "platform/av/Asset.h"
#include "platform/av/MediaError.h"
#include "platform/av/MovieWriter.h"
#include "platform/av/TakeEncoderSettings.h"
#include "support/TestEnvironment.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::taketest;

TEST(AudioBitRate, NearestApplicableRateToTheTarget)
{
    EXPECT_EQ(applicableBitRate(128000, 2, 48000), 128000);
    EXPECT_EQ(applicableBitRate(128000, 1, 44100), 128000);
    EXPECT_EQ(applicableBitRate(128000, 1, 8000), 24000);   // below the range: its maximum
    EXPECT_EQ(applicableBitRate(128000, 6, 44100), 144000); // above: its minimum
    EXPECT_EQ(applicableBitRate(128000, 2, 96000), 128000);
    EXPECT_EQ(applicableBitRate(128000, 2, 44000), std::nullopt); // not an AAC rate
    EXPECT_EQ(applicableBitRate(128000, 0, 48000), std::nullopt);
    EXPECT_EQ(applicableBitRate(128000, 9, 48000), std::nullopt);
}

TEST(AudioBitRate, EveryTabledRateOpensTheEncoder)
{
    for (int rate : av::aacSampleRates())
        for (int channels = 1; channels <= 2; ++channels)
            for (const auto &[lo, hi] : av::applicableAacBitRateRanges(rate, channels)) {
                av::AudioSettings s;
                s.sampleRate = rate;
                s.channels = channels;
                s.bitRate = int(lo);
                EXPECT_TRUE(av::canApplyAudioSettings(s)) << rate << "/" << channels << " " << lo;
                s.bitRate = int(hi);
                EXPECT_TRUE(av::canApplyAudioSettings(s)) << rate << "/" << channels << " " << hi;
                s.bitRate = int(hi) + 1;
                EXPECT_FALSE(av::canApplyAudioSettings(s));
            }
    av::AudioSettings odd;
    odd.sampleRate = 44000.0;
    odd.channels = 2;
    EXPECT_FALSE(av::canApplyAudioSettings(odd));
}

TEST(AacCandidates, TriedInOrderUntilOneIsAccepted)
{
    std::vector<av::AudioSettings> tried;
    const auto none = micAudioSettings(44100, 6, [&](const av::AudioSettings &s) {
        tried.push_back(s);
        return false;
    });
    EXPECT_FALSE(none);
    ASSERT_EQ(tried.size(), 4u);
    EXPECT_EQ(tried[0].bitRate, 144000);
    EXPECT_EQ(tried[0].channels, 6);
    EXPECT_FALSE(tried[1].bitRate);
    EXPECT_EQ(tried[1].sampleRate, 44100.0);
    EXPECT_FALSE(tried[1].sampleRateIsInteger);
    EXPECT_EQ(tried[2].sampleRate, 48000.0);
    EXPECT_TRUE(tried[2].sampleRateIsInteger);
    EXPECT_EQ(tried[2].channels, 2);
    EXPECT_EQ(tried[3].channels, 1);
    EXPECT_EQ(tried[3].sampleRateText(), QStringLiteral("48000"));
    EXPECT_EQ(tried[1].sampleRateText(), QStringLiteral("44100.0"));

    // Without an applicable bit rate the list starts with the rate-and-channels candidate.
    tried.clear();
    micAudioSettings(44000, 2, [&](const av::AudioSettings &s) {
        tried.push_back(s);
        return false;
    });
    ASSERT_EQ(tried.size(), 3u);
    EXPECT_EQ(tried[0].sampleRate, 44000.0);

    const auto second = micAudioSettings(48000, 2, [](const av::AudioSettings &s) { return !s.bitRate; });
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->bitRate);
    EXPECT_EQ(second->channels, 2);

    const auto real = micAudioSettings(48000, 2, av::canApplyAudioSettings);
    ASSERT_TRUE(real);
    EXPECT_EQ(real->bitRate, 128000);
}

TEST(AudioPlanError, DescriptionsAndEquality)
{
    EXPECT_EQ(AudioPlanError::unsupportedSource(QStringLiteral("6 channels")).description(),
              QStringLiteral("6 channels"));
    EXPECT_EQ(AudioPlanError::tooManyAudioTracks(3).description(),
              QStringLiteral("take has 3 audio tracks (need 1 or 2)"));
    EXPECT_EQ(AudioPlanError::noAudioTrack().description(), QStringLiteral("take has no audio track"));
    EXPECT_EQ(AudioPlanError::inapplicable(1), AudioPlanError::inapplicable(1));
    EXPECT_FALSE(AudioPlanError::inapplicable(1) == AudioPlanError::cannotAdd(1));
    EXPECT_FALSE(AudioPlanError::inapplicable(0) == AudioPlanError::inapplicable(1));
}

class AudioPlanFromMovies : public ::testing::Test {
protected:
    QString make(const QString &name, const QStringList &audioArgs, int inputs = 1)
    {
        const QString path = dir.filePath(name);
        QStringList args{QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                         QStringLiteral("testsrc=size=64x48:rate=10")};
        for (int i = 0; i < inputs; ++i)
            args += {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                     QStringLiteral("sine=frequency=%1:sample_rate=48000").arg(300 + 100 * i)};
        args += {QStringLiteral("-t"), QStringLiteral("0.5"), QStringLiteral("-map"), QStringLiteral("0:v")};
        for (int i = 0; i < inputs; ++i)
            args += {QStringLiteral("-map"), QStringLiteral("%1:a").arg(i + 1)};
        args += {QStringLiteral("-c:v"), QStringLiteral("libx264")};
        args += audioArgs;
        args += path;
        EXPECT_TRUE(ffmpeg(args));
        return path;
    }
    QString planError(const QString &path)
    {
        try {
            AudioEncodingPlan::load(path);
        } catch (const AudioPlanError &e) {
            return e.description();
        }
        return QStringLiteral("(no error)");
    }
    QTemporaryDir dir;
};

TEST_F(AudioPlanFromMovies, RefusesWhatATailCannotReproduce)
{
    EXPECT_EQ(planError(make(QStringLiteral("pcm.mov"), {QStringLiteral("-c:a"), QStringLiteral("pcm_s16le")})),
              QStringLiteral("format 1819304813 is not AAC"));
    EXPECT_EQ(planError(make(QStringLiteral("six.mov"), {QStringLiteral("-c:a"), QStringLiteral("aac"),
                                                         QStringLiteral("-ac"), QStringLiteral("6")})),
              QStringLiteral("6 channels"));
    EXPECT_EQ(planError(make(QStringLiteral("three.mov"), {QStringLiteral("-c:a"), QStringLiteral("aac")}, 3)),
              QStringLiteral("take has 3 audio tracks (need 1 or 2)"));
    EXPECT_EQ(planError(make(QStringLiteral("silent.mov"), {}, 0)), QStringLiteral("take has no audio track"));
    EXPECT_THROW(AudioEncodingPlan::load(dir.filePath(QStringLiteral("absent.mov"))), av::MediaError);
    // Awaited, the same refusal arrives as the same error.
    try {
        runTask(AudioEncodingPlan::loadAsync(dir.filePath(QStringLiteral("six.mov"))));
        ADD_FAILURE() << "a 6-channel take gave a plan";
    } catch (const AudioPlanError &e) {
        EXPECT_EQ(e, AudioPlanError::unsupportedSource(QStringLiteral("6 channels")));
    }
}

TEST_F(AudioPlanFromMovies, RefusesATrackWithTwoFormatDescriptions)
{
    // One audio track whose samples switch between a mono and a stereo AAC description, as a
    // copy of differing sources may carry.
    const auto mono = av::Asset::open(make(QStringLiteral("m.mov"), {QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-ac"), QStringLiteral("1")}));
    const auto stereo = av::Asset::open(make(QStringLiteral("s.mov"), {QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-ac"), QStringLiteral("2")}));
    const QString path = dir.filePath(QStringLiteral("two.mov"));
    av::MovieWriter writer(path, 600);
    writer.open();
    av::WriterTrackSettings settings;
    settings.mediaType = av::MediaType::Audio;
    settings.mediaTimescale = 48000;
    const int track = writer.addTrack(settings);
    const int first = writer.addSampleDescription(track, mono->tracks(av::MediaType::Audio).first().formatDescriptions.first());
    const int second = writer.addSampleDescription(track, stereo->tracks(av::MediaType::Audio).first().formatDescriptions.first());
    ASSERT_EQ(writer.sampleDescriptionCount(track), 2);
    av::SampleTiming timing;
    timing.duration = 1024;
    timing.descriptionIndex = first;
    writer.appendSample(track, QByteArray(16, '\0'), timing);
    timing.decodeTime = timing.presentationTime = 1024;
    timing.descriptionIndex = second;
    writer.appendSample(track, QByteArray(16, '\0'), timing);
    writer.finish();
    EXPECT_EQ(planError(path), QStringLiteral("track has 2 format descriptions (need exactly 1)"));
}

TEST_F(AudioPlanFromMovies, ReadsBackTheSettingsOfTakes)
{
    SyntheticTake mono;
    mono.seconds = 0.4;
    mono.micRate = 44100;
    mono.micChannels = 1;
    const QString monoPath = dir.filePath(QStringLiteral("mono.mov"));
    ASSERT_TRUE(writeTake(monoPath, mono));
    const AudioEncodingPlan a = runTask(AudioEncodingPlan::loadAsync(monoPath));
    EXPECT_EQ(a.mic.settings.formatID, av::kAudioFormatMPEG4AAC);
    EXPECT_EQ(a.mic.settings.sampleRate, 44100.0);
    EXPECT_EQ(a.mic.settings.channels, 1);
    EXPECT_EQ(a.mic.settings.bitRate, 128000);
    EXPECT_FALSE(a.system);

    SyntheticTake stereo;
    stereo.seconds = 0.4;
    stereo.systemAudio = true;
    const QString stereoPath = dir.filePath(QStringLiteral("stereo.mov"));
    ASSERT_TRUE(writeTake(stereoPath, stereo));
    const AudioEncodingPlan b = AudioEncodingPlan::load(stereoPath);
    EXPECT_EQ(b.mic.settings.sampleRate, 48000.0);
    EXPECT_EQ(b.mic.settings.channels, 2);
    ASSERT_TRUE(b.system);
    EXPECT_EQ(b.system->settings.channels, 2);

    // A tail written with the plan reads back the same plan.
    const QString tailPath = dir.filePath(QStringLiteral("tail.mov"));
    ASSERT_TRUE(writeTake(tailPath, stereo, b));
    EXPECT_EQ(AudioEncodingPlan::load(tailPath), b);

    const auto r = lumacast::testing::runProcess(lumacast::testing::mediaDriverPath(),
                                                 {QStringLiteral("audio-plan"), monoPath});
    ASSERT_TRUE(r.ok()) << r.err.constData();
    EXPECT_EQ(r.out.trimmed(),
              QByteArray(R"({"mic":{"bitRate":128000,"channels":1,"formatID":1633772320,"sampleRate":44100}})"));
    const auto bad = lumacast::testing::runProcess(
        lumacast::testing::mediaDriverPath(),
        {QStringLiteral("audio-plan"), make(QStringLiteral("pcm2.mov"), {QStringLiteral("-c:a"), QStringLiteral("pcm_s16le")})});
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_EQ(bad.err.trimmed(), QByteArray("format 1819304813 is not AAC"));
}
