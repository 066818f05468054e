#include "media/MovieExport.h"

#include "media/CanvasComposition.h"
#include "media/ExportErrors.h"
#include "media/MovieExportPaths.h"
#include "media/ScratchFolder.h"
#include "media/WorkingItem.h"
#include "model/NumberFormat.h"
#include "platform/av/Asset.h"
#include "platform/av/MediaError.h"
#include "store/Preferences.h"
#include "threads/ThreadBridge.h"

#include <QFileInfo>
#include <QUuid>

#include <atomic>
#include <memory>

namespace lumacast::session_exporter {

using av::MediaType;

namespace {

QString sizeText(const QSizeF &size)
{
    return QString::number(qint64(size.width())) + QLatin1Char('x') + QString::number(qint64(size.height()));
}

struct Census {
    SizeMap sizes;
    FormatMap videoFormats;
    bool hasSystemAudio = false;
    // Whether the first audio tracks of the takes, and their video tracks, each share one format.
    bool oneAudioFormat = true;
};

// A take whose movie holds no track that can be read, or that is there but cannot be read as a
// movie at all (cut off, say), is refused here, before anything is written.
Census takeCensus(const QList<Take> &takes, const QString &takesFolder, const QHash<QUuid, QString> &names)
{
    Census census;
    std::optional<av::FormatDescription> audioFormat;
    for (const Take &take : takes) {
        std::shared_ptr<const av::Asset> asset;
        try {
            asset = openTakeMovie(takesFolder, take);
        } catch (const Error &error) {
            if (!isDamagedMovie(error))
                throw;
            exportLog(QStringLiteral("take ") + take.filename + QStringLiteral(": ") + error.description());
            throw ExportError::takeWithoutTracks(names.value(take.id, take.filename));
        }
        const QList<av::AssetTrack> audio = asset->tracks(MediaType::Audio);
        const QList<av::AssetTrack> video = asset->tracks(MediaType::Video);
        if (audio.isEmpty() && video.isEmpty()) {
            exportLog(QStringLiteral("take ") + take.filename + QStringLiteral(": no readable track"));
            throw ExportError::takeWithoutTracks(names.value(take.id, take.filename));
        }
        std::optional<QSizeF> size;
        if (!video.isEmpty()) {
            const QRectF frame = orientedFrame(video.first());
            size = evenRoundedSize(frame.width(), frame.height());
            census.sizes.append({take.id, *size});
            census.videoFormats.append({take.id, video.first().formatDescriptions});
        }
        exportLog(QStringLiteral("take ") + take.filename + QStringLiteral(": ")
                  + (size ? sizeText(*size) : QStringLiteral("no video")) + QStringLiteral(", audio tracks=")
                  + QString::number(audio.size()) + QStringLiteral(", trim ") + formatDouble(take.trimStart)
                  + QStringLiteral("\u2013") + formatDouble(take.trimEnd) + QStringLiteral(" of ")
                  + formatDouble(take.duration) + QLatin1Char('s'));
        if (audio.size() >= 2)
            census.hasSystemAudio = true;
        for (const av::AssetTrack &track : audio.mid(0, 1))
            for (const av::FormatDescription &format : track.formatDescriptions) {
                if (!audioFormat)
                    audioFormat = format;
                else if (!(format == *audioFormat))
                    census.oneAudioFormat = false;
            }
    }
    return census;
}

// Concatenates with the video passed through: the audio copied when it can be, mixed otherwise.
void concatenate(const ExportContext &context, const Census &census, const RenderedMap &rendered)
{
    if (census.hasSystemAudio) {
        exportLog(QStringLiteral("concat: video passthrough + audio mixdown"));
        exportWithAudioMixdown(context, rendered);
        return;
    }
    if (!census.oneAudioFormat) {
        // Video tracks may change sample description in mid-stream (decoders follow new parameter
        // sets), audio tracks may not: a rate or channel change is described to players by the
        // track's first description alone, and decoders come out an AAC frame off after it. One
        // mixed format plays right everywhere.
        exportLog(QStringLiteral("takes differ in audio format \u2014 mixing the audio down to one format"));
        exportLog(QStringLiteral("concat: video passthrough + audio mixdown"));
        exportWithAudioMixdown(context, rendered);
        return;
    }
    exportLog(QStringLiteral("concat: full passthrough"));
    exportPassthrough(context, rendered);
}

// The destination as it will be written: a link resolved, so that a link to a take counts as
// the take.
QString resolvedDestination(const QString &destination)
{
    const QFileInfo info(destination);
    if (info.exists())
        return info.canonicalFilePath();
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/') + info.fileName();
}

// An export that wrote over a take or the manifest would destroy what it reads.
void refuseSessionFile(const QString &destination, const QString &takesFolder)
{
    const QString target = resolvedDestination(destination);
    const QString takes = QFileInfo(takesFolder).canonicalFilePath();
    if (target.isEmpty() || takes.isEmpty())
        return;
    const QString session = QFileInfo(takes).absolutePath();
    if (target.startsWith(takes + QLatin1Char('/'))
        || target == session + QStringLiteral("/manifest.json"))
        throw FileSystemError(QStringLiteral("Export"), destination, EEXIST,
                              QStringLiteral("The destination is one of the session\u2019s own files."));
}

void runExport(const ExportContext &context)
{
    refuseSessionFile(context.destination, context.takesFolder);
    const Census census = takeCensus(context.takes, context.takesFolder, context.options.takeNames);
    // Working movies of an export that was killed before it could remove them.
    WorkingItem::removeStale(QFileInfo(context.destination).absolutePath());
    QList<QSizeF> distinct;
    for (const auto &[id, size] : census.sizes)
        if (!distinct.contains(size))
            distinct.append(size);
    if (distinct.isEmpty()) {
        concatenate(context, census, {});
        return;
    }
    QSizeF canvas = distinct.first();
    for (const QSizeF &size : distinct)
        if (size.width() * size.height() > canvas.width() * canvas.height())
            canvas = size;
    const QList<QUuid> toRender = takesOffReference(context.takes, census.sizes, census.videoFormats, canvas);
    if (toRender.isEmpty()) {
        concatenate(context, census, {});
        return;
    }

    const ScratchFolder scratch;

    const bool mixedSizes = distinct.size() > 1;
    if (mixedSizes)
        exportLog(QStringLiteral("mixed sizes \u2192 canvas ") + sizeText(canvas)
                  + QStringLiteral("; re-encoding the other-sized takes"));
    else
        exportLog(QStringLiteral("video formats differ \u2192 re-encoding ") + QString::number(toRender.size())
                  + QStringLiteral(" take(s) to the first take's format"));
    RenderOptions render;
    render.videoSettings = context.options.videoSettings;
    render.beforeVideoAppend = context.options.beforeVideoAppend;
    render.cancelled = &scratch.removedUnderfoot();
    if (context.progress)
        render.onProgress = [&](double p) { context.progress(0.9 * p); };
    const std::optional<RenderedMap> rendered =
        renderTakesOntoCanvas(context.takes, toRender, census.sizes, canvas, context.takesFolder, scratch.path(), render);
    if (rendered) {
        exportLog((mixedSizes ? QStringLiteral("mixed sizes") : QStringLiteral("video formats differ"))
                  + QStringLiteral(": re-encoded ") + QString::number(rendered->size())
                  + QStringLiteral(" take(s) onto ") + sizeText(canvas) + QStringLiteral(", rest passthrough"));
        ExportContext second = context;
        if (context.progress)
            second.progress = [&](double p) { context.progress(0.9 + 0.1 * p); };
        concatenate(second, census, *rendered);
        return;
    }
    exportLog(QStringLiteral("re-encoded take format differs from recorded takes \u2014 re-encoding the whole video"));
    exportReencodingWholeVideo(context, census.hasSystemAudio, canvas);
}

// A write that failed into the hidden working movie is told as a failure of the movie the user
// chose, with its reason (a full disk says so): the working name means nothing to the user.
std::exception_ptr namingTheDestination(std::exception_ptr failure, const QString &destination)
{
    try {
        std::rethrow_exception(failure);
    } catch (const Error &error) {
        if (!error.message().contains(QLatin1String(WorkingItem::kPrefix)))
            return failure;
        QString reason;
        for (const Error *link = &error; link && reason.isEmpty(); link = link->underlyingError())
            reason = link->failureReason().value_or(QString());
        if (reason.isEmpty())
            reason = av::writeFailureReason(destination, 0);
        return std::make_exception_ptr(av::MediaError(
            av::MediaError::mediaDomain(), av::MediaError::WriteFailed,
            QStringLiteral("The movie \u201C%1\u201D could not be written. %2.")
                .arg(QFileInfo(destination).fileName(), reason),
            reason));
    } catch (...) {
        return failure;
    }
}

} // namespace

QCoro::Task<void> exportMovie(QList<Take> takes, QString takesFolder, QString destination,
                              std::function<void(double)> onProgress, MovieExportOptions options)
{
    if (!options.videoSettings)
        options.videoSettings = av::videoSettingsForFrame;
    if (!options.systemAudioMixLevel) {
        // The settings belong to the main thread; the export reads the level as it starts.
        const double level = Preferences::shared().systemAudioMixLevel();
        options.systemAudioMixLevel = [level] { return level; };
    }

    // The export reports into one number; the main thread reads it every 100 ms, so that every
    // report reaches the caller on the main thread and none after the export has ended.
    auto fraction = std::make_shared<std::atomic<double>>(-1.0);
    double reported = -1.0;
    std::unique_ptr<ExportProgressPoll> poll;
    if (onProgress) {
        poll = std::make_unique<ExportProgressPoll>([fraction] { return fraction->load(); },
                                                    [&reported, onProgress](double f) {
                                                        if (f < 0 || f == reported)
                                                            return;
                                                        reported = f;
                                                        onProgress(f);
                                                    });
        poll->start();
    }

    const QString chosen = destination;
    ExportContext context{std::move(takes), std::move(takesFolder), std::move(destination), std::move(options), {}};
    if (onProgress)
        context.progress = [fraction](double f) { fraction->store(std::clamp(f, 0.0, 1.0)); };

    std::exception_ptr failure;
    try {
        auto exporting = runInBackground("movie export",
                                         [context = std::move(context)]() mutable { runExport(context); });
        co_await exporting;
    } catch (...) {
        failure = std::current_exception();
    }

    if (poll)
        poll->stop();
    if (failure)
        std::rethrow_exception(namingTheDestination(failure, chosen));
    if (onProgress && reported != 1.0)
        onProgress(1.0);
}

ExportWork movieExportWork(MovieExportOptions options)
{
    return ExportWork::withTimelineWriters([options](QList<timeline_export::Entry> entries, QString folder,
                                                     QString destination, ExportWork::Progress progress) {
        MovieExportOptions named = options;
        QList<Take> takes;
        for (const timeline_export::Entry &entry : entries) {
            takes.append(entry.take);
            named.takeNames.insert(entry.take.id, entry.name);
        }
        return exportMovie(std::move(takes), std::move(folder), std::move(destination), std::move(progress),
                           std::move(named));
    });
}

} // namespace lumacast::session_exporter
