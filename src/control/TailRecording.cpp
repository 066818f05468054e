#include "control/TailRecording.h"

#include "control/FolderFollower.h"
#include "control/TakeRecording.h"

#include "model/LogCategories.h"
#include "model/NumberFormat.h"
#include "platform/av/Asset.h"
#include "platform/av/FormatDescription.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <cmath>

namespace lumacast {

namespace {

const QString kCouldNotRecordTitle = QStringLiteral("Couldn't record a tail");
const QString kShuttingDown = QStringLiteral("The app is shutting down.");

QString describe(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return own->localizedDescription();
    if (const auto *plan = dynamic_cast<const AudioPlanError *>(&error))
        return plan->description();
    return QString::fromUtf8(error.what());
}

// The capture already built, for the desktop's ask, which takes one still to be built.
QCoro::Task<RecorderService::FilterAndConfiguration> builtAlready(RecorderService::FilterAndConfiguration made)
{
    co_return made;
}

} // namespace

// The default capture start, as a coroutine of its own: its arguments live in its frame, not in
// the closure that started it (the seam may be replaced while it runs).
QCoro::Task<TailCaptureStartResult> TailRecording::captureStart(QPointer<AppStateManager> weak,
                                                                TailCaptureRequest request)
{
    if (!weak)
        co_return TailCaptureStartResult::failed(kShuttingDown);
    AppStateManager &m = *weak;
    const StateManagerServices &services = m.services();
    const AppState prior = m.state();
    m.setState(AppState::starting);

    auto checking = services.permissions->ensureReadyToRecord(QStringLiteral("recordTail"), false);
    const bool ready = co_await checking;
    if (!weak)
        co_return TailCaptureStartResult::failed(kShuttingDown);
    if (!ready) {
        m.setState(prior);
        m.setPermissionsOK(false);
        co_return TailCaptureStartResult::refused(
            QStringLiteral("Lumacast needs Screen Recording and Microphone access to record a tail."));
    }
    m.setPermissionsOK(true);

    const CaptureTarget target = m.captureTarget();
    std::optional<uint32_t> overlayWindow;
    if (m.webcamEnabled() && target.isWholeScreen() && m.webcamOverlay().hasPanel())
        overlayWindow = m.webcamOverlay().windowNumber();

    RecorderService::FilterAndConfiguration made;
    QString failure;
    try {
        // System audio exactly when the take has it: the tail must carry the same tracks.
        auto building = services.recorder->makeFilterAndConfiguration(
            services.permissions->cachedContent(), m.selectedDisplayID(), overlayWindow,
            request.plan.system.has_value(), target);
        made = co_await building;
    } catch (const std::exception &error) {
        failure = describe(error);
    }
    if (!weak)
        co_return TailCaptureStartResult::failed(kShuttingDown);
    if (!failure.isNull()) {
        m.setState(prior);
        co_return TailCaptureStartResult::failed(failure);
    }
    const int width = made.configuration.width;
    const int height = made.configuration.height;
    if (width != request.expectedWidth || height != request.expectedHeight) {
        m.setState(prior);
        co_return TailCaptureStartResult::refused(
            QStringLiteral("Record Again after switching back to the display or window the original was recorded on "
                           "— this capture would be %1×%2, the original is %3×%4.")
                .arg(width)
                .arg(height)
                .arg(request.expectedWidth)
                .arg(request.expectedHeight));
    }

    std::optional<QString> microphone;
    if (const auto chosen = m.selectedMicrophoneID()) {
        for (const MicOption &mic : m.availableMicrophones()) {
            if (mic.id == *chosen)
                microphone = mic.id;
        }
    }
    try {
        services.recorder->prepareMicrophone(microphone);
    } catch (...) {
        // The capture goes on with what the recorder has; it reports the device itself.
    }
    // As for a take, a desktop that chooses what is shared is asked before the countdown, once
    // the size check cannot refuse any more.
    const bool asksDesktop = services.recorder->desktopChoosesScreen();
    if (asksDesktop) {
        auto asking = m.m_takeRecording->askDesktop(builtAlready(made));
        const TakeRecording::ScreenAnswer answer = co_await asking;
        if (!weak)
            co_return TailCaptureStartResult::failed(kShuttingDown);
        if (!answer.made) {
            m.setState(prior);
            services.recorder->releasePreparedMicrophone();
            co_return answer.cancelled ? TailCaptureStartResult::cancelled()
                                       : TailCaptureStartResult::failed(answer.failure);
        }
    }
    services.border->show();

    auto counting = services.countdown->run(3, m.selectedDisplayID());
    const bool counted = co_await counting;
    if (!weak)
        co_return TailCaptureStartResult::failed(kShuttingDown);
    if (!counted) {
        m.setState(prior);
        services.recorder->releasePreparedMicrophone();
        if (asksDesktop)
            services.recorder->releaseAskedScreen();
        services.border->hide();
        co_return TailCaptureStartResult::cancelled();
    }

    m.m_cameraAvailable = true;
    m.m_userHidBlob = false;
    m.webcamOverlay().setInteractive(false);

    try {
        auto starting = services.recorder->startRecording(request.outputURL, made.displayID, made.filter,
                                                          made.configuration, request.plan);
        co_await starting;
    } catch (const std::exception &error) {
        failure = describe(error);
    }
    if (!weak)
        co_return TailCaptureStartResult::failed(kShuttingDown);
    if (!failure.isNull()) {
        services.recorder->releasePreparedMicrophone();
        services.border->hide();
        m.setState(prior);
        co_return TailCaptureStartResult::failed(failure);
    }
    co_return TailCaptureStartResult::started();
}

namespace {

QCoro::Task<bool> decideOnWarning(QPointer<AppStateManager> weak)
{
    if (!weak)
        co_return false;
    if (weak->tailWarningAcknowledged())
        co_return true;
    AppStateManager::TailDecision presenter = weak->tailWarningPresenter();
    auto asking = presenter();
    const bool confirmed = co_await asking;
    if (confirmed && weak)
        weak->setTailWarningAcknowledged(true);
    co_return confirmed;
}

QCoro::Task<bool> presentWarning(QPointer<AppStateManager> weak)
{
    if (!weak)
        co_return false;
    const AlertRequest request{
        QStringLiteral("Record a destructive tail?"),
        QStringLiteral("Recording a tail removes the media after the current trim-out from the take’s new file. "
                       "Undo can restore that media only while the ‘Record Tail’ step remains in undo history. "
                       "Later edits can evict it, and closing the recording, quitting Lumacast, or a crash ends "
                       "that undo window."),
        AlertStyle::warning,
        {QStringLiteral("Record Tail"), QStringLiteral("Cancel")}};
    co_return weak->runAlert(request) == 0;
}

QCoro::Task<std::optional<RecorderService::Recording>> stopRecorder(QPointer<AppStateManager> weak)
{
    if (!weak)
        co_return std::nullopt;
    std::shared_ptr<RecorderService> recorder = weak->services().recorder;
    auto stopping = recorder->stopRecording();
    co_return co_await stopping;
}

} // namespace

TailRecording::TailRecording(AppStateManager &manager) : m(manager) {}

void TailRecording::logApp(const QString &message) const
{
    m.logApp(message);
}

bool TailRecording::isLive(const QUuid &operationID, const std::optional<QUuid> &captureAttemptID) const
{
    const std::optional<TailOperation> &live = m.m_tailOperation;
    return live && live->id == operationID && (!captureAttemptID || live->captureAttemptID == *captureAttemptID);
}

bool TailRecording::canRecordTail(const QUuid &sceneID, const QUuid &takeID) const
{
    if (m.m_tailOperation || m.m_isExporting || m.isCopying())
        return false;
    if (m.m_state != AppState::idle && m.m_state != AppState::reviewing)
        return false;
    if (!m.m_currentSession)
        return false;
    for (const RecordingScene &scene : m.m_currentSession->scenes) {
        if (scene.id != sceneID)
            continue;
        for (const Take &take : scene.takes) {
            if (take.id == takeID)
                return Take::isUsableFile(m.takeURL(take.filename)) && take.duration > take.trimEnd;
        }
    }
    return false;
}

QCoro::Task<> TailRecording::recordTail(QUuid sceneID, QUuid takeID, std::optional<double> playheadPosition)
{
    // The tail's movies go where the recording's folder is now; nowhere once it is gone.
    if (!m.m_folderFollower->follow() || !canRecordTail(sceneID, takeID))
        co_return;
    if (playheadPosition && std::isfinite(*playheadPosition) && *playheadPosition >= 0)
        m.setTakePlayhead(*playheadPosition, sceneID, takeID);
    if (!m.m_currentSession)
        co_return;
    std::optional<Take> found;
    for (const RecordingScene &scene : m.m_currentSession->scenes) {
        if (scene.id != sceneID)
            continue;
        for (const Take &candidate : scene.takes) {
            if (candidate.id == takeID)
                found = candidate;
        }
    }
    if (!found)
        co_return;
    const Take *take = &*found;

    TailOperation operation;
    operation.id = QUuid::createUuid();
    operation.captureAttemptID = QUuid::createUuid();
    operation.sceneID = sceneID;
    operation.targetTakeID = takeID;
    operation.previewedTakeID = m.m_previewedTakeID;
    operation.priorPendingTakeID = m.m_pendingTakeID;
    operation.originalTake = *take;
    operation.originalURL = m.takeURL(take->filename);
    operation.frozenTrimStart = take->trimStart;
    operation.frozenTrimEnd = take->trimEnd;
    operation.priorAppState = m.m_state;
    const QString stem = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    operation.tailURL = m.takeURL(stem + QStringLiteral(".tail.mov"));
    operation.stagedOutputURL = m.takeURL(stem + QStringLiteral(".joining.mov"));
    operation.phase = TailOperation::Preparing{TailOperation::Initial{}};
    m.setTailOperation(operation);

    logApp(QStringLiteral("[tail] record tail — %1 trimEnd=%2").arg(take->filename, formatDouble(take->trimEnd)));
    m.m_sessionLog.append(
        QStringLiteral("record tail — %1 trimEnd=%2s").arg(take->filename).arg(take->trimEnd, 0, 'f', 2));

    const QPointer<AppStateManager> alive(&m);
    std::optional<AudioEncodingPlan> plan;
    QString planFailure;
    try {
        auto loading = AudioEncodingPlan::loadAsync(operation.originalURL);
        plan = co_await loading;
    } catch (const std::exception &error) {
        planFailure = describe(error);
    }
    if (!alive)
        co_return;
    if (!isLive(operation.id)) {
        logApp(QStringLiteral("[tail] stale audio plan ignored"));
        co_return;
    }
    if (!plan) {
        abortInitialTail(QStringLiteral("Record Again after checking the audio setup — this take's audio format "
                                        "can't be reproduced (%1).")
                             .arg(planFailure));
        co_return;
    }
    TailOperation withPlan = *m.m_tailOperation;
    withPlan.capturePlan = plan;
    m.setTailOperation(withPlan);

    AppStateManager::TailDecision decision = m.tailWarningDecision();
    auto deciding = decision();
    const bool goOn = co_await deciding;
    if (!alive)
        co_return;
    if (!isLive(operation.id)) {
        logApp(QStringLiteral("[tail] stale warning answer ignored"));
        co_return;
    }
    if (!goOn) {
        abortInitialTail(std::nullopt);
        co_return;
    }
    auto capturing = startTailCapture(*m.m_tailOperation, *plan, TailOperation::Initial{});
    co_await capturing;
}

QCoro::Task<> TailRecording::startTailCapture(TailOperation operation, AudioEncodingPlan plan,
                                              TailOperation::Attempt attempt)
{
    if (!isLive(operation.id))
        co_return;
    const QPointer<AppStateManager> alive(&m);
    auto probing = AppStateManager::probeVideoDimensions(operation.originalURL);
    const std::optional<std::pair<int, int>> size = co_await probing;
    if (!alive)
        co_return;
    if (!isLive(operation.id, operation.captureAttemptID)) {
        logApp(QStringLiteral("[tail] stale size probe ignored"));
        co_return;
    }

    TailCaptureRequest request;
    request.outputURL = operation.tailURL;
    request.originalURL = operation.originalURL;
    request.plan = plan;
    request.expectedWidth = size ? size->first : 0;
    request.expectedHeight = size ? size->second : 0;

    AppStateManager::TailCaptureStart start = m.tailCaptureStart();
    auto starting = start(request);
    const TailCaptureStartResult result = co_await starting;
    if (!alive)
        co_return;
    if (!isLive(operation.id, operation.captureAttemptID)) {
        logApp(QStringLiteral("[tail] stale capture start ignored"));
        if (result.kind == TailCaptureStartResult::Kind::started && !m.m_tailOperation && !m.isRecording()) {
            // Nobody owns this capture any more: stop it and drop what it wrote, so that it
            // neither runs on unseen nor leaves a file behind. (A capture that another take or
            // tail has started since is left alone.)
            AppStateManager::TailRecorderStop stop = m.tailRecorderStop();
            auto stopping = stop();
            const std::optional<RecorderService::Recording> written = co_await stopping;
            QFile::remove(written ? written->path : request.outputURL);
        }
        co_return;
    }

    const auto *again = std::get_if<TailOperation::RecordAgain>(&attempt);
    switch (result.kind) {
    case TailCaptureStartResult::Kind::refused:
    case TailCaptureStartResult::Kind::failed:
        if (again)
            failRecordAgain(again->previousFailure.kind, again->previousFailure.message, result.message);
        else
            abortInitialTail(result.message);
        co_return;
    case TailCaptureStartResult::Kind::cancelled:
        if (again)
            failRecordAgain(again->previousFailure.kind, again->previousFailure.message,
                            QStringLiteral("Record Again was cancelled."));
        else
            abortInitialTail(std::nullopt);
        co_return;
    case TailCaptureStartResult::Kind::started:
        break;
    }

    TailOperation recording = *m.m_tailOperation;
    recording.phase = TailOperation::Recording{attempt};
    m.setTailOperation(recording);
    m.setTakeStartedAt(m.m_services.clock->now());
    m.m_pausedAt.reset();
    m.m_pauseAccumulated = 0;
    m.m_inFlightTakeFilename = QFileInfo(request.outputURL).fileName();
    m.setState(AppState::recording);
    m.m_services.statusPanel->show();
    m.m_services.border->show();
    logApp(QStringLiteral("[tail] recording tail — ") + QFileInfo(request.outputURL).fileName());
}

void TailRecording::abortInitialTail(const std::optional<QString> &message)
{
    if (!m.m_tailOperation)
        return;
    logApp(QStringLiteral("[tail] initial abort — ") + message.value_or(QStringLiteral("cancelled")));
    const TailOperation operation = *m.m_tailOperation;
    m.endTailOperation(operation);
    if (message) {
        AppStateManager::TailReport report = m.tailReportFailure();
        report(kCouldNotRecordTitle, *message);
    }
}

void TailRecording::failRecordAgain(TailFailure::Kind previousKind, const QString &previousMessage,
                                    const QString &message)
{
    if (!m.m_tailOperation)
        return;
    TailOperation operation = *m.m_tailOperation;
    QFile::remove(operation.tailURL);
    QFile::remove(operation.stagedOutputURL);
    operation.phase = TailOperation::Failed{TailFailure{previousKind, message + QStringLiteral("\n\n") + previousMessage}};
    m.setTailOperation(operation);
    m.setState(AppState::reviewing);
    logApp(QStringLiteral("[tail] record again produced no tail — ") + message);
}

std::optional<QString> TailRecording::tailTargetLabel() const
{
    if (!m.m_tailOperation || !m.m_currentSession)
        return std::nullopt;
    const TailOperation &operation = *m.m_tailOperation;
    const QList<RecordingScene> &scenes = m.m_currentSession->scenes;
    for (qsizetype s = 0; s < scenes.size(); ++s) {
        if (scenes[s].id != operation.sceneID)
            continue;
        for (qsizetype t = 0; t < scenes[s].takes.size(); ++t) {
            if (scenes[s].takes[t].id == operation.targetTakeID)
                return QStringLiteral("S%1T%2").arg(s + 1).arg(t + 1);
        }
        return std::nullopt;
    }
    return std::nullopt;
}

bool TailRecording::tailSystemAudioIndicator() const
{
    if (m.m_tailOperation && m.m_tailOperation->capturePlan)
        return m.m_tailOperation->capturePlan->system.has_value();
    return m.m_captureSystemAudio;
}

AppStateManager::TailDecision TailRecording::defaultWarningDecision()
{
    return [weak = QPointer<AppStateManager>(&m)] { return decideOnWarning(weak); };
}

AppStateManager::TailDecision TailRecording::defaultWarningPresenter()
{
    return [weak = QPointer<AppStateManager>(&m)] { return presentWarning(weak); };
}

AppStateManager::TailCaptureStart TailRecording::defaultCaptureStart()
{
    return [weak = QPointer<AppStateManager>(&m)](TailCaptureRequest request) {
        return captureStart(weak, std::move(request));
    };
}

AppStateManager::TailRecorderStop TailRecording::defaultRecorderStop()
{
    return [weak = QPointer<AppStateManager>(&m)] { return stopRecorder(weak); };
}

// ---- Movie probes (blocking reads on a thread of their own) -----------------------------------

QCoro::Task<std::optional<std::pair<int, int>>> AppStateManager::probeVideoDimensions(QString moviePath)
{
    auto probing = runInBackground("tail size probe", [path = std::move(moviePath)]()
                                                          -> std::optional<std::pair<int, int>> {
        try {
            const std::shared_ptr<const av::Asset> asset = av::Asset::open(path);
            const QList<av::AssetTrack> video = asset->tracks(av::MediaType::Video);
            if (video.isEmpty() || video.first().formatDescriptions.isEmpty())
                return std::nullopt;
            const av::FormatDescription &format = video.first().formatDescriptions.first();
            return std::make_pair(format.width, format.height);
        } catch (...) {
            return std::nullopt;
        }
    });
    co_return co_await probing;
}

QCoro::Task<bool> AppStateManager::probeTakeMedia(QString moviePath)
{
    auto probing = runInBackground("tail media probe", [path = std::move(moviePath)]() -> bool {
        try {
            const std::shared_ptr<const av::Asset> asset = av::Asset::open(path);
            const av::MediaTime duration = asset->duration();
            if (!duration.isNumeric() || !std::isfinite(duration.seconds()) || duration.seconds() <= 0)
                return false;
            const QList<av::AssetTrack> video = asset->tracks(av::MediaType::Video);
            const QList<av::AssetTrack> audio = asset->tracks(av::MediaType::Audio);
            if (video.size() != 1 || audio.isEmpty() || audio.size() > 2)
                return false;
            if (video.first().formatDescriptions.size() != 1)
                return false;
            for (const av::AssetTrack &track : audio) {
                if (track.formatDescriptions.size() != 1 || track.formatDescriptions.first().formatID != av::kFormatAAC)
                    return false;
            }
            return true;
        } catch (...) {
            return false;
        }
    });
    co_return co_await probing;
}

} // namespace lumacast
