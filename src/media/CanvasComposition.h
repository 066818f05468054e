#pragma once

#include "platform/av/Asset.h"
#include "platform/av/MediaTime.h"

#include <QList>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QStringList>

#include <memory>

namespace lumacast::session_exporter {

// The natural size of a video track turned by its preferred transform; the origin may be
// negative, the sides never are.
QRectF orientedFrame(const av::AssetTrack &track);

// Each side's absolute value rounded (halves away from zero) and then made even by halving and
// doubling: 1081 gives 1080, 1 gives 0.
QSizeF evenRoundedSize(double width, double height);

// Where a source's stored picture lands on the canvas: turned by its preferred transform,
// brought back to the origin, scaled to fit whole (enlarged when smaller) and centred.
av::AffineTransform canvasTransform(const av::AssetTrack &source, const QSizeF &canvas);

// One stretch of source video placed on the canvas: `timeRange` on the timeline of the
// composition that is rendered.
struct CanvasSegment {
    std::shared_ptr<const av::Asset> asset;
    int sourceTrack = -1;
    av::MediaTimeRange timeRange;
};

struct CanvasInstruction {
    av::MediaTimeRange timeRange;
    av::AffineTransform transform; // set at the instruction's start
    int sourceTrackID = 0;
};

// The picture of a rendered composition: every instruction draws one stretch over opaque black.
struct CanvasComposition {
    // The canvas and the frame rate the composition is described with; the renderer here is
    // handed both in its own request, so neither is read.
    QSizeF renderSize;
    av::MediaTime frameDuration{1, 60};
    QList<CanvasInstruction> instructions;

    // One line per problem a renderer would meet over [0, duration): empty ranges, ranges that
    // overlap, leave gaps or reach past the end, and instructions without a source track.
    QStringList problems(const av::MediaTime &duration) const;
};

// Builds the composition for `segments` on `canvas`. When `assetDuration` is numeric the
// composition is checked against it; problems are logged ("video composition invalid (asset …")
// and the composition is returned all the same.
CanvasComposition makeCanvasComposition(const QList<CanvasSegment> &segments, const QSizeF &canvas,
                                        const av::MediaTime &assetDuration,
                                        const av::MediaTime &trackDuration);

} // namespace lumacast::session_exporter
