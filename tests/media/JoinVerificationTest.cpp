// Verification of a joined movie, on real joins and on movies that fail one check each.
#include "JoinTestMovies.h"

#include "media/TakeJoiner.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing::join;
using TakeJoiner::JoinError;
using TakeJoiner::JoinRequest;

namespace {

class JoinVerificationTest : public SharedMovieFolder<JoinVerificationTest> {
    friend SharedMovieFolder<JoinVerificationTest>;

protected:
    static constexpr double kTrimEnd = 1.0;

    static void makeMovies()
    {
        SourceSpec take;
        take.seconds = 1.5;
        writeSource(path("take.mov"), take);
        writeSource(path("tail.mov"), tailSpecFor(path("take.mov"), take, qRgb(30, 200, 30), 660, 1));
        take.systemAudio = true;
        writeSource(path("take2.mov"), take);
        writeSource(path("tail2.mov"), tailSpecFor(path("take2.mov"), take, qRgb(30, 200, 30), 660, 1));
        lumacast::testing::runTask(TakeJoiner::join({path("take.mov"), kTrimEnd, path("tail.mov"), path("joined.mov")}));
        lumacast::testing::runTask(TakeJoiner::join({path("take2.mov"), kTrimEnd, path("tail2.mov"), path("joined2.mov")}));
    }

    static QString failure(const JoinRequest &request)
    {
        try {
            TakeJoiner::verify(request);
        } catch (const JoinError &e) {
            EXPECT_EQ(e.kind(), JoinError::Kind::verifyFailed);
            return e.text();
        }
        ADD_FAILURE() << "verification passed";
        return {};
    }
};

TEST_F(JoinVerificationTest, ResultCarriesTheLoadedDurationAndTheAudioTrackCount)
{
    const TakeJoiner::JoinResult one = TakeJoiner::verify({path("take.mov"), kTrimEnd, path("tail.mov"), path("joined.mov")});
    EXPECT_EQ(one.outputURL, path("joined.mov"));
    EXPECT_EQ(one.audioTrackCount, 1);
    EXPECT_EQ(one.duration, media::Asset::open(path("joined.mov"))->duration().seconds());

    const TakeJoiner::JoinResult two = TakeJoiner::verify({path("take2.mov"), kTrimEnd, path("tail2.mov"), path("joined2.mov")});
    EXPECT_EQ(two.audioTrackCount, 2);
}

TEST_F(JoinVerificationTest, DurationMayBeOffByFiftyMillisecondsAndNoMore)
{
    // The same movie checked against other trim ends: the expected length moves, the movie not.
    const double joined = media::Asset::open(path("joined.mov"))->duration().seconds();
    const double tail = media::Asset::open(path("tail.mov"))->duration().seconds();
    for (double offset : {0.05, -0.05, 0.03}) {
        const auto result = TakeJoiner::verify({path("take.mov"), kTrimEnd + offset, path("tail.mov"), path("joined.mov")});
        EXPECT_EQ(result.duration, joined) << "the loaded length, not the expected one";
    }
    EXPECT_EQ(failure({path("take.mov"), kTrimEnd + 0.051, path("tail.mov"), path("joined.mov")}),
              QString::asprintf("duration %.3f s, expected %.3f s", joined, kTrimEnd + 0.051 + tail));
    EXPECT_EQ(failure({path("take.mov"), kTrimEnd - 0.051, path("tail.mov"), path("joined.mov")}),
              QString::asprintf("duration %.3f s, expected %.3f s", joined, kTrimEnd - 0.051 + tail));
}

TEST_F(JoinVerificationTest, TrackSequenceMustBeTheOriginals)
{
    // A movie that lost the system-audio track: its own sequence first, the take's second.
    EXPECT_EQ(failure({path("take2.mov"), kTrimEnd, path("tail2.mov"), path("joined.mov")}),
              QStringLiteral("track sequence [\"vide\", \"soun\"] differs from the original's [\"vide\", \"soun\", \"soun\"]"));
}

TEST_F(JoinVerificationTest, NeedsAFrameOnEachSideOfTheSplice)
{
    // Nothing before a splice at zero.
    const QString before = failure({path("take.mov"), 0.0, path("joined.mov"), path("joined.mov")});
    EXPECT_TRUE(before.startsWith(QStringLiteral("no decodable frame before the splice"))) << before.toStdString();

    // A movie whose pictures stop at the splice while its sound goes on to the expected length.
    const auto take = media::Asset::open(path("take.mov"));
    media::Composition silentEnd;
    const int v = silentEnd.addTrack(media::MediaType::Video);
    silentEnd.insertTimeRange(v, {media::MediaTime::zero(), media::MediaTime(600, 600)}, take, 0, media::MediaTime::zero());
    const int a = silentEnd.addTrack(media::MediaType::Audio);
    silentEnd.insertTimeRange(a, {media::MediaTime::zero(), media::MediaTime(900, 600)}, take, 1, media::MediaTime::zero());
    media::writePassthrough(silentEnd, path("pictures-stop.mov"));
    // Checked as if a 0.5 s tail had been joined at 1.0 s.
    const auto halfTail = media::Asset::open(path("tail.mov"));
    media::Composition half;
    const int hv = half.addTrack(media::MediaType::Video);
    half.insertTimeRange(hv, {media::MediaTime::zero(), media::MediaTime(300, 600)}, halfTail, 0, media::MediaTime::zero());
    media::writePassthrough(half, path("half.mov"));

    const QString after = failure({path("take.mov"), kTrimEnd, path("half.mov"), path("pictures-stop.mov")});
    EXPECT_TRUE(after.startsWith(QStringLiteral("no decodable frame after the splice: "))) << after.toStdString();
}

TEST_F(JoinVerificationTest, ProbesFindTheNeighboursOfTheSplice)
{
    // 30 fps: the take's last frame starts at 29/30 s, the tail's first at the splice.
    const TakeJoiner::JoinAsset joined(path("joined.mov"));
    const media::MediaTime splice = TakeJoiner::splicePoint(kTrimEnd);
    EXPECT_EQ(TakeJoiner::probeFrame(joined, splice, true), media::MediaTime(29, 30));
    EXPECT_EQ(TakeJoiner::probeFrame(joined, splice, false), splice);
    // Between frames: the one shown there, and the next one.
    const media::MediaTime between(610, 600);
    EXPECT_EQ(TakeJoiner::probeFrame(joined, between, true), media::MediaTime(600, 600));
    EXPECT_EQ(TakeJoiner::probeFrame(joined, between, false), media::MediaTime(620, 600));
    // Within the last tick before a frame, "before" means the frame shown a tick earlier.
    EXPECT_EQ(TakeJoiner::probeFrame(joined, media::MediaTime(62001, 60000), true), media::MediaTime(600, 600));
}

TEST_F(JoinVerificationTest, UnreadableMoviesThrowTheMediaError)
{
    EXPECT_THROW(TakeJoiner::verify({path("take.mov"), kTrimEnd, path("tail.mov"), path("missing.mov")}), media::MediaError);
    EXPECT_THROW(TakeJoiner::verify({path("take.mov"), kTrimEnd, path("missing.mov"), path("joined.mov")}), media::MediaError);
}

} // namespace
