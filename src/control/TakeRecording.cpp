#include "control/TakeRecording.h"

#include "control/AppStateManager.h"
#include "control/FolderFollower.h"
#include "control/UnfinishedTakes.h"
#include "model/LogCategories.h"
#include "store/DiskSync.h"
#include "store/FileCopy.h"
#include "store/HeldFile.h"
#include "store/SessionStore.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <qcoro/qcorosignal.h>

namespace lumacast {

namespace {
const QString kNoWindowTitle = QStringLiteral("That window is no longer available");
const QString kNoWindowText = QStringLiteral(
    "The window you were recording has closed. Lumacast switched back to whole-screen capture — try recording again.");
const QString kStartFailedTitle = QStringLiteral("Couldn't start recording");
const QString kStartFailedAdvice = QStringLiteral(
    "If you revoked Screen Recording or Microphone access, re-enable it in Settings and try again.");
// In a Wayland session the desktop's screen sharing asks the user at the start of a take: a
// dismissed chooser is the user saying no, not a vanished window or a broken recorder.
const QString kScreenSharingDomain = QStringLiteral("Lumacast.ScreenCast");
constexpr int kScreenSharingCancelled = 0;
constexpr int kScreenSharingNoAnswer = 4;
const QString kScreenSharingRefusedTitle = QStringLiteral("Screen sharing was not allowed");
const QString kScreenSharingRefusedAdvice = QStringLiteral(
    "Lumacast records through your desktop's screen sharing. Start recording again and choose what to share.");
const QString kScreenSharingNoAnswerAdvice = QStringLiteral(
    "Lumacast records through your desktop's screen sharing, whose service seems to have stopped. Logging out and "
    "back in starts it again.");
const QString kScreenSharingFailedAdvice = QStringLiteral("Lumacast records through your desktop's screen sharing.");

QString screenSharingAdvice(int code)
{
    if (code == kScreenSharingCancelled)
        return kScreenSharingRefusedAdvice;
    return code == kScreenSharingNoAnswer ? kScreenSharingNoAnswerAdvice : kScreenSharingFailedAdvice;
}

// Clears the start-under-way mark on every way out of a start, and tells whoever waits for it;
// its frame may outlive the manager.
struct StartUnderWay {
    QPointer<AppStateManager> alive;
    bool &mark;
    TakeEndNotifier &notifier;
    ~StartUnderWay()
    {
        if (!alive)
            return;
        mark = false;
        emit notifier.startSettled();
    }
};
} // namespace

TakeRecording::TakeRecording(AppStateManager &manager) : m(manager) {}

TakeRecording::~TakeRecording() = default;

void TakeRecording::beginEnding()
{
    m.m_isEndingTake = true;
}

void TakeRecording::endSettled()
{
    m.m_isEndingTake = false;
    emit m_endNotifier->settled();
}

QCoro::Task<> TakeRecording::awaitEndUnderWay()
{
    if (!m.m_isEndingTake)
        co_return;
    co_await qCoro(m_endNotifier.get(), &TakeEndNotifier::settled);
}

void TakeRecording::logApp(const QString &message) const
{
    m.logApp(message);
}

bool TakeRecording::sessionChanged(const Attempt &attempt) const
{
    return !m.m_currentSession || m.m_currentSession->id != attempt.sessionID;
}

std::optional<QString> TakeRecording::resolvedMicrophoneID() const
{
    if (!m.m_selectedMicrophoneID)
        return std::nullopt;
    for (const MicOption &mic : m.m_availableMicrophones) {
        if (mic.id == *m.m_selectedMicrophoneID)
            return mic.id;
    }
    return std::nullopt;
}

QCoro::Task<> TakeRecording::startRecording()
{
    // A start while a take starts, runs or is paused would restart the recorder under the
    // running take; the menus may offer the command a moment too long. An earlier start still
    // counting down after its session was closed holds the prepared microphone and the countdown
    // until it notices and gives up.
    if (m_startUnderWay || m.m_state == AppState::starting || m.isRecording() || m.m_tailOperation
        || !m.m_currentSession)
        co_return;
    // Its movie would go into a folder being copied, and a Save As then removes that folder.
    if (m.isCopying()) {
        logApp(QStringLiteral("[rec] startRecording — refused while the recording's files are copied"));
        co_return;
    }
    // Its movie goes where the recording's folder is now; nowhere once that is gone.
    if (!m.m_folderFollower->follow()) {
        logApp(QStringLiteral("[rec] startRecording — refused, the recording's folder is gone"));
        co_return;
    }
    const QPointer<AppStateManager> alive(&m);
    m_startUnderWay = true;
    const StartUnderWay underWay{alive, m_startUnderWay, *m_endNotifier};
    Attempt attempt;
    attempt.priorState = m.m_state;
    attempt.sessionID = m.m_currentSession->id;
    m.setState(AppState::starting);
    logApp(QStringLiteral("[rec] startRecording called, state=") + app_state::caseName(attempt.priorState));
    logApp(QStringLiteral("[rec] checking permissions (state=%1)").arg(app_state::caseName(m.m_state)));

    auto permission = m.m_services.permissions->ensureReadyToRecord(QStringLiteral("startRecording"), false);
    const bool ready = co_await permission;
    if (!alive)
        co_return;
    if (!ready) {
        logApp(QStringLiteral("[rec] permissions failed — aborting"));
        m.setState(attempt.priorState);
        m.setPermissionsOK(false);
        co_return;
    }
    if (sessionChanged(attempt)) {
        co_await abandonStart(attempt, false);
        co_return;
    }
    m.setPermissionsOK(true);

    attempt.filename = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".mov");
    attempt.path = m.takeURL(attempt.filename);
    logApp(QStringLiteral("[rec] filename=%1, starting countdown").arg(attempt.filename));
    try {
        m.m_services.recorder->prepareMicrophone(resolvedMicrophoneID());
    } catch (...) {
        // The take goes on without a microphone; the recorder reports the device itself.
    }
    // Where the desktop chooses what is shared, it is asked before the countdown, so that the
    // take begins a countdown after the user's choice.
    std::optional<RecorderService::FilterAndConfiguration> asked;
    if (m.m_services.recorder->desktopChoosesScreen()) {
        auto asking = askDesktopForScreen(attempt);
        asked = co_await asking;
        if (!alive || !asked)
            co_return;
    }
    m.m_services.border->show();

    auto countdown = m.m_services.countdown->run(3, m.m_selectedDisplayID);
    const bool counted = co_await countdown;
    if (!alive)
        co_return;
    if (!counted) {
        logApp(QStringLiteral("[rec] countdown cancelled"));
        qCInfo(log::state(), "countdown cancelled");
        m.setState(attempt.priorState);
        m.m_services.recorder->releasePreparedMicrophone();
        m.m_services.recorder->releaseAskedScreen();
        m.m_services.border->hide();
        co_return;
    }
    if (sessionChanged(attempt)) {
        co_await abandonStart(attempt, false);
        co_return;
    }
    // Renamed or moved during the countdown, the folder gets the movie where it is now; gone, it
    // gets none (its own alert says so).
    if (!m.m_folderFollower->follow()) {
        logApp(QStringLiteral("[rec] startRecording — given up, the recording's folder went during the countdown"));
        m.m_services.recorder->releaseAskedScreen();
        cleanUpFailedStart(attempt);
        co_return;
    }
    attempt.path = m.takeURL(attempt.filename);

    m.m_cameraAvailable = true;
    m.m_userHidBlob = false;
    const CaptureTarget target = m.m_captureTarget;
    std::optional<uint32_t> overlayWindow;
    if (m.m_webcamEnabled && target.isWholeScreen())
        overlayWindow = m.m_services.webcamOverlay->windowNumber();
    m.m_services.webcamOverlay->setInteractive(false);

    QString failure;
    std::optional<int> screenSharingFailure;
    try {
        RecorderService::FilterAndConfiguration made;
        if (asked) {
            made = std::move(*asked);
        } else {
            auto building = m.m_services.recorder->makeFilterAndConfiguration(
                m.m_services.permissions->cachedContent(), m.m_selectedDisplayID, overlayWindow,
                m.m_captureSystemAudio, target);
            made = co_await building;
        }
        if (!alive)
            co_return;
        if (sessionChanged(attempt)) {
            co_await abandonStart(attempt, false);
            co_return;
        }
        Session planned = *m.m_currentSession;
        m.m_services.recorder->setNextTakeJournalNote(
            UnfinishedTakes::journalNote(planned, sceneForNewTake(planned).id));
        auto starting = m.m_services.recorder->startRecording(attempt.path, made.displayID, made.filter,
                                                              made.configuration, std::nullopt);
        co_await starting;
    } catch (const Error &error) {
        failure = error.localizedDescription();
        if (error.domain() == kScreenSharingDomain)
            screenSharingFailure = error.code();
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!alive)
        co_return;
    if (screenSharingFailure) {
        failScreenSharing(attempt, *screenSharingFailure, failure);
        co_return;
    }
    if (!failure.isNull()) {
        failStart(attempt, target, failure);
        co_return;
    }
    if (sessionChanged(attempt)) {
        co_await abandonStart(attempt, true);
        co_return;
    }

    m.setTakeStartedAt(m.m_services.clock->now());
    m.m_pauseAccumulated = 0;
    m.m_pausedAt.reset();
    m.m_inFlightTakeFilename = attempt.filename;
    m.setState(AppState::recording);
    m.m_services.statusPanel->show();
    m.m_services.border->show();
    logApp(QStringLiteral("[rec] recording started — ") + QFileInfo(attempt.path).fileName());
    m.m_sessionLog.append(QStringLiteral("recording started — ") + attempt.filename);
}

QCoro::Task<TakeRecording::ScreenAnswer> TakeRecording::askDesktop(
    QCoro::Task<RecorderService::FilterAndConfiguration> making)
{
    const QPointer<AppStateManager> alive(&m);
    ScreenAnswer answer;
    m_askingForScreen = true;
    m_startCancelled = false;
    // Escape, and every hot key, give up on a desktop that does not answer (or a chooser the
    // user walked away from): the countdown's own way of cancelling, held while the desktop
    // is asked.
    m.m_services.countdown->watchForCancel([weak = alive] {
        if (weak)
            weak->m_takeRecording->cancelStart();
    });
    logApp(QStringLiteral("[rec] asking the desktop what to share"));
    try {
        answer.made = co_await making;
        if (alive && !m_startCancelled) {
            auto asking = m.m_services.recorder->askForScreen(*answer.made);
            co_await asking;
        }
    } catch (const Error &error) {
        answer.failure = error.localizedDescription();
        if (error.domain() == kScreenSharingDomain)
            answer.screenSharingCode = error.code();
    } catch (const std::exception &error) {
        answer.failure = QString::fromUtf8(error.what());
    }
    if (!alive)
        co_return answer;
    m.m_services.countdown->stopWatchingForCancel();
    m_askingForScreen = false;
    if (m_startCancelled) {
        // The user gave up: whatever the desktop granted meanwhile is ended unused.
        m.m_services.recorder->releaseAskedScreen();
        logApp(QStringLiteral("[rec] start cancelled while the desktop was asked"));
        qCInfo(log::state(), "start cancelled while the desktop was asked");
        answer = ScreenAnswer{};
        answer.cancelled = true;
    } else if (!answer.failure.isNull()) {
        answer.made.reset();
    }
    co_return answer;
}

QCoro::Task<std::optional<RecorderService::FilterAndConfiguration>> TakeRecording::askDesktopForScreen(
    const Attempt &attempt)
{
    const QPointer<AppStateManager> alive(&m);
    auto asking = askDesktop(m.m_services.recorder->makeFilterAndConfiguration(
        m.m_services.permissions->cachedContent(), m.m_selectedDisplayID, std::nullopt, m.m_captureSystemAudio,
        m.m_captureTarget));
    ScreenAnswer answer = co_await asking;
    if (!alive)
        co_return std::nullopt;
    if (answer.cancelled) {
        cleanUpFailedStart(attempt);
        co_return std::nullopt;
    }
    if (!answer.failure.isNull()) {
        if (answer.screenSharingCode)
            failScreenSharing(attempt, *answer.screenSharingCode, answer.failure);
        else
            failStart(attempt, m.m_captureTarget, answer.failure);
        co_return std::nullopt;
    }
    if (sessionChanged(attempt)) {
        m.m_services.recorder->releaseAskedScreen();
        co_await abandonStart(attempt, false);
        co_return std::nullopt;
    }
    co_return std::move(answer.made);
}

QCoro::Task<> TakeRecording::cancelStartAndWait()
{
    if (!m_startUnderWay)
        co_return;
    const QPointer<AppStateManager> alive(&m);
    logApp(QStringLiteral("[rec] the take's start is given up"));
    cancelStart();
    m.m_services.countdown->cancel();
    if (!alive || !m_startUnderWay)
        co_return;
    co_await qCoro(m_endNotifier.get(), &TakeEndNotifier::startSettled);
}

void TakeRecording::cancelStart()
{
    if (!m_askingForScreen || m_startCancelled)
        return;
    m_startCancelled = true;
    m.m_services.recorder->cancelAskingForScreen();
}

void TakeRecording::failScreenSharing(const Attempt &attempt, int code, const QString &description)
{
    cleanUpFailedStart(attempt);
    logApp(QStringLiteral("[rec] the desktop's screen sharing did not start: ") + description);
    m.presentAlert(code == kScreenSharingCancelled ? kScreenSharingRefusedTitle : kStartFailedTitle,
                   description + QStringLiteral("\n\n") + screenSharingAdvice(code), AlertStyle::warning);
}

void TakeRecording::cleanUpFailedStart(const Attempt &attempt)
{
    m.m_services.recorder->releasePreparedMicrophone();
    m.m_services.border->hide();
    // The reviewed take of a replaced session is gone with it: there is nothing to go back to.
    const bool reviewLost = attempt.priorState == AppState::reviewing && sessionChanged(attempt);
    m.setState(reviewLost ? AppState::idle : attempt.priorState);
}

QCoro::Task<> TakeRecording::abandonStart(const Attempt &attempt, bool recorderRunning)
{
    logApp(QStringLiteral("[rec] session changed during start — abandoning the take"));
    cleanUpFailedStart(attempt);
    if (!recorderRunning)
        co_return;
    // The movie was meant for a session that is no longer open; nothing will ever refer to it.
    auto stopping = m.m_services.recorder->stopRecording();
    const std::optional<RecorderService::Recording> recording = co_await stopping;
    QFile::remove(recording ? recording->path : attempt.path);
}

void TakeRecording::failStart(const Attempt &attempt, const CaptureTarget &target, const QString &description)
{
    cleanUpFailedStart(attempt);
    logApp(QStringLiteral("[rec] startRecording failed: ") + description);
    qCWarning(log::recorder(), "startRecording failed: %s", qUtf8Printable(description));
    if (!target.isWholeScreen()) {
        m.setCaptureTarget(CaptureTarget::wholeScreen());
        m.presentAlert(kNoWindowTitle, kNoWindowText, AlertStyle::warning);
    } else {
        m.presentAlert(kStartFailedTitle, description + QStringLiteral("\n\n") + kStartFailedAdvice,
                       AlertStyle::warning);
    }
}

void TakeRecording::pauseRecording()
{
    qCInfo(log::state(), "pauseRecording");
    m.m_services.recorder->pause();
    m.m_pausedAt = m.m_services.clock->now();
    m.setState(AppState::paused);
    m.m_sessionLog.append(QStringLiteral("paused"));
}

void TakeRecording::resumeRecording()
{
    qCInfo(log::state(), "resumeRecording");
    m.m_services.recorder->resume();
    if (m.m_pausedAt) {
        const double paused = m.m_pausedAt->msecsTo(m.m_services.clock->now()) / 1000.0;
        m.m_pauseAccumulated += paused;
        m.m_pausedAt.reset();
        m.m_sessionLog.append(QStringLiteral("resumed — paused for %1s").arg(paused, 0, 'f', 1));
    }
    m.setState(AppState::recording);
}

QCoro::Task<> TakeRecording::endTake()
{
    qCInfo(log::state(), "endTake called, state=%s", qUtf8Printable(app_state::caseName(m.m_state)));
    if (m.m_tailOperation) {
        // The tail finaliser stops a tail capture; no take is filed on this road.
        if (std::holds_alternative<TailOperation::Recording>(m.m_tailOperation->phase)) {
            auto stopping = m.handleTailStop();
            co_await stopping;
        }
        co_return;
    }
    if (m.m_isEndingTake) {
        qCInfo(log::state(), "endTake ignored — already ending");
        co_return;
    }
    beginEnding();
    const QPointer<AppStateManager> alive(&m);
    const std::optional<QUuid> sessionID =
        m.m_currentSession ? std::optional<QUuid>(m.m_currentSession->id) : std::nullopt;
    auto stopping = m.m_services.recorder->stopRecording();
    const std::optional<RecorderService::Recording> recording = co_await stopping;
    if (!alive)
        co_return;
    const std::optional<QUuid> sessionNow =
        m.m_currentSession ? std::optional<QUuid>(m.m_currentSession->id) : std::nullopt;
    if (recording && sessionNow != sessionID) {
        // Its movie lies in the folder of the session it was recorded for; filing it into
        // another one would refer to a file that session does not have.
        logApp(QStringLiteral("[rec] session changed while the take ended — %1 not filed")
                   .arg(QFileInfo(recording->path).fileName()));
        m.clearTakeOverlays();
        m.m_inFlightTakeFilename.reset();
        m.setState(AppState::idle);
        endSettled();
        co_return;
    }

    // Its movie was recorded into a folder that is gone now (deleted, or moved to another disk),
    // or the movie itself lost its name: it is kept apart, never filed where nothing can be saved.
    const bool folderHere = m.m_folderFollower->follow();
    const bool apart = recording && (recording->path.isEmpty() || !folderHere);
    if (!recording || apart) {
        if (!recording)
            qCCritical(log::state(), "endTake: stopRecording returned nil — resetting to idle");
        m.setState(AppState::idle);
        m.m_services.statusPanel->hide();
        m.m_services.border->hide();
        m.m_inFlightTakeFilename.reset();
        m.setTakeStartedAt(std::nullopt);
        m.m_pausedAt.reset();
        // A folder that went has its own alert: it says what was lost, not that nothing was written.
        if (!recording && !m.m_isHandlingStreamError && folderHere)
            m.presentAlert(QStringLiteral("The take couldn’t be saved"),
                           QStringLiteral("Recording stopped before any video was written, so there was nothing "
                                          "to save. Please try again."),
                           AlertStyle::warning);
        if (apart) {
            auto keeping = keepApart(*recording, false);
            co_await keeping;
            if (!alive)
                co_return;
        }
        endSettled();
        co_return;
    }

    const QString filename = QFileInfo(recording->path).fileName();
    qCInfo(log::state(), "endTake: got %s duration=%f", qUtf8Printable(filename), recording->duration);
    m.m_sessionLog.append(QStringLiteral("take ended — %1 duration=%2s").arg(filename).arg(recording->duration, 0, 'f', 1));
    fileTake(recording->path, recording->duration);
    m.m_inFlightTakeFilename.reset();
    m.setTakeStartedAt(std::nullopt);
    m.m_pausedAt.reset();
    m.m_pauseAccumulated = 0;
    m.setState(AppState::reviewing);
    m.m_services.statusPanel->hide();
    m.m_services.border->hide();
    m.openWindow(QStringLiteral("review"));
    endSettled();
}

Take TakeRecording::newTake(const QString &path, double duration, const QDateTime &recordedAt)
{
    Take take;
    take.id = QUuid::createUuid();
    take.filename = QFileInfo(path).fileName();
    take.duration = duration;
    take.recordedAt = recordedAt;
    take.trimStart = 0;
    take.trimEnd = duration;
    return take;
}

RecordingScene &TakeRecording::sceneForNewTake(Session &session)
{
    if (session.scenes.isEmpty()) {
        RecordingScene scene;
        scene.id = QUuid::createUuid();
        session.scenes.append(scene);
    }
    session.currentSceneIndex = std::clamp<qsizetype>(session.currentSceneIndex, 0, session.scenes.size() - 1);
    return session.scenes[session.currentSceneIndex];
}

void TakeRecording::fileTake(const QString &path, double duration)
{
    const Take take = newTake(path, duration, m.m_services.clock->now());
    if (m.m_currentSession) {
        const bool here = m.m_folderFollower->follow(); // the movie moved with its folder
        Session session = *m.m_currentSession;
        sceneForNewTake(session).takes.append(take);
        // Named in the manifest at once and before anything hears of the take (a window redrawn
        // on a display that may be gone): a crash in the next moments must not leave its movie
        // unnamed by any manifest. A failure is reported by the autosave below.
        bool written = here;
        try {
            if (here) {
                m.m_services.store->writeManifest(session, m.heldTakeFilenames());
                UnfinishedTakes::releaseJournals(session);
            }
        } catch (const std::exception &) {
            written = false;
        }
        const QSet<QString> released = m.checkpoint(QStringLiteral("Record Take"));
        session.isDirty = !written;
        m.setCurrentSession(session);
        if (!written)
            m.autoSave();
        if (!released.isEmpty())
            m.collectOrphanTakeFiles();
    }
    m.setPendingTakeID(take.id);
    m.setPreviewedTakeID(take.id);
    m.setCurrentTakeURL(m.m_currentSession ? m.takeURL(take.filename) : path);
}

QCoro::Task<> TakeRecording::keepApart(RecorderService::Recording recording, bool tail)
{
    const QPointer<AppStateManager> alive(&m);
    const QString what = tail ? QStringLiteral("tail") : QStringLiteral("take");
    const QString told = keptApartReason(recording, tail);
    QString folder, movie, failure;
    try {
        folder = Session::makeScratchFolder();
        movie = folder + QStringLiteral("/takes/") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()
              + QStringLiteral(".mov");
        // The movie reaches the disk before a manifest names it.
        auto copying = runInBackground("take kept apart", [recording, movie] {
            if (recording.movie)
                FileCopy::copy(*recording.movie, movie);
            else
                FileCopy::copy(recording.path, movie);
            DiskSync::file(movie);
            DiskSync::folder(QFileInfo(movie).path());
        });
        co_await copying;
    } catch (const Error &error) {
        failure = error.localizedDescription();
        // Only the folders made just now, and only while empty: a copy that got there stays, and
        // the alert names it.
        if (!folder.isEmpty() && QDir(folder).rmdir(QStringLiteral("takes")))
            QDir().rmdir(folder);
        if (!QFileInfo::exists(movie))
            movie.clear();
    }
    if (!alive)
        co_return;
    Session kept(folder);
    if (failure.isNull()) {
        sceneForNewTake(kept).takes.append(newTake(movie, recording.duration, m.m_services.clock->now()));
        try {
            m.m_services.store->writeManifest(kept);
        } catch (const Error &error) {
            failure = error.localizedDescription();
        }
    }
    if (!failure.isNull()) {
        logApp(QStringLiteral("[rec] the %1 could not be kept apart: %2").arg(what, failure));
        tellOnceAnswered(QStringLiteral("The %1 couldn’t be kept").arg(what),
                         told + QStringLiteral(" Keeping it elsewhere failed too: ") + failure
                             + (movie.isEmpty() ? QString() : QStringLiteral(" Its movie is %1.").arg(movie)));
        co_return;
    }
    logApp(QStringLiteral("[rec] the %1 was kept apart in a new recording — %2").arg(what, folder));
    m.setRecoverableSessions(m.m_recoverableSessions + QList<Session>{kept});
    tellOnceAnswered(QStringLiteral("The %1 was kept as a new recording").arg(what),
                     told + QStringLiteral(" Lumacast kept it whole in a new unsaved recording: choose File ▸ Recover "
                                           "Recording to resume it, then save it where you like."));
}

// After the alert about the folder that went, when that one is still up.
void TakeRecording::tellOnceAnswered(const QString &title, const QString &text)
{
    const QPointer<AppStateManager> alive(&m);
    m.interactions().run(QStringLiteral("the alert about a take kept apart"), [alive, title, text] {
        if (alive)
            alive->presentAlert(title, text, AlertStyle::warning);
    });
}

QString TakeRecording::keptApartReason(const RecorderService::Recording &recording, bool tail) const
{
    const std::optional<QString> package = m.m_currentSession ? m.m_currentSession->bundleURL : std::nullopt;
    const QString name = package ? QStringLiteral("“%1”").arg(QFileInfo(QDir::cleanPath(*package)).fileName())
                                 : QStringLiteral("the unsaved recording");
    const QString why = m.m_folderFollower->isLost()
                            ? QStringLiteral("%1 is no longer on this disk").arg(name)
                            : QStringLiteral("its movie was deleted from %1 while it was recorded").arg(name);
    return QStringLiteral("The %1 you recorded (%2 s) could not be %3: %4.")
        .arg(tail ? QStringLiteral("tail") : QStringLiteral("take"))
        .arg(recording.duration, 0, 'f', 1)
        .arg(tail ? QStringLiteral("joined") : QStringLiteral("filed"), why);
}

QCoro::Task<> TakeRecording::endTakeAfterStreamError(QString description)
{
    if (!m.isRecording())
        co_return;
    if (m.m_tailOperation) {
        // The tail road reports its own outcome; no alert here.
        if (m.m_isHandlingStreamError)
            co_return;
        m.m_isHandlingStreamError = true;
        const QPointer<AppStateManager> alive(&m);
        auto stopping = m.handleTailStop();
        co_await stopping;
        if (alive)
            m.m_isHandlingStreamError = false;
        co_return;
    }
    if (m.m_isHandlingStreamError) {
        logApp(QStringLiteral("[app] stream error ignored — already handling one"));
        co_return;
    }
    m.m_isHandlingStreamError = true;
    const QPointer<AppStateManager> alive(&m);
    auto ending = endTake();
    co_await ending;
    if (!alive)
        co_return;
    m.m_isHandlingStreamError = false;
    m.presentAlert(QStringLiteral("Recording interrupted"), description, AlertStyle::warning);
}

} // namespace lumacast
