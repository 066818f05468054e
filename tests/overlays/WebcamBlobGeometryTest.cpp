// The webcam blob's arithmetic: corners, clamps, saved placements, resizing and the rim.
#include "overlays/WebcamBlobGeometry.h"

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::blob_geometry;

namespace {
const QRectF k1440(0, 0, 1440, 900);
}

TEST(WebcamBlobGeometry, CornerFramesKeepTheMarginFromBothEdges)
{
    // Qt's y grows downwards: the bottom-right blob of a 1440 x 900 display is 24 from the right
    // and the bottom edge.
    const struct {
        BlobCorner corner;
        QRectF display;
        QRectF expected;
    } cases[] = {
        {BlobCorner::bottomRight, k1440, QRectF(1128, 588, 288, 288)},
        {BlobCorner::bottomLeft, k1440, QRectF(24, 588, 288, 288)},
        {BlobCorner::topLeft, k1440, QRectF(24, 24, 288, 288)},
        {BlobCorner::topRight, k1440, QRectF(1128, 24, 288, 288)},
        {BlobCorner::bottomRight, QRectF(1920, -200, 1440, 900), QRectF(3048, 388, 288, 288)},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(cornerFrame(c.corner, c.display, c.display.width() * kDefaultWidthFraction), c.expected)
            << blob_corner::rawValue(c.corner).toStdString();
    }
}

TEST(WebcamBlobGeometry, ClampMovesButNeverResizes)
{
    const struct {
        QRectF rect;
        QRectF expected;
    } cases[] = {
        {QRectF(100, 100, 288, 288), QRectF(100, 100, 288, 288)},
        {QRectF(1300, 700, 288, 288), QRectF(1152, 612, 288, 288)},
        {QRectF(-50, -70, 288, 288), QRectF(0, 0, 288, 288)},
        {QRectF(-10, 10, 1600, 300), QRectF(0, 10, 1600, 300)},  // wider: at the left edge
        {QRectF(10, -10, 300, 1000), QRectF(10, -100, 300, 1000)}, // taller: at the bottom edge
    };
    for (const auto &c : cases)
        EXPECT_EQ(clampToDisplay(c.rect, k1440), c.expected);
}

TEST(WebcamBlobGeometry, PlacementsAreRelativeToTheDisplay)
{
    // Saved on a 2560-wide display, shown on a 1440-wide one: same relative place and width.
    const QRectF wide(0, 0, 2560, 1440);
    const QRectF saved(1280, 352, 512, 512);
    const auto placement = placementForFrame(saved, wide);
    ASSERT_TRUE(placement);
    EXPECT_DOUBLE_EQ(placement->xFraction, 0.5);
    EXPECT_DOUBLE_EQ(placement->yFraction, 0.4);   // from the bottom edge
    EXPECT_DOUBLE_EQ(placement->widthFraction, 0.2);
    EXPECT_EQ(frameForPlacement(*placement, k1440), QRectF(720, 252, 288, 288));
    EXPECT_EQ(frameForPlacement(*placement, wide), saved);

    const struct {
        WebcamBlobPlacement placement;
        QRectF expected;
    } cases[] = {
        {{0.1, 0.1, 0.9}, QRectF(144, 0, 864, 864)},   // width limited to 0.6, then clamped
        {{0.1, 0.1, 0.05}, QRectF(144, 666, 144, 144)}, // width raised to 0.1
        {{1.5, -2.0, 0.2}, QRectF(1152, 612, 288, 288)}, // off the display: brought back
    };
    for (const auto &c : cases)
        EXPECT_EQ(frameForPlacement(c.placement, k1440), c.expected);

    EXPECT_FALSE(placementForFrame(saved, QRectF(0, 0, 0, 900)));
    EXPECT_FALSE(placementForFrame(saved, QRectF(0, 0, 1440, 0)));
}

TEST(WebcamBlobGeometry, ResizingKeepsTheCentreWithinTheLimits)
{
    const struct {
        QRectF frame;
        double factor;
        QRectF expected;
    } cases[] = {
        {QRectF(500, 300, 200, 200), 1.5, QRectF(450, 250, 300, 300)},
        {QRectF(500, 300, 200, 200), 10, QRectF(168, 0, 864, 864)},  // 0.6 of the width, kept inside
        {QRectF(500, 300, 200, 200), 0.1, QRectF(528, 328, 144, 144)}, // 0.1 of the width
        {QRectF(1200, 600, 200, 200), 1.4, QRectF(1160, 560, 280, 280)}, // still inside
        {QRectF(1230, 680, 200, 200), 1.2, QRectF(1200, 660, 240, 240)}, // pushed back from the edge
    };
    for (const auto &c : cases)
        EXPECT_EQ(resizedFrame(c.frame, c.factor, k1440), c.expected);
}

TEST(WebcamBlobGeometry, TheRimIsABandAlongTheEdge)
{
    const QRectF bounds(0, 0, 200, 200);
    const struct {
        QPointF point;
        double radius;
        bool onRim;
        ResizeDirection direction;
    } cases[] = {
        {{195, 100}, 100, true, ResizeDirection::right},
        {{100, 3}, 100, true, ResizeDirection::up},
        {{100, 100}, 100, false, ResizeDirection::right},
        {{5, 5}, 100, false, ResizeDirection::upperLeft},     // outside the circle
        {{5, 5}, 0, true, ResizeDirection::upperLeft},        // inside a square blob's corner
        {{165, 35}, 100, true, ResizeDirection::upperRight},  // 45 degrees, on the ring
        {{100, 190}, 100, true, ResizeDirection::down},
        {{10, 190}, 0, true, ResizeDirection::lowerLeft},
        {{190, 190}, 0, true, ResizeDirection::lowerRight},
        {{5, 100}, 100, true, ResizeDirection::left},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(isOnRim(c.point, bounds, c.radius), c.onRim) << c.point.x() << "," << c.point.y();
        EXPECT_EQ(resizeDirection(c.point, bounds), c.direction) << c.point.x() << "," << c.point.y();
    }
    // A blob 28 pixels or smaller is all rim.
    EXPECT_TRUE(isOnRim(QPointF(12, 12), QRectF(0, 0, 24, 24), 0));
}
