#include "media/TakeJoiner.h"

#include "media/WorkingItem.h"
#include "platform/av/Asset.h"
#include "platform/av/Composition.h"
#include "platform/av/JoinExportSession.h"
#include "platform/av/MediaError.h"
#include "platform/av/MediaTime.h"
#include "store/DiskSync.h"
#include "store/PackageFolder.h"
#include "threads/ThreadBridge.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTimer>
#include <QFile>
#include <QFileInfo>
#include <QFuture>

#include <algorithm>
#include <chrono>

namespace lumacast::take_joiner {

using av::MediaTime;
using av::MediaTimeRange;
using av::MediaType;

// --- errors ---------------------------------------------------------------------------------

namespace {

QString describe(JoinError::Kind kind, const QString &text, const QStringList &fileTypes)
{
    switch (kind) {
    case JoinError::Kind::policyRefused:
        return QStringLiteral("The tail can't be joined: ") + text + QStringLiteral(".");
    case JoinError::Kind::notPassthroughCompatible:
        return QStringLiteral("The assembled movie isn't passthrough-compatible with QuickTime (compatible: ")
             + quotedList(fileTypes) + QStringLiteral(").");
    case JoinError::Kind::exportFailed:
        return QStringLiteral("The join export failed: ") + text + QStringLiteral(".");
    case JoinError::Kind::verifyFailed:
        return QStringLiteral("The joined movie failed verification: ") + text + QStringLiteral(".");
    case JoinError::Kind::cannotCreateExportSession:
        break;
    }
    return QStringLiteral("Could not start the join export.");
}

} // namespace

JoinError::JoinError(Kind kind, QString text, QStringList fileTypes)
    : Error(QStringLiteral("Lumacast.TakeJoiner.JoinError"), int(kind), describe(kind, text, fileTypes)),
      m_kind(kind), m_text(std::move(text)), m_fileTypes(std::move(fileTypes))
{
}

JoinError JoinError::policyRefused(const QString &reason) { return JoinError(Kind::policyRefused, reason, {}); }
JoinError JoinError::notPassthroughCompatible(const QStringList &fileTypes)
{
    return JoinError(Kind::notPassthroughCompatible, {}, fileTypes);
}
JoinError JoinError::exportFailed(const QString &message) { return JoinError(Kind::exportFailed, message, {}); }
JoinError JoinError::verifyFailed(const QString &message) { return JoinError(Kind::verifyFailed, message, {}); }
JoinError JoinError::cannotCreateExportSession() { return JoinError(Kind::cannotCreateExportSession, {}, {}); }

QString quotedList(const QStringList &items)
{
    QStringList quoted;
    for (const QString &item : items)
        quoted.append(QLatin1Char('"') + item + QLatin1Char('"'));
    return QLatin1Char('[') + quoted.join(QStringLiteral(", ")) + QLatin1Char(']');
}

MediaTime splicePoint(double trimEnd)
{
    return MediaTime::fromSeconds(trimEnd, 600);
}

// --- worker failures ------------------------------------------------------------------------

namespace {

QString errorText(const std::exception_ptr &failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const av::MediaError &e) {
        return e.description();
    } catch (const Error &e) {
        return e.localizedDescription();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

bool isSameFile(const QString &a, const QString &b)
{
    const QFileInfo fa(a), fb(b);
    if (fa.exists() && fb.exists())
        return fa.canonicalFilePath() == fb.canonicalFilePath();
    return fa.absoluteFilePath() == fb.absoluteFilePath();
}

// The progress loop never says 1.0: that value belongs to the verified movie alone.
constexpr double kLastExportFraction = 0.99;

} // namespace

// --- assembly -------------------------------------------------------------------------------

av::Composition assemble(const JoinRequest &request)
{
    const JoinAsset original(request.originalURL);
    const JoinAsset tail(request.tailURL);
    if (auto reason = compatibilityProblem(original, tail))
        throw JoinError::policyRefused(*reason);

    const MediaTime splice = splicePoint(request.trimEnd);
    const MediaTimeRange head{MediaTime::zero(), splice};
    const auto originalAsset = original.load();
    const auto tailAsset = tail.load();
    const MediaTimeRange wholeTail{MediaTime::zero(), tailAsset->duration()};

    av::Composition composition;
    const av::AssetTrack originalVideo = original.loadTracks(MediaType::Video).first();
    const av::AssetTrack tailVideo = tail.loadTracks(MediaType::Video).first();
    // The composition's tracks take their orientation from their first source, the original's
    // track; the policy has made sure the tail's is the same.
    const int videoTrack = composition.addTrack(MediaType::Video);
    composition.insertTimeRange(videoTrack, head, originalAsset, originalVideo.index, MediaTime::zero());
    composition.insertTimeRange(videoTrack, wholeTail, tailAsset, tailVideo.index, splice);

    const QList<av::AssetTrack> originalAudio = original.loadTracks(MediaType::Audio);
    const QList<av::AssetTrack> tailAudio = tail.loadTracks(MediaType::Audio);
    for (int i = 0; i < originalAudio.size(); ++i) {
        const int audioTrack = composition.addTrack(MediaType::Audio);
        composition.insertTimeRange(audioTrack, head, originalAsset, originalAudio[i].index, MediaTime::zero());
        composition.insertTimeRange(audioTrack, wholeTail, tailAsset, tailAudio[i].index, splice);
    }
    return composition;
}

// --- progress -------------------------------------------------------------------------------

QCoro::Task<> reportExportProgress(std::shared_ptr<av::JoinExportSession> session, ProgressCallback progress,
                                   std::shared_ptr<std::atomic<bool>> stopped)
{
    using namespace std::chrono_literals;
    while (!stopped->load()) {
        auto sleep = QCoro::sleepFor(100ms);
        co_await std::move(sleep);
        // A stop that came during the sleep ends the loop without another report, so that no
        // export progress follows (or stands in for) the final report of the verified movie.
        if (stopped->load())
            break;
        progress(std::min(double(session->progress()), kLastExportFraction));
    }
}

// --- the join -------------------------------------------------------------------------------

QCoro::Task<JoinResult> join(JoinRequest request, ProgressCallback progress)
{
    // Writing over one of the two inputs would destroy it before it is read.
    if (isSameFile(request.outputURL, request.originalURL) || isSameFile(request.outputURL, request.tailURL))
        throw JoinError::exportFailed(QStringLiteral("the output location is one of the movies to join"));

    std::optional<av::Composition> composition;
    std::exception_ptr assemblyFailure;
    try {
        // Tasks are made in statements of their own: GCC 12 destroys the temporaries of a
        // co_await full-expression twice.
        auto assembly = runInBackground("join assemble", [request] { return assemble(request); });
        composition.emplace(co_await std::move(assembly));
    } catch (const JoinError &) {
        throw;
    } catch (...) {
        assemblyFailure = std::current_exception();
    }
    if (assemblyFailure)
        throw JoinError::exportFailed(QStringLiteral("could not assemble the join: ") + errorText(assemblyFailure));

    std::shared_ptr<av::JoinExportSession> session =
        av::JoinExportSession::create(std::move(*composition), av::JoinExportSession::Preset::passthrough);
    if (!session)
        throw JoinError::cannotCreateExportSession();

    const QStringList fileTypes = session->compatibleFileTypes();
    if (!fileTypes.contains(av::kFileTypeQuickTimeMovie))
        throw JoinError::notPassthroughCompatible(fileTypes);

    // The joined movie is written and verified beside the output location and replaces what is
    // there only once it is verified: a failed join leaves an earlier file at that place whole.
    const auto working = std::make_shared<WorkingItem>(request.outputURL, QStringLiteral(".mov"));
    JoinRequest aside = request;
    aside.outputURL = working->path();
    session->outputPath = aside.outputURL;
    session->outputFileType = av::kFileTypeQuickTimeMovie;

    std::shared_ptr<std::atomic<bool>> stopLoop;
    std::optional<QCoro::Task<>> progressLoop;
    if (progress) {
        stopLoop = std::make_shared<std::atomic<bool>>(false);
        progressLoop.emplace(reportExportProgress(session, progress, stopLoop));
    }
    QFuture<void> exported = session->exportAsynchronously();
    co_await exported;
    if (stopLoop) {
        // The loop ends within one tick; awaiting it lets go of the session before the verify.
        *stopLoop = true;
        co_await std::move(*progressLoop);
    }
    const bool completed = session->status() == av::JoinExportSession::Status::completed;
    const auto exportError = session->error();
    const int status = int(session->status());
    session.reset();  // joins the export's thread
    if (!completed) {
        QString message = exportError ? exportError->description() : QStringLiteral("status %1").arg(status);
        // The reason (a full disk, ...) is what the user can act on.
        if (exportError && exportError->failureReason())
            message = message.chopped(message.endsWith(QLatin1Char('.')) ? 1 : 0)
                + QStringLiteral(": ") + *exportError->failureReason();
        throw JoinError::exportFailed(message);
    }

    // Its bytes go to the disk while it is verified; it is put in place, on the disk, before the
    // caller can name it in a manifest. Both threads are awaited whatever happens.
    auto syncing = runInBackground("join sync", [path = aside.outputURL] {
        PackageFolder::applyFileMode(path); // the take's folder's mode, as every file of a recording
        DiskSync::file(path);
    });
    auto verification = runInBackground("join verify", [aside] { return verify(aside); });
    std::optional<JoinResult> verified;
    std::exception_ptr failure;
    try {
        verified = co_await std::move(verification);
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        co_await std::move(syncing);
    } catch (...) {
        failure = failure ? failure : std::current_exception();
    }
    if (failure)
        std::rethrow_exception(failure);
    auto committing = runInBackground("join commit", [working] { working->commit(); });
    co_await std::move(committing);
    JoinResult result = *verified;
    result.outputURL = request.outputURL;

    if (progress)
        progress(1.0);
    co_return result;
}

} // namespace lumacast::take_joiner
