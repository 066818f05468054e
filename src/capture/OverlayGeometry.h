#pragma once

#include <QtGlobal>

#include <optional>
#include <vector>

namespace lumacast {

// Which windows the screen recording keeps although their application is left out: the
// webcam overlay panel, when it is among the shareable windows.
struct OverlayExceptions {
    std::vector<quint32> windowIDs;
    bool missing = false; // an id was given but is not among the shareable windows
};

OverlayExceptions overlayExceptionWindowIDs(std::optional<quint32> overlayWindowID,
                                            const std::vector<quint32> &contentWindowIDs);

struct PixelSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const PixelSize &, const PixelSize &) = default;
};

// A capture size in pixels for a size in points: rounded, made even (4:2:0 video needs it) and
// at least 2 x 2.
PixelSize evenPixelSize(double width, double height, double scale);

} // namespace lumacast
