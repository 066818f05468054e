#include "capture/OverlayGeometry.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace lumacast {

OverlayExceptions overlayExceptionWindowIDs(std::optional<quint32> overlayWindowID,
                                            const std::vector<quint32> &contentWindowIDs)
{
    if (!overlayWindowID)
        return {};
    if (std::find(contentWindowIDs.begin(), contentWindowIDs.end(), *overlayWindowID)
        != contentWindowIDs.end())
        return {{*overlayWindowID}, false};
    return {{}, true};
}

namespace {

int evenPixels(double points, double scale)
{
    const double pixels = points * scale;
    // A non-finite or negative product (a collapsed or bogus rectangle) still has to give a
    // size a stream can be configured with, so it ends at the minimum rather than overflowing.
    if (!std::isfinite(pixels) || pixels <= 0)
        return 2;
    const double rounded = std::round(pixels); // halves away from zero
    long long n = rounded >= double(INT_MAX) ? INT_MAX : (long long)rounded;
    n -= n % 2;
    return int(std::max<long long>(n, 2));
}

} // namespace

PixelSize evenPixelSize(double width, double height, double scale)
{
    return {evenPixels(width, scale), evenPixels(height, scale)};
}

} // namespace lumacast
