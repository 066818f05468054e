#include "capture/PauseTimeline.h"

#include <gtest/gtest.h>

using lumacast::PauseTimeline;
using lumacast::SampleTime;

namespace {

SampleTime ns(int64_t v)
{
    return SampleTime::fromNanoseconds(v);
}
SampleTime t(int64_t v, int32_t scale)
{
    return SampleTime::make(v, scale);
}

} // namespace

TEST(SampleTime, ComparesAndAddsExactlyAcrossTimescales)
{
    EXPECT_EQ(t(1, 3), t(200, 600));
    EXPECT_LT(t(1, 3), t(333334, 1000000));
    EXPECT_GT(t(1, 3), t(333333, 1000000));
    const SampleTime sum = t(1, 3) + t(1, 5);
    EXPECT_EQ(sum, t(8, 15));
    EXPECT_EQ(sum.timescale, 15);
    EXPECT_EQ(t(1, 600) - t(1, 1000000000), t(1666666, 1000000000));
    // Timescales whose common multiple does not fit 32 bits round the coarser operand.
    const SampleTime mixed = t(1, 999999937) + t(1, 999999929);
    EXPECT_TRUE(mixed.isValid());
    EXPECT_NEAR(mixed.seconds(), 2e-9, 1e-15);
}

TEST(SampleTime, InvalidTimesPropagateAndCompareLatest)
{
    EXPECT_FALSE((SampleTime::invalid() + ns(1)).isValid());
    EXPECT_FALSE((ns(1) - SampleTime::invalid()).isValid());
    EXPECT_FALSE(t(5, 0).isValid());
    EXPECT_GT(SampleTime::invalid(), ns(INT64_MAX));
    EXPECT_EQ(SampleTime::invalid(), SampleTime::invalid());
}

TEST(SampleTime, ConvertsWithHalvesAwayFromZero)
{
    EXPECT_EQ(t(1, 120).convertedTo(60).value, 1);  // 0.5 tick
    EXPECT_EQ(t(-1, 120).convertedTo(60).value, -1);
    EXPECT_EQ(t(1, 180).convertedTo(60).value, 0);  // a third of a tick
    EXPECT_EQ(lumacast::rescaleTicks(INT64_MAX, 1, 1000), INT64_MAX);
}

TEST(PauseTimeline, WithoutPausesOutputEqualsCaptureTime)
{
    PauseTimeline timeline;
    SampleTime lastVideo, lastAudio;
    for (int64_t i = 0; i < 5; ++i) {
        lastVideo = timeline.map(ns(1000000000 + i * 16666667), lastVideo);
        EXPECT_EQ(lastVideo, ns(1000000000 + i * 16666667));
        lastAudio = timeline.map(ns(1000000000 + i * 10000000), lastAudio);
        EXPECT_EQ(lastAudio, ns(1000000000 + i * 10000000));
    }
    EXPECT_EQ(timeline.offset, SampleTime::zero());
}

TEST(PauseTimeline, ResumeBeforeFirstSampleAddsNothing)
{
    PauseTimeline timeline;
    timeline.resumePending = true;
    EXPECT_EQ(timeline.map(ns(500), SampleTime::invalid()), ns(500));
    EXPECT_FALSE(timeline.resumePending);
    EXPECT_EQ(timeline.offset, SampleTime::zero());
}

TEST(PauseTimeline, GapFromLastSampleOfAnyTrackToFirstAfterResume)
{
    PauseTimeline timeline;
    SampleTime video, audio;
    video = timeline.map(ns(1000), video);
    audio = timeline.map(ns(1200), audio); // the latest sample before the pause is audio
    // Several pause/resume pairs without samples between them: one gap.
    timeline.resumePending = true;
    timeline.resumePending = true;
    video = timeline.map(ns(5000), video);
    EXPECT_EQ(timeline.offset, ns(3800));
    EXPECT_EQ(video, ns(1200));
    // The other track is mapped with the new offset.
    audio = timeline.map(ns(5100), audio);
    EXPECT_EQ(audio, ns(1300));
}

TEST(PauseTimeline, OlderFirstSampleAfterResumeShrinksOffset)
{
    PauseTimeline timeline;
    SampleTime video, audio;
    video = timeline.map(ns(1000), video);
    video = timeline.map(ns(2000), video);
    timeline.resumePending = true;
    audio = timeline.map(ns(1500), audio); // late audio buffer is the first through
    EXPECT_EQ(timeline.offset, ns(-500));
    EXPECT_EQ(timeline.lastSource, ns(2000));
    EXPECT_EQ(audio, ns(2000));
}

TEST(PauseTimeline, OlderSampleLeavesLastSourceAndUsesCurrentOffset)
{
    PauseTimeline timeline;
    SampleTime video, audio;
    video = timeline.map(ns(3000), video);
    audio = timeline.map(ns(2500), audio);
    EXPECT_EQ(timeline.lastSource, ns(3000));
    EXPECT_EQ(audio, ns(2500));
}

TEST(PauseTimeline, OutputsStrictlyIncreasePerTrackByOneTickOfTheSource)
{
    PauseTimeline timeline;
    SampleTime last;
    last = timeline.map(t(10, 600), last);
    last = timeline.map(t(10, 600), last); // same capture time
    EXPECT_EQ(last, t(11, 600));
    last = timeline.map(t(1, 1000000000), last); // earlier, finer timescale: one nanosecond on
    EXPECT_EQ(last, t(11, 600) + t(1, 1000000000));
    // Another track's history does not matter.
    EXPECT_EQ(timeline.map(t(5, 600), SampleTime::invalid()), t(5, 600));
}
