#pragma once

#include "store/Preferences.h"
#include "store/WebcamBlob.h"

#include <QPointF>
#include <QRectF>
#include <QString>

#include <optional>

namespace lumacast {

// Where a resize drag on the rim points, counter-clockwise from the right.
enum class ResizeDirection { right, upperRight, up, upperLeft, left, lowerLeft, down, lowerRight };

// The blob's arithmetic. Rectangles are in Qt's global coordinates (logical pixels, y growing
// downwards); the stored placement keeps the other convention of the settings file, measured
// from the display's bottom-left corner, so a placement saved on any machine means the same.
namespace blob_geometry {
inline constexpr double kMargin = 24;
inline constexpr double kMinWidthFraction = 0.1;
inline constexpr double kMaxWidthFraction = 0.6;
inline constexpr double kDefaultWidthFraction = 0.2;
inline constexpr double kRimThickness = 14;

// A w x w blob `kMargin` from the two edges of the corner.
QRectF cornerFrame(BlobCorner corner, const QRectF &display, double width);
// Moved, never resized, into the display; a rectangle wider (taller) than the display ends at its
// left (bottom) edge.
QRectF clampToDisplay(const QRectF &rect, const QRectF &display);
double limitedWidthFraction(double fraction);
// The frame of a saved placement on a display (its width fraction limited, then clamped).
QRectF frameForPlacement(const WebcamBlobPlacement &placement, const QRectF &display);
// The placement of a frame; nothing when the display has no area.
std::optional<WebcamBlobPlacement> placementForFrame(const QRectF &frame, const QRectF &display);
// The frame scaled about its centre by `factor`, kept between the width limits and in the display.
QRectF resizedFrame(const QRectF &frame, double factor, const QRectF &display);
double cornerRadius(BlobShape shape, double height);

// Whether a point lies in a rectangle with corners rounded by `radius`.
bool insideRoundedRect(const QPointF &p, const QRectF &rect, double radius);
// Whether a point of the blob (its own coordinates) lies on the 14-pixel band along its edge.
bool isOnRim(const QPointF &p, const QRectF &bounds, double radius);
// The direction of a point seen from the centre of the bounds (screen orientation: up is up).
ResizeDirection resizeDirection(const QPointF &p, const QRectF &bounds);
} // namespace blob_geometry

} // namespace lumacast
