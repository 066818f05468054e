#include "media/CanvasComposition.h"

#include "media/ExportErrors.h"
#include "model/NumberFormat.h"

#include <cmath>

namespace lumacast::session_exporter {

using av::AffineTransform;
using av::MediaTime;
using av::MediaTimeRange;

namespace {

QString seconds(const MediaTime &t)
{
    return t.isNumeric() ? formatDouble(t.seconds()) : QStringLiteral("nan");
}

double evenRounded(double value)
{
    const double rounded = std::round(std::abs(value)); // std::round rounds halves away from zero
    const long long n = static_cast<long long>(rounded);
    return double(n / 2 * 2);
}

} // namespace

QRectF orientedFrame(const av::AssetTrack &track)
{
    return track.preferredTransform.mapRect(QRectF(QPointF(0, 0), track.naturalSize));
}

QSizeF evenRoundedSize(double width, double height)
{
    return QSizeF(evenRounded(width), evenRounded(height));
}

AffineTransform canvasTransform(const av::AssetTrack &source, const QSizeF &canvas)
{
    const QRectF frame = orientedFrame(source);
    const double w = std::abs(frame.width());
    const double h = std::abs(frame.height());
    const double s = (w != 0 && h != 0) ? std::min(canvas.width() / w, canvas.height() / h) : 1.0;
    return source.preferredTransform
        .concatenating(AffineTransform::translation(-frame.left(), -frame.top()))
        .concatenating(AffineTransform::scale(s, s))
        .concatenating(AffineTransform::translation((canvas.width() - w * s) * 0.5,
                                                    (canvas.height() - h * s) * 0.5));
}

QStringList CanvasComposition::problems(const MediaTime &duration) const
{
    QStringList found;
    MediaTime expected = MediaTime::zero();
    for (const CanvasInstruction &i : instructions) {
        const MediaTimeRange &r = i.timeRange;
        if (!r.start.isNumeric() || !r.duration.isNumeric() || r.isEmpty()) {
            found << QStringLiteral("empty time range ") + seconds(r.start) + QLatin1Char('+')
                         + seconds(r.duration) + QLatin1Char('s');
        } else if (r.start != expected || (duration.isNumeric() && r.end() > duration)) {
            found << QStringLiteral("invalid instruction range ") + seconds(r.start) + QLatin1Char('+')
                         + seconds(r.duration) + QLatin1Char('s');
        }
        if (i.sourceTrackID <= 0)
            found << QStringLiteral("invalid track id ") + QString::number(i.sourceTrackID);
        if (r.duration.isNumeric() && r.start.isNumeric())
            expected = r.end();
    }
    if (duration.isNumeric() && expected < duration)
        found << QStringLiteral("invalid instruction range ") + seconds(expected) + QLatin1Char('+')
                     + seconds(duration - expected) + QLatin1Char('s');
    return found;
}

CanvasComposition makeCanvasComposition(const QList<CanvasSegment> &segments, const QSizeF &canvas,
                                        const MediaTime &assetDuration, const MediaTime &trackDuration)
{
    CanvasComposition composition;
    composition.renderSize = canvas;
    for (const CanvasSegment &segment : segments) {
        CanvasInstruction instruction;
        instruction.timeRange = segment.timeRange;
        if (segment.asset && segment.sourceTrack >= 0 && segment.sourceTrack < segment.asset->tracks().size()) {
            const av::AssetTrack &track = segment.asset->tracks()[segment.sourceTrack];
            instruction.transform = canvasTransform(track, canvas);
            instruction.sourceTrackID = int(track.trackID);
        }
        composition.instructions.append(instruction);
    }
    if (!assetDuration.isNumeric())
        return composition;
    const QStringList problems = composition.problems(assetDuration);
    if (!problems.isEmpty())
        exportLog(QStringLiteral("video composition invalid (asset ") + seconds(assetDuration)
                  + QStringLiteral("s, track ") + seconds(trackDuration) + QStringLiteral("s): ")
                  + problems.join(QStringLiteral("; ")));
    return composition;
}

} // namespace lumacast::session_exporter
