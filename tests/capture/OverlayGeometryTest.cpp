#include "capture/OverlayGeometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace lumacast;

TEST(OverlayExceptionWindowIDs, KeepsThePanelOnlyWhenItIsShareable)
{
    const std::vector<quint32> windows{11, 42, 7};
    const auto none = overlayExceptionWindowIDs(std::nullopt, windows);
    EXPECT_TRUE(none.windowIDs.empty());
    EXPECT_FALSE(none.missing);

    const auto found = overlayExceptionWindowIDs(42u, windows);
    EXPECT_EQ(found.windowIDs, std::vector<quint32>{42});
    EXPECT_FALSE(found.missing);

    const auto gone = overlayExceptionWindowIDs(99u, windows);
    EXPECT_TRUE(gone.windowIDs.empty());
    EXPECT_TRUE(gone.missing);
    EXPECT_TRUE(overlayExceptionWindowIDs(1u, {}).missing);
}

TEST(EvenPixelSize, RoundsEvensAndKeepsAtLeastTwo)
{
    EXPECT_EQ(evenPixelSize(1001.5, 700.2, 2), (PixelSize{2002, 1400}));
    EXPECT_EQ(evenPixelSize(0.4, 0.4, 1), (PixelSize{2, 2}));
    EXPECT_EQ(evenPixelSize(640.5, 480.5, 1), (PixelSize{640, 480})); // 641 and 481 lowered
    EXPECT_EQ(evenPixelSize(1440.75, 900.25, 1.5), (PixelSize{2160, 1350}));
    EXPECT_EQ(evenPixelSize(3.0, 5.0, 1), (PixelSize{2, 4}));
}

TEST(EvenPixelSize, DegenerateRectanglesStillGiveAUsableSize)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(evenPixelSize(-20, 10, 1), (PixelSize{2, 10}));
    EXPECT_EQ(evenPixelSize(nan, 10, 1), (PixelSize{2, 10}));
    EXPECT_EQ(evenPixelSize(inf, 10, 1), (PixelSize{2, 10}));
    const PixelSize huge = evenPixelSize(1e12, 10, 1);
    EXPECT_EQ(huge.width % 2, 0);
    EXPECT_GT(huge.width, 0);
}
