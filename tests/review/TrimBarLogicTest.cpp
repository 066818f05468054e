#include "review/TrimBarLogic.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace lumacast::review;

TEST(TrimBarLogic, FormatTimeTruncatesEveryField)
{
    const struct {
        double seconds;
        const char *text;
    } cases[] = {
        {0, "0:00.0"},       {-3, "0:00.0"},      {NAN, "0:00.0"},   {59.97, "0:59.9"},
        {61.25, "1:01.2"},   {125.0, "2:05.0"},   {600, "10:00.0"},  {3599.99, "59:59.9"},
        {3600, "60:00.0"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(formatTime(c.seconds), QString::fromLatin1(c.text)) << c.seconds;
}

TEST(TrimBarLogic, StripGeometry)
{
    // Strip 220 wide (inner 200), handles 10 wide, take of 10 s.
    const struct {
        double start, end;
        bool canRecordTail;
        double startCentre, endCentre, tailWidth;
        bool leftDim, right, tail, tailText;
    } cases[] = {
        {0, 10, true, 5, 215, 0, false, false, false, false},
        {2, 8, true, 45, 175, 40, true, true, true, false},
        {2, 8, false, 45, 175, 40, true, true, false, false},
        {0.001, 9.995, true, 5.02, 214.9, 0.1, false, false, false, false}, // fractions 0.0001, 0.9995
        {0.02, 4, true, 5.4, 95, 120, true, true, true, true},
    };
    for (const auto &c : cases) {
        const auto g = TrimStripGeometry::compute(220, 10, 10, c.start, c.end, c.canRecordTail);
        SCOPED_TRACE(testing::Message() << c.start << "-" << c.end);
        EXPECT_DOUBLE_EQ(g.innerWidth, 200);
        EXPECT_NEAR(g.startCentre, c.startCentre, 1e-9);
        EXPECT_NEAR(g.endCentre, c.endCentre, 1e-9);
        EXPECT_NEAR(g.selectionWidth, c.endCentre - c.startCentre + 10, 1e-9);
        EXPECT_NEAR(g.tailWidth, c.tailWidth, 1e-9);
        EXPECT_NEAR(g.tailCentre, 220 - c.tailWidth / 2, 1e-9);
        EXPECT_EQ(g.leftDimShown, c.leftDim);
        EXPECT_EQ(g.rightRegionShown, c.right);
        EXPECT_EQ(g.tailShown, c.tail);
        EXPECT_EQ(g.tailTextShown, c.tailText);
    }
    // Without a duration the handles sit at the ends; the marker is relative to the start handle.
    const auto g = TrimStripGeometry::compute(220, 10, 0, 3, 4, true);
    EXPECT_DOUBLE_EQ(g.startFraction, 0);
    EXPECT_DOUBLE_EQ(g.endFraction, 1);
    const auto h = TrimStripGeometry::compute(220, 10, 10, 2, 8, true);
    EXPECT_DOUBLE_EQ(h.markerX(2, 10), 0);
    EXPECT_DOUBLE_EQ(h.markerX(5, 10), 60);
    EXPECT_DOUBLE_EQ(clampedLabelCentre(2, estimatedHalfWidth(QStringLiteral("0:00.0")), 220), 18);
    EXPECT_DOUBLE_EQ(clampedLabelCentre(219, 18, 220), 202);
}

TEST(TrimBarLogic, HandleDragKeepsTheGapAndTheEnds)
{
    // Inner width 200, handle width 10, take of 10 s: strip x = 5 + 20 * seconds for the start
    // handle, 15 + 20 * seconds for the end handle.
    const struct {
        TrimHandle handle;
        double x, trimStart, trimEnd, duration, expected;
    } cases[] = {
        {TrimHandle::start, 45, 0, 10, 10, 2},     // plain move
        {TrimHandle::start, 205, 0, 6, 10, 5.5},   // past the end handle: end - 0.5
        {TrimHandle::start, -50, 3, 10, 10, 0},    // far left: exactly 0
        {TrimHandle::start, 100, 0, 0.3, 10, 0},   // trim end below the gap: 0
        {TrimHandle::end, 175, 0, 10, 10, 8},      // plain move
        {TrimHandle::end, 0, 4, 10, 10, 4.5},      // past the start handle: start + 0.5
        {TrimHandle::end, 900, 0, 5, 10, 10},      // far right: exactly the duration
        {TrimHandle::end, 20, 9.8, 10, 10, 10},    // start later than duration - gap: duration
    };
    for (const auto &c : cases)
        EXPECT_NEAR(handleDragValue(c.handle, c.x, 200, 10, c.duration, c.trimStart, c.trimEnd, 0.5), c.expected,
                    1e-9)
            << (c.handle == TrimHandle::start ? "start" : "end") << " x=" << c.x;
}

TEST(TrimBarLogic, ScrubSnapsIntoTheTrimRange)
{
    // Strip 220 wide, usable 200 from x = 10; take of 10 s trimmed to 2...8.
    const struct {
        double x, width, duration;
        std::optional<double> expected;
    } cases[] = {
        {110, 220, 10, 5},         {10, 220, 10, 2},  // left of the range: the start
        {215, 220, 10, 8},         {-40, 220, 10, 2}, // right of it: the end; outside the strip
        {NAN, 220, 10, 2},         {50, 20, 10, {}},  // no usable width
        {50, 220, 0, {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(scrubTime(c.x, c.width, 10, c.duration, 2, 8), c.expected) << c.x;
}

TEST(TrimBarLogic, PlayAndObserverKeepPlaybackInTheRange)
{
    const struct {
        double t;
        bool restarts;
    } play[] = {{7.96, true}, {7.94, false}, {8, true}, {9, true}, {1.9, true}, {2, false}, {5, false}};
    for (const auto &c : play)
        EXPECT_EQ(playRestartsFromTrimStart(c.t, 2, 8), c.restarts) << c.t;

    const struct {
        double t, capturedEnd;
        TickAction action;
    } ticks[] = {
        {1.85, 8, TickAction::seekToTrimStart}, {1.95, 8, TickAction::none},
        {8, 8, TickAction::pauseAtTrimEnd},     {7.99, 8, TickAction::none},
        {9.995, 9.995, TickAction::none},       // a trim end at the take's end plays through
        {9.98, 9.98, TickAction::pauseAtTrimEnd},
    };
    for (const auto &c : ticks)
        EXPECT_EQ(observerTickAction(c.t, 2, c.capturedEnd, 10), c.action) << c.t;
}
