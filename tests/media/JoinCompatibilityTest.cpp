// The join's compatibility policy, each refusal from a pair that differs in that one respect.
#include "JoinTestMovies.h"

#include "media/TakeJoiner.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;
using namespace lumacast::testing::join;
using take_joiner::JoinAsset;

namespace {

class JoinCompatibilityTest : public SharedMovieFolder<JoinCompatibilityTest> {
    friend SharedMovieFolder<JoinCompatibilityTest>;

protected:

    static void makeMovies()
    {
        SourceSpec take;
        take.seconds = 1.5;
        writeSource(path("take.mov"), take);
        writeSource(path("tail.mov"), tailSpecFor(path("take.mov"), take, qRgb(30, 200, 30), 660, 1));

        SourceSpec take2 = take;
        take2.systemAudio = true;
        writeSource(path("take2.mov"), take2);
        writeSource(path("tail2.mov"), tailSpecFor(path("take2.mov"), take2, qRgb(30, 200, 30), 660, 1));

        SourceSpec big = tailSpecFor(path("take.mov"), take, qRgb(30, 30, 200), 550, 1);
        big.width = 640;
        big.height = 360;
        writeSource(path("tail-640.mov"), big);

        SourceSpec mono = take;
        mono.micChannels = 1;
        mono.seconds = 1;
        writeSource(path("tail-mono.mov"), mono);

        SourceSpec rate44 = take;
        rate44.micRate = 44100;
        rate44.seconds = 1;
        writeSource(path("take-44k.mov"), rate44);
    }

    static std::optional<QString> problem(const QString &original, const QString &tail)
    {
        return take_joiner::compatibilityProblem(JoinAsset(path(original)), JoinAsset(path(tail)));
    }
};

TEST_F(JoinCompatibilityTest, TakesAndTailsOfTheTakeWriterMayBeJoined)
{
    EXPECT_EQ(problem("take.mov", "tail.mov"), std::nullopt);
    EXPECT_EQ(problem("take2.mov", "tail2.mov"), std::nullopt);
    // A joined movie is an original again: its tracks still have one description each.
    EXPECT_EQ(problem("tail.mov", "take.mov"), std::nullopt);
}

TEST_F(JoinCompatibilityTest, VideoTrackCountsAreCheckedOriginalFirstThenTail)
{
    writeVariant(path("no-video.mov"), {{path("tail.mov"), 1}});
    EXPECT_EQ(problem("take.mov", "no-video.mov"), QStringLiteral("the tail has 0 video tracks (need exactly 1)"));
    EXPECT_EQ(problem("no-video.mov", "no-video.mov"), QStringLiteral("the original has 0 video tracks (need exactly 1)"));

    // Two video tracks and no audio at all: the video count is reported before any audio check.
    writeVariant(path("two-video.mov"), {{path("tail.mov"), 0}, {path("tail.mov"), 0}});
    EXPECT_EQ(problem("take.mov", "two-video.mov"), QStringLiteral("the tail has 2 video tracks (need exactly 1)"));
}

TEST_F(JoinCompatibilityTest, AudioTrackCounts)
{
    writeVariant(path("three-audio.mov"),
                 {{path("take2.mov"), 0}, {path("take2.mov"), 1}, {path("take2.mov"), 2}, {path("take2.mov"), 2}});
    EXPECT_EQ(problem("three-audio.mov", "tail2.mov"), QStringLiteral("the original has 3 audio tracks (need 1 or 2)"));
    writeVariant(path("silent.mov"), {{path("take.mov"), 0}});
    EXPECT_EQ(problem("silent.mov", "tail.mov"), QStringLiteral("the original has 0 audio tracks (need 1 or 2)"));

    EXPECT_EQ(problem("take2.mov", "tail.mov"), QStringLiteral("audio track count differs (2 vs 1)"));
    EXPECT_EQ(problem("take.mov", "tail2.mov"), QStringLiteral("audio track count differs (1 vs 2)"));
}

TEST_F(JoinCompatibilityTest, TracksMustHaveExactlyOneFormatDescription)
{
    // One video track holding two frame sizes: two sample descriptions.
    const auto small = av::Asset::open(path("take.mov"));
    const auto big = av::Asset::open(path("tail-640.mov"));
    av::Composition mixed;
    const int v = mixed.addTrack(av::MediaType::Video);
    mixed.insertTimeRange(v, {av::MediaTime::zero(), small->duration()}, small, 0, av::MediaTime::zero());
    mixed.insertTimeRange(v, {av::MediaTime::zero(), big->duration()}, big, 0, small->duration());
    const int a = mixed.addTrack(av::MediaType::Audio);
    mixed.insertTimeRange(a, {av::MediaTime::zero(), small->duration()}, small, 1, av::MediaTime::zero());
    av::writePassthrough(mixed, path("two-sizes.mov"));

    EXPECT_EQ(problem("two-sizes.mov", "tail.mov"),
              QStringLiteral("the original's video has 2 format descriptions (need exactly 1)"));
    EXPECT_EQ(problem("take.mov", "two-sizes.mov"), QStringLiteral("the tail's video has 2 format descriptions (need exactly 1)"));
}

TEST_F(JoinCompatibilityTest, VideoFormatMustMatch)
{
    EXPECT_EQ(problem("take.mov", "tail-640.mov"),
              QStringLiteral("video format differs (dimensions, codec profile/level, colour or parameter sets)"));
}

TEST_F(JoinCompatibilityTest, AudioMustBeAacOfTheSameFormatTrackByTrack)
{
    EXPECT_EQ(problem("take.mov", "tail-mono.mov"),
              QStringLiteral("audio track 0 format differs (sample rate, channels, layout or encoder settings)"));

    // The system-audio track (index 1) of the tail comes from a 44.1 kHz recording.
    writeVariant(path("tail2-44k-system.mov"), {{path("tail2.mov"), 0}, {path("tail2.mov"), 1}, {path("take-44k.mov"), 1}});
    EXPECT_EQ(problem("take2.mov", "tail2-44k-system.mov"),
              QStringLiteral("audio track 1 format differs (sample rate, channels, layout or encoder settings)"));

    // An original whose microphone is linear PCM is refused whatever the tail holds.
    const QString pcm = path("pcm.mov");
    const auto made = runProcess(QStringLiteral("ffmpeg"),
                                 {"-v", "error", "-y", "-f", "lavfi", "-i", "color=c=red:s=320x240:r=30:d=1", "-f", "lavfi",
                                  "-i", "sine=d=1:sample_rate=48000", "-c:v", "libx264", "-c:a", "pcm_s16le", pcm});
    ASSERT_TRUE(made.ok()) << made.err.toStdString();
    writeVariant(path("take-pcm.mov"), {{path("take.mov"), 0}, {pcm, 1}});
    EXPECT_EQ(problem("take-pcm.mov", "tail.mov"), QStringLiteral("the original's audio track 0 is not AAC audio"));
    EXPECT_EQ(problem("take-pcm.mov", "take-pcm.mov"), QStringLiteral("the original's audio track 0 is not AAC audio"));
    // The video is compared before the audio.
    EXPECT_EQ(problem("pcm.mov", "tail.mov"),
              QStringLiteral("video format differs (dimensions, codec profile/level, colour or parameter sets)"));
}

TEST_F(JoinCompatibilityTest, OrientationMustMatch)
{
    writeVariant(path("tail-turned.mov"),
                 {{path("tail.mov"), 0, av::AffineTransform{0, 1, -1, 0, 240, 0}}, {path("tail.mov"), 1}});
    EXPECT_EQ(problem("take.mov", "tail-turned.mov"), QStringLiteral("video orientation (preferredTransform) differs"));

    writeVariant(path("tail-audio-turned.mov"),
                 {{path("tail.mov"), 0}, {path("tail.mov"), 1, av::AffineTransform::scale(-1, 1)}});
    EXPECT_EQ(problem("take.mov", "tail-audio-turned.mov"), QStringLiteral("audio track 0 orientation (preferredTransform) differs"));
}

TEST_F(JoinCompatibilityTest, UnreadableMoviesAreRefusedNotThrown)
{
    const auto missing = problem("take.mov", "no-such-tail.mov");
    ASSERT_TRUE(missing.has_value());
    EXPECT_TRUE(missing->startsWith(QStringLiteral("could not read the source tracks: "))) << missing->toStdString();

    QFile junk(path("junk.mov"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(4096, 'x'));
    junk.close();
    const auto damaged = problem("junk.mov", "tail.mov");
    ASSERT_TRUE(damaged.has_value());
    EXPECT_TRUE(damaged->startsWith(QStringLiteral("could not read the source tracks: "))) << damaged->toStdString();
}

} // namespace
