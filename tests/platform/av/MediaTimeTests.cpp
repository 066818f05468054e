#include "platform/av/MediaError.h"
#include "platform/av/MediaTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace lumacast::av;

TEST(MediaTime, ComparesExactlyAcrossTimescales)
{
    EXPECT_EQ(MediaTime(1, 30), MediaTime(20, 600));
    EXPECT_LT(MediaTime(1, 30), MediaTime(1601, 48000)); // 1/30 s is 1600 ticks of 48 kHz
    EXPECT_GT(MediaTime(1, 30), MediaTime(1599, 48000));
    // Values far beyond what a 64-bit cross product holds still compare correctly.
    const std::int64_t big = std::numeric_limits<std::int64_t>::max() / 3;
    EXPECT_LT(MediaTime(big, 1000000000), MediaTime(big + 1, 1000000000));
    EXPECT_EQ(MediaTime(big, 7) <=> MediaTime(big, 7), std::partial_ordering::equivalent);

    EXPECT_LT(MediaTime::negativeInfinity(), MediaTime(-5, 1));
    EXPECT_GT(MediaTime::positiveInfinity(), MediaTime(std::numeric_limits<std::int64_t>::max(), 1));
    // Invalid and indefinite times do not order against numbers.
    EXPECT_FALSE(MediaTime::invalid() < MediaTime::zero());
    EXPECT_FALSE(MediaTime::invalid() >= MediaTime::zero());
    EXPECT_FALSE(MediaTime::indefinite() == MediaTime::zero());
    EXPECT_EQ(MediaTime::indefinite(), MediaTime::indefinite());
}

TEST(MediaTime, AddsAndConvertsWithoutLosingTicks)
{
    const MediaTime sum = MediaTime(1, 30) + MediaTime(1024, 48000);
    EXPECT_EQ(sum, MediaTime(1600 + 1024, 48000));
    EXPECT_EQ(MediaTime(3, 600) - MediaTime(1, 200), MediaTime::zero());
    EXPECT_EQ(MediaTime(20, 600) * 30, MediaTime(1, 1));
    // Timescales whose common multiple does not fit fall back to the larger one, rounded.
    const MediaTime odd = MediaTime(1, 2147483629) + MediaTime(1, 2147483587);
    EXPECT_EQ(odd.timescale, 2147483629);
    EXPECT_EQ(odd.value, 2);

    EXPECT_EQ(MediaTime::fromSeconds(12.3), MediaTime(7380, 600));
    EXPECT_EQ(MediaTime::fromSeconds(1.0 / 1200.0).value, 1);   // half a tick rounds away from zero
    EXPECT_EQ(MediaTime::fromSeconds(-1.0 / 1200.0).value, -1);
    EXPECT_FALSE(MediaTime::fromSeconds(std::nan("")).isValid());
    EXPECT_TRUE(MediaTime::fromSeconds(INFINITY).isPositiveInfinity());
    EXPECT_DOUBLE_EQ(MediaTime(7380, 600).seconds(), 12.3);
    EXPECT_EQ(MediaTime(1001, 30000).convertScale(600), MediaTime(20, 600));

    EXPECT_FALSE((MediaTime::positiveInfinity() + MediaTime::negativeInfinity()).isValid());
    EXPECT_TRUE((MediaTime::positiveInfinity() + MediaTime(5, 1)).isPositiveInfinity());
    EXPECT_FALSE((MediaTime::invalid() + MediaTime(5, 1)).isValid());

    const MediaTimeRange range{MediaTime(10, 600), MediaTime(20, 600)};
    EXPECT_TRUE(range.contains(MediaTime(1, 60)));
    EXPECT_FALSE(range.contains(range.end()));
}

TEST(MediaError, DescribesChainsOutermostFirst)
{
    const MediaError inner(QStringLiteral("POSIX"), 2, QStringLiteral("No such file"));
    const MediaError outer = inner.wrapped(MediaError::ReadFailed, QStringLiteral("Cannot read"),
                                           QStringLiteral("the source is gone"));
    EXPECT_EQ(describeErrorChain(outer),
              QStringLiteral("Lumacast.Media 9: Cannot read \u2014 the source is gone \u27F5 POSIX 2: No such file"));

    MediaError deep = inner;
    for (int i = 0; i < 6; ++i)
        deep = deep.wrapped(100 + i, QStringLiteral("level %1").arg(i));
    EXPECT_EQ(describeErrorChain(deep).count(QStringLiteral(" \u27F5 ")), 4);
    EXPECT_TRUE(describeErrorChain(deep).startsWith(QStringLiteral("Lumacast.Media 105: level 5")));
}
