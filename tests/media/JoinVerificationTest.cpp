// Verification of a joined movie, on real joins and on movies that fail one check each.
#include "JoinTestMovies.h"

#include "media/TakeJoiner.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing::join;
using take_joiner::JoinError;
using take_joiner::JoinRequest;

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
        lumacast::testing::runTask(take_joiner::join({path("take.mov"), kTrimEnd, path("tail.mov"), path("joined.mov")}));
        lumacast::testing::runTask(take_joiner::join({path("take2.mov"), kTrimEnd, path("tail2.mov"), path("joined2.mov")}));
    }

    static QString failure(const JoinRequest &request)
    {
        try {
            take_joiner::verify(request);
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
    const take_joiner::JoinResult one = take_joiner::verify({path("take.mov"), kTrimEnd, path("tail.mov"), path("joined.mov")});
    EXPECT_EQ(one.outputURL, path("joined.mov"));
    EXPECT_EQ(one.audioTrackCount, 1);
    EXPECT_EQ(one.duration, av::Asset::open(path("joined.mov"))->duration().seconds());

    const take_joiner::JoinResult two = take_joiner::verify({path("take2.mov"), kTrimEnd, path("tail2.mov"), path("joined2.mov")});
    EXPECT_EQ(two.audioTrackCount, 2);
}

TEST_F(JoinVerificationTest, DurationMayBeOffByFiftyMillisecondsAndNoMore)
{
    // The same movie checked against other trim ends: the expected length moves, the movie not.
    const double joined = av::Asset::open(path("joined.mov"))->duration().seconds();
    const double tail = av::Asset::open(path("tail.mov"))->duration().seconds();
    for (double offset : {0.05, -0.05, 0.03}) {
        const auto result = take_joiner::verify({path("take.mov"), kTrimEnd + offset, path("tail.mov"), path("joined.mov")});
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
    const auto take = av::Asset::open(path("take.mov"));
    av::Composition silentEnd;
    const int v = silentEnd.addTrack(av::MediaType::Video);
    silentEnd.insertTimeRange(v, {av::MediaTime::zero(), av::MediaTime(600, 600)}, take, 0, av::MediaTime::zero());
    const int a = silentEnd.addTrack(av::MediaType::Audio);
    silentEnd.insertTimeRange(a, {av::MediaTime::zero(), av::MediaTime(900, 600)}, take, 1, av::MediaTime::zero());
    av::writePassthrough(silentEnd, path("pictures-stop.mov"));
    // Checked as if a 0.5 s tail had been joined at 1.0 s.
    const auto halfTail = av::Asset::open(path("tail.mov"));
    av::Composition half;
    const int hv = half.addTrack(av::MediaType::Video);
    half.insertTimeRange(hv, {av::MediaTime::zero(), av::MediaTime(300, 600)}, halfTail, 0, av::MediaTime::zero());
    av::writePassthrough(half, path("half.mov"));

    const QString after = failure({path("take.mov"), kTrimEnd, path("half.mov"), path("pictures-stop.mov")});
    EXPECT_TRUE(after.startsWith(QStringLiteral("no decodable frame after the splice: "))) << after.toStdString();
}

TEST_F(JoinVerificationTest, ProbesFindTheNeighboursOfTheSplice)
{
    // 30 fps: the take's last frame starts at 29/30 s, the tail's first at the splice.
    const take_joiner::JoinAsset joined(path("joined.mov"));
    const av::MediaTime splice = take_joiner::splicePoint(kTrimEnd);
    EXPECT_EQ(take_joiner::probeFrame(joined, splice, true), av::MediaTime(29, 30));
    EXPECT_EQ(take_joiner::probeFrame(joined, splice, false), splice);
    // Between frames: the one shown there, and the next one.
    const av::MediaTime between(610, 600);
    EXPECT_EQ(take_joiner::probeFrame(joined, between, true), av::MediaTime(600, 600));
    EXPECT_EQ(take_joiner::probeFrame(joined, between, false), av::MediaTime(620, 600));
    // Within the last tick before a frame, "before" means the frame shown a tick earlier.
    EXPECT_EQ(take_joiner::probeFrame(joined, av::MediaTime(62001, 60000), true), av::MediaTime(600, 600));
}

TEST_F(JoinVerificationTest, UnreadableMoviesThrowTheMediaError)
{
    EXPECT_THROW(take_joiner::verify({path("take.mov"), kTrimEnd, path("tail.mov"), path("missing.mov")}), av::MediaError);
    EXPECT_THROW(take_joiner::verify({path("take.mov"), kTrimEnd, path("missing.mov"), path("joined.mov")}), av::MediaError);
}

} // namespace
