#include "media/ConcatenationComposition.h"

#include "media/ExportErrors.h"
#include "model/NumberFormat.h"
#include "platform/av/TranscodeCanvasVideo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace lumacast::session_exporter {

using av::Asset;
using av::MediaTime;
using av::MediaTimeRange;
using av::MediaType;

namespace {

MediaTime at600(double seconds)
{
    return MediaTime::fromSeconds(seconds, 600);
}

QString seconds(const MediaTime &t)
{
    return t.isNumeric() ? formatDouble(t.seconds()) : QStringLiteral("nan");
}

int firstTrack(const Asset &asset, MediaType type, int ordinal = 0)
{
    int seen = 0;
    for (int i = 0; i < asset.tracks().size(); ++i)
        if (asset.tracks()[i].mediaType == type && seen++ == ordinal)
            return i;
    return -1;
}

int trackCount(const Asset &asset, MediaType type)
{
    int n = 0;
    for (const av::AssetTrack &t : asset.tracks())
        n += t.mediaType == type;
    return n;
}

// Inserts, or logs "FAILED at <step>" and rethrows.
template<typename F>
void inserting(const QString &step, F &&insert)
{
    try {
        insert();
    } catch (...) {
        std::rethrow_exception(logFailure(step, std::current_exception()));
    }
}

} // namespace

QString takeMoviePath(const QString &takesFolder, const Take &take)
{
    if (!Take::isSafeFilename(take.filename))
        throw av::MediaError(av::MediaError::mediaDomain(), av::MediaError::CannotOpen,
                                QStringLiteral("The take \u201C%1\u201D cannot be read.").arg(take.filename),
                                QStringLiteral("its file name does not name a movie in the takes folder"));
    const QString path = QDir(takesFolder).filePath(take.filename);
    if (QFileInfo(path).isSymLink())
        throw av::MediaError(av::MediaError::mediaDomain(), av::MediaError::CannotOpen,
                             QStringLiteral("The take \u201C%1\u201D is a symbolic link, not a movie in "
                                            "the takes folder.")
                                 .arg(take.filename));
    return path;
}

std::shared_ptr<const av::Asset> openTakeMovie(const QString &takesFolder, const Take &take)
{
    return Asset::open(takeMoviePath(takesFolder, take));
}

void moveIntoPlace(const QString &from, const QString &to)
{
    // rename() replaces an existing file in one step, so the destination is never missing.
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        const int code = errno;
        throw FileSystemError(QStringLiteral("move"), to, code, QString::fromLocal8Bit(std::strerror(code)));
    }
}

QString pumpFailureStep(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const av::MediaError &e) {
        switch (e.code()) {
        case av::MediaError::CannotOpen:
        case av::MediaError::NoSuchTrack:
        case av::MediaError::CorruptMovie:
        case av::MediaError::UnsupportedFormat:
        case av::MediaError::DecodeFailed:
        case av::MediaError::ReadFailed:
            return QStringLiteral("reading samples");
        default:
            break;
        }
    } catch (...) {
    }
    return QStringLiteral("writing samples");
}

MediaTimeRange trimmedRange(const Take &take)
{
    return MediaTimeRange{at600(take.trimStart), at600(take.trimEnd - take.trimStart)};
}

AssembledTakes assembleTakes(const QList<Take> &takes, const QString &takesFolder,
                             av::Composition &composition, int videoTrack, int micTrack,
                             std::optional<int> systemTrack, const RenderedMap &rendered)
{
    AssembledTakes result;
    MediaTime cursor = MediaTime::zero();
    for (const Take &take : takes) {
        const auto asset = openTakeMovie(takesFolder, take);
        const MediaTimeRange range = trimmedRange(take);
        const MediaTime wanted = range.duration;

        bool videoDone = false;
        if (rendered.contains(take.id)) {
            const auto movie = Asset::open(rendered.value(take.id));
            const int track = firstTrack(*movie, MediaType::Video);
            if (track >= 0) {
                const MediaTimeRange renderedRange = movie->tracks()[track].timeRange;
                const MediaTime length = av::minimum(renderedRange.duration, wanted);
                exportLog(QStringLiteral("insert re-encoded ") + take.filename + QStringLiteral(": rendered ")
                          + seconds(renderedRange.start) + QLatin1Char('+') + seconds(renderedRange.duration)
                          + QStringLiteral("s, want ") + seconds(wanted) + QLatin1Char('s'));
                inserting(QStringLiteral("inserting re-encoded video of ") + take.filename, [&] {
                    composition.insertTimeRange(videoTrack, MediaTimeRange{renderedRange.start, length},
                                                movie, track, cursor);
                });
                result.segments.append(CanvasSegment{movie, track, MediaTimeRange{cursor, wanted}});
                videoDone = true;
            }
        }
        if (!videoDone) {
            const int track = firstTrack(*asset, MediaType::Video);
            if (track >= 0) {
                inserting(QStringLiteral("inserting video of ") + take.filename, [&] {
                    composition.insertTimeRange(videoTrack, range, asset, track, cursor);
                });
                result.segments.append(CanvasSegment{asset, track, MediaTimeRange{cursor, wanted}});
            } else {
                // Its sound plays over black, not under a neighbour's picture held.
                composition.insertEmptyTimeRange(videoTrack, MediaTimeRange{cursor, wanted});
            }
        }

        const int audioTracks = trackCount(*asset, MediaType::Audio);
        const MediaTimeRange silence{cursor, wanted};
        if (audioTracks == 0) {
            composition.insertEmptyTimeRange(micTrack, silence);
            if (systemTrack)
                composition.insertEmptyTimeRange(*systemTrack, silence);
        } else {
            inserting(QStringLiteral("inserting mic audio of ") + take.filename, [&] {
                composition.insertTimeRange(micTrack, range, asset, firstTrack(*asset, MediaType::Audio), cursor);
            });
            if (systemTrack) {
                if (audioTracks == 1) {
                    composition.insertEmptyTimeRange(*systemTrack, silence);
                } else {
                    inserting(QStringLiteral("inserting system audio of ") + take.filename, [&] {
                        composition.insertTimeRange(*systemTrack, range, asset,
                                                    firstTrack(*asset, MediaType::Audio, 1), cursor);
                    });
                }
            }
        }
        cursor = cursor + wanted;
    }
    result.endTime = cursor;
    return result;
}

void renderOntoCanvas(const std::shared_ptr<const Asset> &asset, int videoTrack, const MediaTimeRange &range,
                      const QSizeF &canvas, const QString &output, const RenderOptions &options)
{
    av::CanvasVideoRequest request;
    const av::AssetTrack &track = asset->tracks()[videoTrack];
    request.segments.append(av::CanvasVideoSegment{asset, videoTrack, range,
                                                      MediaTimeRange{MediaTime::zero(), range.duration},
                                                      canvasTransform(track, canvas)});
    request.width = int(canvas.width());
    request.height = int(canvas.height());
    request.settings = options.videoSettings(request.width, request.height);
    request.totalDuration = range.duration;
    const QString temporary = QDir(QFileInfo(output).absolutePath())
                                  .filePath(QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".mov"));
    request.outputPath = temporary;
    request.cancelled = options.cancelled;
    request.beforeAppend = options.beforeVideoAppend;
    const double total = std::max(0.001, range.duration.seconds());
    if (options.onProgress)
        request.progress = [&](double s) { options.onProgress(std::min(1.0, s / total)); };
    av::CanvasVideoRender render(std::move(request));
    try {
        render.createWriter();
    } catch (...) {
        std::rethrow_exception(logFailure(QStringLiteral("creating writer at ") + temporary, std::current_exception()));
    }
    try {
        render.run();
    } catch (...) {
        const auto error = std::current_exception();
        std::rethrow_exception(logFailure(pumpFailureStep(error), error));
    }
    try {
        moveIntoPlace(temporary, output);
    } catch (...) {
        QFile::remove(temporary);
        throw;
    }
    if (options.onProgress)
        options.onProgress(1.0);
}

namespace {

std::optional<QSizeF> sizeOf(const SizeMap &sizes, const QUuid &id)
{
    for (const auto &[take, size] : sizes)
        if (take == id)
            return size;
    return std::nullopt;
}

bool isCanvasSized(const SizeMap &sizes, const QUuid &id, const QSizeF &canvas)
{
    const std::optional<QSizeF> size = sizeOf(sizes, id);
    return size && size->width() == canvas.width() && size->height() == canvas.height();
}

const Take *referenceTake(const QList<Take> &takes, const SizeMap &sizes, const QSizeF &canvas)
{
    for (const Take &take : takes)
        if (isCanvasSized(sizes, take.id, canvas))
            return &take;
    return nullptr;
}

} // namespace

QList<QUuid> takesOffReference(const QList<Take> &takes, const SizeMap &sizes, const FormatMap &formats,
                               const QSizeF &canvas)
{
    auto formatsOf = [&](const QUuid &id) {
        for (const auto &[take, list] : formats)
            if (take == id)
                return list;
        return QList<av::FormatDescription>();
    };
    const Take *reference = referenceTake(takes, sizes, canvas);
    const QList<av::FormatDescription> referenceFormats = reference ? formatsOf(reference->id)
                                                                    : QList<av::FormatDescription>();
    QList<QUuid> off;
    for (const Take &take : takes) {
        if (!sizeOf(sizes, take.id))
            continue; // no video
        const QList<av::FormatDescription> own = formatsOf(take.id);
        if (referenceFormats.isEmpty() || !isCanvasSized(sizes, take.id, canvas) || own.size() != 1 || !(own.first() == referenceFormats.first()))
            off.append(take.id);
    }
    return off;
}

std::optional<RenderedMap> renderTakesOntoCanvas(const QList<Take> &takes, const QList<QUuid> &toRender,
                                                 const SizeMap &sizes, const QSizeF &canvas,
                                                 const QString &takesFolder, const QString &scratchFolder,
                                                 const RenderOptions &options)
{
    const QString noReference = QStringLiteral("no canvas-sized take to compare formats against");
    const Take *reference = referenceTake(takes, sizes, canvas);
    if (!reference) {
        exportLog(noReference);
        return std::nullopt;
    }
    const auto referenceAsset = openTakeMovie(takesFolder, *reference);
    const int referenceTrack = firstTrack(*referenceAsset, MediaType::Video);
    if (referenceTrack < 0 || referenceAsset->tracks()[referenceTrack].formatDescriptions.isEmpty()) {
        exportLog(noReference);
        return std::nullopt;
    }
    const av::FormatDescription referenceFormat =
        referenceAsset->tracks()[referenceTrack].formatDescriptions.first();

    QList<Take> others;
    for (const Take &take : takes)
        if (toRender.contains(take.id))
            others.append(take);
    double total = 0;
    for (const Take &take : others)
        total += take.trimEnd - take.trimStart;
    total = std::max(total, 0.001);
    double done = 0;

    RenderedMap rendered;
    for (const Take &take : others) {
        const auto asset = openTakeMovie(takesFolder, take);
        const int track = firstTrack(*asset, MediaType::Video);
        if (track < 0)
            continue;
        const double length = take.trimEnd - take.trimStart;
        const QString output = QDir(scratchFolder).filePath(QUuid::createUuid().toString(QUuid::WithoutBraces)
                                                            + QStringLiteral(".mov"));
        exportLog(QStringLiteral("rendering ") + take.filename + QStringLiteral(" onto canvas\u2026"));
        RenderOptions one = options;
        one.onProgress = nullptr;
        if (options.onProgress)
            one.onProgress = [&](double p) { options.onProgress((done + p * length) / total); };
        renderOntoCanvas(asset, track, trimmedRange(take), canvas, output, one);

        const auto movie = Asset::open(output);
        const int renderedTrack = firstTrack(*movie, MediaType::Video);
        if (renderedTrack < 0 || movie->tracks()[renderedTrack].formatDescriptions.isEmpty()) {
            exportLog(QStringLiteral("rendered ") + take.filename + QStringLiteral(" has no video track"));
            return std::nullopt;
        }
        const av::FormatDescription format = movie->tracks()[renderedTrack].formatDescriptions.first();
        if (!(format == referenceFormat)) {
            exportLog(QStringLiteral("format mismatch for ") + take.filename + QStringLiteral("\n  recorded: ")
                      + referenceFormat.describe() + QStringLiteral("\n  rendered: ") + format.describe());
            return std::nullopt;
        }
        exportLog(QStringLiteral("rendered ") + take.filename + QStringLiteral(": format matches"));
        rendered.insert(take.id, output);
        done += length;
    }
    return rendered;
}

} // namespace lumacast::session_exporter
