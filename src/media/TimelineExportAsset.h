#pragma once

#include "media/TimelineExport.h"

namespace lumacast::timeline_export {

// Reads a movie through the media layer's asset: duration with edit lists honoured, the video
// tracks' natural size, preferred transform and nominal rate, and each audio track's first
// format description. Throws the media layer's error for a movie it cannot open.
LoadedMovie loadWithAsset(const QString &moviePath);

// The loader the exports use in the application and the driver.
inline MovieLoader assetLoader()
{
    return [](const QString &moviePath) { return loadWithAsset(moviePath); };
}

} // namespace lumacast::timeline_export
