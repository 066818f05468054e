#include "overlays/WebcamBlobGeometry.h"

#include <algorithm>
#include <cmath>

namespace lumacast {

namespace blob_geometry {

QRectF cornerFrame(BlobCorner corner, const QRectF &d, double w)
{
    const double left = d.left() + kMargin;
    const double right = d.right() - kMargin - w;
    const double top = d.top() + kMargin;
    const double bottom = d.bottom() - kMargin - w;
    switch (corner) {
    case BlobCorner::topLeft:
        return QRectF(left, top, w, w);
    case BlobCorner::topRight:
        return QRectF(right, top, w, w);
    case BlobCorner::bottomLeft:
        return QRectF(left, bottom, w, w);
    case BlobCorner::bottomRight:
        return QRectF(right, bottom, w, w);
    }
    return QRectF(right, bottom, w, w);
}

QRectF clampToDisplay(const QRectF &rect, const QRectF &d)
{
    QRectF r = rect;
    if (r.right() > d.right())
        r.moveLeft(d.right() - r.width());
    if (r.left() < d.left())
        r.moveLeft(d.left());
    // Upside down from the x axis: the bottom edge wins for a rectangle taller than the display.
    if (r.top() < d.top())
        r.moveTop(d.top());
    if (r.bottom() > d.bottom())
        r.moveTop(d.bottom() - r.height());
    return r;
}

double limitedWidthFraction(double fraction)
{
    if (!std::isfinite(fraction))
        return kDefaultWidthFraction;
    return std::clamp(fraction, kMinWidthFraction, kMaxWidthFraction);
}

QRectF frameForPlacement(const WebcamBlobPlacement &placement, const QRectF &d)
{
    const double w = d.width() * limitedWidthFraction(placement.widthFraction);
    const double x = d.left() + d.width() * (std::isfinite(placement.xFraction) ? placement.xFraction : 0);
    const double yFromBottom = d.height() * (std::isfinite(placement.yFraction) ? placement.yFraction : 0);
    return clampToDisplay(QRectF(x, d.bottom() - yFromBottom - w, w, w), d);
}

std::optional<WebcamBlobPlacement> placementForFrame(const QRectF &f, const QRectF &d)
{
    if (d.width() <= 0 || d.height() <= 0)
        return std::nullopt;
    return WebcamBlobPlacement{(f.left() - d.left()) / d.width(), (d.bottom() - f.bottom()) / d.height(),
                               f.width() / d.width()};
}

QRectF resizedFrame(const QRectF &frame, double factor, const QRectF &d)
{
    const QPointF centre = frame.center();
    const double w = std::clamp(frame.width() * factor, d.width() * kMinWidthFraction, d.width() * kMaxWidthFraction);
    return clampToDisplay(QRectF(centre.x() - w / 2, centre.y() - w / 2, w, w), d);
}

double cornerRadius(BlobShape shape, double height) { return shape == BlobShape::round ? height * 0.5 : 0.0; }

bool insideRoundedRect(const QPointF &p, const QRectF &r, double radius)
{
    if (p.x() < r.left() || p.x() > r.right() || p.y() < r.top() || p.y() > r.bottom())
        return false;
    const double rr = std::max(0.0, std::min(radius, std::min(r.width(), r.height()) * 0.5));
    const QRectF inner = r.adjusted(rr, rr, -rr, -rr);
    if ((p.x() >= inner.left() && p.x() <= inner.right()) || (p.y() >= inner.top() && p.y() <= inner.bottom()))
        return true;
    const double cx = p.x() < inner.left() ? inner.left() : inner.right();
    const double cy = p.y() < inner.top() ? inner.top() : inner.bottom();
    return std::hypot(p.x() - cx, p.y() - cy) <= rr;
}

bool isOnRim(const QPointF &p, const QRectF &bounds, double radius)
{
    const QRectF inner = bounds.adjusted(kRimThickness, kRimThickness, -kRimThickness, -kRimThickness);
    return insideRoundedRect(p, bounds, radius)
        && !(inner.width() >= 0 && inner.height() >= 0
             && insideRoundedRect(p, inner, std::max(0.0, radius - kRimThickness)));
}

ResizeDirection resizeDirection(const QPointF &p, const QRectF &bounds)
{
    // Degrees with 0 to the right and 90 upwards on the screen.
    const double a = std::atan2(bounds.center().y() - p.y(), p.x() - bounds.center().x()) * 180.0 / M_PI;
    if (a >= -22.5 && a < 22.5)
        return ResizeDirection::right;
    if (a >= 22.5 && a < 67.5)
        return ResizeDirection::upperRight;
    if (a >= 67.5 && a < 112.5)
        return ResizeDirection::up;
    if (a >= 112.5 && a < 157.5)
        return ResizeDirection::upperLeft;
    if (a >= 157.5 || a < -157.5)
        return ResizeDirection::left;
    if (a >= -157.5 && a < -112.5)
        return ResizeDirection::lowerLeft;
    if (a >= -112.5 && a < -67.5)
        return ResizeDirection::down;
    return ResizeDirection::lowerRight;
}

} // namespace blob_geometry

} // namespace lumacast
