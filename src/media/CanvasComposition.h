#pragma once

#include "platform/media/Asset.h"
#include "platform/media/MediaTime.h"

#include <QList>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QStringList>

#include <memory>

namespace lumacast::SessionExporter {

// The natural size of a video track turned by its preferred transform; the origin may be
// negative, the sides never are.
QRectF orientedFrame(const media::AssetTrack &track);

// Each side's absolute value rounded (halves away from zero) and then made even by halving and
// doubling: 1081 gives 1080, 1 gives 0.
QSizeF evenRoundedSize(double width, double height);

// Where a source's stored picture lands on the canvas: turned by its preferred transform,
// brought back to the origin, scaled to fit whole (enlarged when smaller) and centred.
media::AffineTransform canvasTransform(const media::AssetTrack &source, const QSizeF &canvas);

// One stretch of source video placed on the canvas: `timeRange` on the timeline of the
// composition that is rendered.
struct CanvasSegment {
    std::shared_ptr<const media::Asset> asset;
    int sourceTrack = -1;
    media::MediaTimeRange timeRange;
};

struct CanvasInstruction {
    media::MediaTimeRange timeRange;
    media::AffineTransform transform; // set at the instruction's start
    int sourceTrackID = 0;
};

// The picture of a rendered composition: every instruction draws one stretch over opaque black.
struct CanvasComposition {
    QSizeF renderSize;
    media::MediaTime frameDuration{1, 60};
    QList<CanvasInstruction> instructions;

    // One line per problem a renderer would meet over [0, duration): empty ranges, ranges that
    // overlap, leave gaps or reach past the end, and instructions without a source track.
    QStringList problems(const media::MediaTime &duration) const;
};

// Builds the composition for `segments` on `canvas`. When `assetDuration` is numeric the
// composition is checked against it; problems are logged ("video composition invalid (asset …")
// and the composition is returned all the same.
CanvasComposition makeCanvasComposition(const QList<CanvasSegment> &segments, const QSizeF &canvas,
                                        const media::MediaTime &assetDuration,
                                        const media::MediaTime &trackDuration);

} // namespace lumacast::SessionExporter
