#pragma once

#include "media/CanvasComposition.h"
#include "model/Session.h"
#include "platform/av/Composition.h"
#include "platform/av/TakeEncoderSettings.h"

#include <QHash>
#include <QList>
#include <QSizeF>
#include <QString>
#include <QUuid>

#include <atomic>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

namespace lumacast::session_exporter {

// Take id to oriented frame size, in take order (the order sizes are visited in).
using SizeMap = QList<std::pair<QUuid, QSizeF>>;
// Take id to the sample descriptions of its movie's first video track, in take order.
using FormatMap = QList<std::pair<QUuid, QList<av::FormatDescription>>>;
// Take id to the movie its video was re-encoded into.
using RenderedMap = QHash<QUuid, QString>;
// The encoder parameters for a frame size: the take writer's, so that re-encoded video matches
// recorded video.
using VideoSettingsSource = std::function<av::VideoSettings(int width, int height)>;

// A take's movie inside the takes folder. Throws MediaError(CannotOpen) for a file name that
// could leave the folder and for a symbolic link (which could lead anywhere).
QString takeMoviePath(const QString &takesFolder, const Take &take);
// A take's movie opened for export; it may have no video track (its sound alone is used).
// Throws takeMoviePath's and Asset::open's errors.
std::shared_ptr<const av::Asset> openTakeMovie(const QString &takesFolder, const Take &take);
// Puts a finished file at `to`, replacing what is there. Throws FileSystemError.
void moveIntoPlace(const QString &from, const QString &to);
// The step a failed pump names in its "FAILED at" line: "reading samples" when the source
// could not be read or decoded, "writing samples" otherwise.
QString pumpFailureStep(const std::exception_ptr &error);
// A take's kept range at timescale 600.
av::MediaTimeRange trimmedRange(const Take &take);

struct AssembledTakes {
    av::MediaTime endTime = av::MediaTime::zero();
    QList<CanvasSegment> segments; // one per take whose video was inserted
};

// Appends every take's kept range to the composition's tracks at one cursor: video (from the
// re-encoded movie where `rendered` has one), the first audio track to `micTrack` and, when
// `systemTrack` is given, the second to it; a take without such a track leaves an empty stretch
// so that later takes stay aligned (black where it has no video). Throws the composition's error
// after a "FAILED at" line.
AssembledTakes assembleTakes(const QList<Take> &takes, const QString &takesFolder,
                             av::Composition &composition, int videoTrack, int micTrack,
                             std::optional<int> systemTrack, const RenderedMap &rendered);

struct RenderOptions {
    VideoSettingsSource videoSettings;
    std::function<void(double)> onProgress; // 0 to 1 over the whole rendering
    const std::atomic<bool> *cancelled = nullptr;
    std::function<void(qint64)> beforeVideoAppend; // see av::CanvasVideoRequest
};

// Re-encodes one take's `range` onto the canvas into `output` (a movie with one video track
// and no audio). The file appears at `output` only when it is complete.
void renderOntoCanvas(const std::shared_ptr<const av::Asset> &asset, int videoTrack,
                      const av::MediaTimeRange &range, const QSizeF &canvas, const QString &output,
                      const RenderOptions &options);

// The takes whose video cannot be passed through into one video track beside the reference
// take (the first take recorded at the canvas size): another size, or sample descriptions other
// than the reference's first one (other parameter sets or colour tags: a track that changes
// description in mid-stream is played only up to the change by some players). Empty when every
// take can be passed through; every take with video when there is no reference to compare with.
QList<QUuid> takesOffReference(const QList<Take> &takes, const SizeMap &sizes, const FormatMap &formats,
                               const QSizeF &canvas);

// Re-encodes the video of each take in `toRender` onto the canvas into `scratchFolder` and checks
// each result against the video format of the reference take. Returns the rendered map, or
// nothing when the results could not be passed through beside the recorded takes.
std::optional<RenderedMap> renderTakesOntoCanvas(const QList<Take> &takes, const QList<QUuid> &toRender,
                                                 const SizeMap &sizes, const QSizeF &canvas,
                                                 const QString &takesFolder, const QString &scratchFolder,
                                                 const RenderOptions &options);

} // namespace lumacast::session_exporter
