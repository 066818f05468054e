#include "control/SessionDocument.h"

#include "control/AppStateManager.h"
#include "control/UnfinishedTakes.h"
#include "control/DocumentHistory.h"
#include "control/FolderFollower.h"
#include "media/WorkingItem.h"
#include "model/LogCategories.h"
#include "store/FilePanelGuard.h"
#include "store/InteractionGate.h"
#include "store/Preferences.h"
#include "store/ScratchClaim.h"
#include "store/SessionStore.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFileInfo>

namespace lumacast {

namespace {

const QString kCouldNotOpen = QStringLiteral("Couldn’t open recording");
const QString kCouldNotSave = QStringLiteral("Couldn’t save recording");
const QString kSavePanelName = QStringLiteral("Recording.lumacast");

QString openElsewhere(const QString &name)
{
    return ScratchClaim::openElsewhereMessage(name);
}

// A recording whose lock cannot be checked may be open in another program: nothing in it is
// deleted or written, so it is not opened. Empty when it may be.
QString uncheckedLock(const ScratchClaim &claim)
{
    if (claim.isHeld())
        return {};
    const QString problem = ScratchClaim::lockProblem(claim.folder());
    return problem.isEmpty() ? QString() : ScratchClaim::uncheckedMessage(claim.folder(), problem);
}

QString fileName(const QString &url)
{
    return QFileInfo(QDir::cleanPath(url)).fileName();
}

// Runs by itself once started; its frame frees itself when it ends. `command` keeps whatever
// arrives meanwhile waiting until the recording is open.
QCoro::Task<> openAndReport(QPointer<AppStateManager> manager, QString url,
                            [[maybe_unused]] InteractionGate::SharedHold command)
{
    try {
        auto opening = manager->openSession(url, true);
        co_await opening;
    } catch (const Error &error) {
        if (manager)
            manager->presentAlert(kCouldNotOpen, error.localizedDescription(), AlertStyle::warning);
    }
}

// New Recording whose scratch folder cannot be made (an unwritable ~/.cache) would otherwise
// do nothing at all: nothing changed, and the user is told why.
QCoro::Task<> newSessionReportingErrors(QPointer<AppStateManager> manager)
{
    try {
        auto creating = manager->newSession();
        co_await creating;
    } catch (const Error &error) {
        if (manager)
            manager->presentAlert(QStringLiteral("Couldn’t start a new recording"), error.localizedDescription(),
                                  AlertStyle::warning);
    }
}

} // namespace

SessionDocument::SessionDocument(AppStateManager &manager)
    : m(manager)
{
}

void SessionDocument::logApp(const QString &message) const
{
    m.logApp(message);
}

// ---- Opening a package -------------------------------------------------------------------------

QCoro::Task<> SessionDocument::openSession(QString url, bool activate)
{
    url = QDir::cleanPath(url);
    const QString name = fileName(url);
    const QString opening = QStringLiteral("opening ") + name;
    if (refuseUnderTakeOrTail(QStringLiteral("openSession"), name, opening))
        co_return;
    m.setTailWarningAcknowledged(false);
    logApp(QStringLiteral("[app] openSession — %1 (activate=%2)").arg(name, activate ? "true" : "false"));
    // Closed first, so that no earlier history log stays open whatever fails below.
    m.m_sessionLog.close();
    Session session = m.m_services.store->openSession(url, url); // throws ManifestError
    // Held from before anything in the folder is touched until the recording is current (its
    // own claim then shares the lock).
    const ScratchClaim claim(url);
    if (!claim.isHeld() && ScratchClaim::isClaimedElsewhere(url)) {
        logApp(QStringLiteral("[app] openSession — %1 is open in another Lumacast, left alone").arg(name));
        throw Error(openElsewhere(name));
    }
    if (const QString unchecked = uncheckedLock(claim); !unchecked.isEmpty()) {
        logApp(QStringLiteral("[app] openSession — the lock of %1 can't be checked, left alone").arg(name));
        throw Error(unchecked);
    }

    const QPointer<AppStateManager> alive(&m);
    auto checking = m.m_services.store->verifyTakeDurations(session);
    const SessionStore::DurationCheck check = co_await checking;
    if (!alive)
        co_return;
    // The panels and the tray stay live while the movies are checked: a take may have started
    // in the session that was to be replaced. It stays, with its history log.
    if (refuseUnderTakeOrTail(QStringLiteral("openSession"), name, opening)) {
        if (m.m_currentSession)
            m.m_sessionLog.open(SessionStore::sessionFolder(*m.m_currentSession));
        co_return;
    }
    // Movies nothing names stay, and are said; while a take's movie is missing, none goes (it
    // may be that one under another name).
    DocumentHistory::Unnamed unnamed = DocumentHistory::unnamedMovies(session, {});
    const bool holdCollection = !check.missing.isEmpty();
    QStringList kept = unnamed.kept;
    if (holdCollection) {
        kept += unnamed.ours;
    } else {
        m.m_services.store->cleanupReservedFiles(session);
        WorkingItem::removeStale(SessionStore::takesFolder(session)); // a join's, killed
    }
    if (!check.missing.isEmpty() || !check.unreadable.isEmpty() || !check.corrected.isEmpty() || !kept.isEmpty()) {
        for (const QString &movie : std::as_const(kept))
            logApp(QStringLiteral("[app] openSession — kept %1, named by no take").arg(movie));
        m.presentAlert(QStringLiteral("Recording loaded with issues"),
                       SessionStore::integrityReport(check.missing, check.corrected, kept, check.unreadable),
                       AlertStyle::warning);
    }
    if (!check.missing.isEmpty() || !check.corrected.isEmpty()) {
        try {
            m.m_services.store->writeManifest(session);
        } catch (const std::exception &error) {
            qCWarning(log::persistence(), "corrected manifest not written: %s", error.what());
        }
    }
    session.currentSceneIndex = std::max<qsizetype>(0, session.scenes.size() - 1);
    session.isDirty = false;
    m.replaceCurrentSession(session);
    m.m_folderFollower->tellIfInTrash();
    m.m_sessionLog.open(url);
    m.m_sessionLog.append(QStringLiteral("opened — %1 (%2 scenes)").arg(name).arg(session.scenes.size()));
    m.m_unfinishedTakes->recover();
    // What a crash left of Lumacast's own work (the copies of a Duplicate Scene never saved, a
    // movie a join replaced, a take deleted) goes now: nothing can name it again.
    if (!holdCollection)
        m.collectOrphanTakeFiles();
    m.m_services.preferences->setLastOpenedDocument(url);
    restoreLastViewedTake();
    m.setState(AppState::idle);
    if (activate) {
        logApp(QStringLiteral("[app] openSession — opening review window (activating)"));
        m.openWindow(QStringLiteral("review"));
    } else {
        logApp(QStringLiteral("[app] openSession — opening review window WITHOUT activating (avoid stealing "
                              "focus from a dialog)"));
        m.openWindowWithoutActivating(QStringLiteral("review"));
    }
}

void SessionDocument::restoreLastViewedTake()
{
    if (!m.m_currentSession)
        return;
    const std::optional<QUuid> remembered = m.m_services.preferences->lastViewedTake(m.m_currentSession->id);
    if (!remembered) {
        previewFirstCheckedTake();
        return;
    }
    const QList<RecordingScene> &scenes = m.m_currentSession->scenes;
    for (qsizetype index = 0; index < scenes.size(); ++index) {
        for (const Take &take : scenes.at(index).takes) {
            if (take.id != *remembered)
                continue;
            const QString path = m.takeURL(take.filename);
            if (!Take::isUsableFile(path)) {
                previewFirstCheckedTake();
                return;
            }
            Session session = *m.m_currentSession;
            session.currentSceneIndex = index;
            m.setCurrentSession(session);
            m.setPreviewedTakeID(take.id);
            m.setCurrentTakeURL(path);
            return;
        }
    }
    previewFirstCheckedTake();
}

void SessionDocument::previewFirstCheckedTake()
{
    if (!m.m_currentSession)
        return;
    const QList<Take> checked = m.m_currentSession->checkedTakes();
    const QList<RecordingScene> &scenes = m.m_currentSession->scenes;
    if (!checked.isEmpty()) {
        const Take &first = checked.first();
        for (qsizetype index = 0; index < scenes.size(); ++index) {
            const QList<Take> &takes = scenes.at(index).takes;
            if (std::none_of(takes.begin(), takes.end(), [&](const Take &t) { return t.id == first.id; }))
                continue;
            Session session = *m.m_currentSession;
            session.currentSceneIndex = index;
            m.setCurrentSession(session);
            m.setPreviewedTakeID(first.id);
            m.setCurrentTakeURL(m.takeURL(first.filename));
            return;
        }
    }
    m.setPreviewedTakeID(std::nullopt);
    m.setCurrentTakeURL(std::nullopt);
}

FilePanel *SessionDocument::makeOpenPanel()
{
    FilePanel *panel = m.m_services.filePanels->makeOpenPanel();
    panel->setParent(&m);
    return panel;
}

void SessionDocument::prewarmOpenPanel()
{
    if (m.m_cachedOpenPanel)
        return;
    m.m_cachedOpenPanel = makeOpenPanel();
    logApp(QStringLiteral("[app] open panel pre-warmed"));
}

void SessionDocument::rememberViewedTake(const std::optional<QUuid> &takeID)
{
    if (!takeID || !m.m_currentSession || !m.m_currentSession->hasBundle())
        return;
    m.m_services.preferences->setLastViewedTake(takeID, m.m_currentSession->id);
}

bool SessionDocument::openReviewWindow(bool withoutActivating)
{
    const AppStateManager::WindowAction &action = withoutActivating ? m.m_openWindowWithoutActivating : m.m_openWindow;
    if (!action)
        return true;
    action(QStringLiteral("review"));
    return false;
}

// ---- Guarded commands ------------------------------------------------------------------------

bool SessionDocument::refuseUnderTakeOrTail(const QString &command, const QString &name, const QString &before)
{
    const QString subject = name.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(name);
    if (m.m_tailOperation) {
        logApp(QStringLiteral("[app] %1 — refused during a tail operation%2").arg(command, subject));
        const QString title = QStringLiteral("Record Tail in progress");
        const QString message = QStringLiteral("Finish, retry, or discard the tail before %1.").arg(before);
        // A tail being recorded: no alert on the recorded screen (see below).
        if (app_state::isCapturing(m.m_state))
            m.showRecordingNotice(message);
        else if (m.m_tailReportNotice)
            m.m_tailReportNotice(title, message);
        else
            m.presentAlert(title, message, AlertStyle::informational);
        return true;
    }
    if (!app_state::isCapturing(m.m_state))
        return false;
    logApp(QStringLiteral("[app] %1 — refused while recording%2").arg(command, subject));
    // Said on the status panel: a modal alert would stand on the recorded screen and hold the
    // end-take hot key.
    m.showRecordingNotice(QStringLiteral("Finish or discard the current take before %1.").arg(before));
    return true;
}

void SessionDocument::runSaveStep(const QString &before, std::function<void()> action)
{
    // The step and the panel, save and command it leads to are one command: what arrives
    // meanwhile waits for all of it.
    action = [command = m.interactions().share(InteractionGate::Kind::working), action = std::move(action)] {
        action();
    };
    if (!m.m_currentSession) {
        action();
        return;
    }
    if (m.m_currentSession->hasBundle()) {
        if (forceCloseSession(true))
            action();
        return;
    }
    const std::optional<QUuid> askedAbout = m.currentSessionID();
    const SaveDecision decision = confirmSaveBeforeClosing();
    if (!m.isCurrentSession(askedAbout)) {
        logApp(QStringLiteral("[app] save step — the recording asked about is no longer open; answer dropped"));
        return;
    }
    // A take may have started while the question was up (the status panel's keys are not
    // blocked by it).
    if (decision != SaveDecision::cancel && refuseUnderTakeOrTail(QStringLiteral("save step"), {}, before))
        return;
    switch (decision) {
    case SaveDecision::save:
        // The saved session stays current until the action replaces it.
        presentSavePanel(std::move(action));
        break;
    case SaveDecision::dontSave:
        discardCurrentSession();
        if (!m.m_currentSession)
            action();
        break;
    case SaveDecision::cancel:
        break;
    }
}

QCoro::Task<> SessionDocument::guardedNewSession()
{
    const QPointer<AppStateManager> alive(&m);
    if (m.deferUntilAnswered(QStringLiteral("a new recording"), [alive] {
            if (alive)
                alive->guardedNewSession();
        }))
        co_return;
    if (m.m_tailOperation)
        co_return;
    // A take starting counts: the new session's take would run its countdown beside this one's.
    if (app_state::isCapturing(m.m_state)) {
        logApp(QStringLiteral("[app] guardedNewSession — ignored while recording"));
        co_return;
    }
    // The action either runs inside the save step (awaited here) or later, from the save panel,
    // when it starts the session on its own: the coroutine is gone by then.
    enum class Run { notYet, now, later };
    auto run = std::make_shared<Run>(Run::notYet);
    runSaveStep(QStringLiteral("starting a new recording"), [run, alive]() {
        if (*run == Run::notYet) {
            *run = Run::now;
            return;
        }
        if (alive)
            newSessionReportingErrors(alive);
    });
    if (*run != Run::now) {
        *run = Run::later;
        co_return;
    }
    auto creating = newSessionReportingErrors(alive);
    co_await creating;
}

void SessionDocument::guardedOpenSession()
{
    const QPointer<AppStateManager> alive(&m);
    if (m.deferUntilAnswered(QStringLiteral("Open Recording"), [alive] {
            if (alive)
                alive->guardedOpenSession();
        }))
        return;
    if (m.m_tailOperation)
        return;
    if (app_state::isCapturing(m.m_state)) {
        logApp(QStringLiteral("[app] guardedOpenSession — ignored while recording"));
        return;
    }
    runSaveStep(QStringLiteral("opening a recording"), [this, alive] {
        if (alive)
            presentOpenPanel();
    });
}

void SessionDocument::guardedOpen(const QString &url)
{
    const QString name = fileName(url);
    const QString opening = QStringLiteral("opening ") + name;
    const QPointer<AppStateManager> alive(&m);
    if (m.deferUntilAnswered(opening, [alive, url] {
            if (alive)
                alive->guardedOpen(url);
        }))
        return;
    if (refuseUnderTakeOrTail(QStringLiteral("guardedOpen"), name, opening))
        return;
    runSaveStep(opening, [this, url] { openChosenPackage(url); });
}

void SessionDocument::guardedResumeSession(const Session &session)
{
    const QPointer<AppStateManager> alive(&m);
    if (m.deferUntilAnswered(QStringLiteral("resuming a recovered recording"), [alive, session] {
            if (alive)
                alive->guardedResumeSession(session);
        }))
        return;
    if (m.m_tailOperation)
        return;
    if (app_state::isCapturing(m.m_state)) {
        logApp(QStringLiteral("[app] guardedResumeSession — ignored while recording"));
        m.presentAlert(QStringLiteral("Recording in progress"),
                       QStringLiteral("Finish or discard the current take before resuming a recovered recording."),
                       AlertStyle::informational);
        return;
    }
    runSaveStep(QStringLiteral("resuming a recovered recording"), [this, alive, session] {
        if (alive)
            resumeSession(session);
    });
}

void SessionDocument::openChosenPackage(const QString &url)
{
    const QPointer<AppStateManager> alive(&m);
    postToMainThread(alive, [alive, url, command = m.interactions().share(InteractionGate::Kind::working)] {
        openAndReport(alive, url, command);
    });
}

void SessionDocument::resumeSession(const Session &session)
{
    logApp(QStringLiteral("[app] resumeSession — %1 scenes").arg(session.scenes.size()));
    const QString folder = SessionStore::sessionFolder(session);
    const ScratchClaim claim(folder);
    if (!claim.isHeld() && ScratchClaim::isClaimedElsewhere(folder)) {
        logApp(QStringLiteral("[app] resumeSession — open in another Lumacast, left alone"));
        forgetRecovered(session);
        m.presentAlert(QStringLiteral("Couldn’t resume recording"), openElsewhere(QFileInfo(folder).fileName()),
                       AlertStyle::warning);
        return;
    }
    if (const QString unchecked = uncheckedLock(claim); !unchecked.isEmpty()) {
        logApp(QStringLiteral("[app] resumeSession — its lock can't be checked, left alone"));
        m.presentAlert(QStringLiteral("Couldn’t resume recording"), unchecked, AlertStyle::warning);
        return;
    }
    m.setTailWarningAcknowledged(false);
    m.m_sessionLog.close();
    m.m_services.store->cleanupReservedFiles(session);
    WorkingItem::removeStale(SessionStore::takesFolder(session)); // a join's, killed
    m.replaceCurrentSession(session);
    forgetRecovered(session);
    m.m_sessionLog.open(SessionStore::sessionFolder(session));
    m.m_sessionLog.append(QStringLiteral("resumed recovered session (%1 scenes)").arg(session.scenes.size()));
    m.m_unfinishedTakes->recover();
    m.collectOrphanTakeFiles();
    m.setPreviewedTake(std::nullopt, false);
    m.setState(AppState::idle);
    m.openWindow(QStringLiteral("review"));
}

// ---- Panels and the save dialog ----------------------------------------------------------------

void SessionDocument::presentSavePanel(std::function<void()> continuation, std::function<void()> otherwise)
{
    const auto declined = [otherwise] {
        if (otherwise)
            otherwise();
    };
    if (m.m_tailOperation || app_state::isCapturing(m.m_state))
        return declined();
    m.m_services.application->becomeRegularApplication();
    m.m_services.application->activateIgnoringOtherApps();
    FilePanel *panel = m.m_services.filePanels->makeSavePanel(kSavePanelName);
    panel->setParent(&m);
    const QPointer<AppStateManager> alive(&m);
    const QPointer<FilePanel> shown(panel);
    const std::optional<QUuid> askedFor = m.currentSessionID();
    auto command = m.interactions().share(InteractionGate::Kind::working);
    m.m_services.filePanelGuard->present(panel, [this, alive, shown, askedFor, command, continuation,
                                                 declined](bool accepted, const QStringList &selection) {
        if (shown)
            shown->deleteLater();
        if (!alive)
            return;
        if (!accepted || selection.isEmpty())
            return declined();
        const QString url = selection.first();
        postToMainThread(alive, [this, url, askedFor, command, continuation, declined] {
            const QString name = fileName(url);
            // Saved under the name typed only if it is still the recording the panel was for:
            // saved as another one's, two packages would carry one recording's identity.
            if (!m.isCurrentSession(askedFor)) {
                logApp(QStringLiteral("[app] save as — the recording the panel was for is no longer open (%1)")
                           .arg(name));
                return declined();
            }
            // The status panel stays live under the panel: a take or a tail may be writing into
            // the folder that the save would copy and then remove.
            if (refuseUnderTakeOrTail(QStringLiteral("save as"), name, QStringLiteral("saving ") + name))
                return declined();
            saveAndContinue(url, command, continuation, declined);
        });
    });
}

QCoro::Task<> SessionDocument::saveAndContinue(QString url, [[maybe_unused]] InteractionGate::SharedHold command,
                                               std::function<void()> continuation, std::function<void()> otherwise)
{
    const QPointer<AppStateManager> alive(&m);
    try {
        auto saving = m.saveSession(url);
        co_await saving;
    } catch (const std::exception &error) {
        const auto *known = dynamic_cast<const Error *>(&error);
        if (!alive)
            co_return;
        m.presentAlert(kCouldNotSave, known ? known->localizedDescription() : QString::fromUtf8(error.what()),
                       AlertStyle::warning);
        otherwise();
        co_return;
    }
    // A take or tail that began while a copy held the save back: it was not saved.
    const QString name = fileName(url);
    if (!alive)
        co_return;
    if (refuseUnderTakeOrTail(QStringLiteral("save as"), name, QStringLiteral("saving ") + name)) {
        otherwise();
        co_return;
    }
    if (continuation)
        continuation();
}

void SessionDocument::presentOpenPanel()
{
    m.m_services.application->becomeRegularApplication();
    m.m_services.application->activateIgnoringOtherApps();
    if (!m.m_cachedOpenPanel)
        m.m_cachedOpenPanel = makeOpenPanel();
    FilePanelGuard &guard = *m.m_services.filePanelGuard;
    if (FilePanel *up = guard.current()) {
        up->bringToFront();
        return;
    }
    const QPointer<AppStateManager> alive(&m);
    const std::optional<QUuid> askedFor = m.currentSessionID();
    auto command = m.interactions().share(InteractionGate::Kind::working);
    guard.present(m.m_cachedOpenPanel, [this, alive, askedFor, command](bool accepted, const QStringList &selection) {
        if (!alive || !accepted || selection.isEmpty())
            return;
        // It would replace, with no save step, a recording opened since the panel came up.
        if (!m.isCurrentSession(askedFor)) {
            logApp(QStringLiteral("[app] open panel — another recording was opened meanwhile; answer dropped"));
            return;
        }
        openChosenPackage(selection.first());
    });
}

SaveDecision SessionDocument::confirmSaveBeforeClosing()
{
    const int chosen = m.runAlert(AlertRequest{
        QStringLiteral("Save recording before closing?"),
        QStringLiteral("Your recording has unsaved changes. Save before continuing?"),
        AlertStyle::warning,
        {QStringLiteral("Save…"), QStringLiteral("Don’t Save"), QStringLiteral("Cancel")}});
    if (chosen == 0)
        return SaveDecision::save;
    if (chosen == 1)
        return SaveDecision::dontSave;
    return SaveDecision::cancel;
}

// ---- Closing without asking ------------------------------------------------------------------

void SessionDocument::discardCurrentSession()
{
    discardAndClose(true);
}

bool SessionDocument::discardAndClose(bool dismissReviewWindow)
{
    // No manifest may be written into a folder about to be removed.
    if (m.m_saveTask) {
        m.m_saveTask->cancel();
        m.m_saveTask.reset();
    }
    m.m_autosaveFailed = false;
    // "Don’t Save" is asked of unsaved recordings only; a saved package is never removed here.
    if (m.m_currentSession && !m.m_currentSession->hasBundle()) {
        m.m_folderFollower->letGo();
        try {
            m.m_currentSession->discardStorage();
        } catch (const std::exception &error) {
            qCWarning(log::persistence(), "discarding the session's storage failed: %s", error.what());
        }
    }
    return forceCloseSession(dismissReviewWindow);
}

bool SessionDocument::flushPendingSave()
{
    const std::optional<QString> failure = writePendingSave();
    if (failure)
        m.presentAlert(kCouldNotSave, *failure, AlertStyle::warning);
    return !failure;
}

std::optional<QString> SessionDocument::writePendingSave()
{
    if (m.m_saveTask) {
        m.m_saveTask->cancel();
        m.m_saveTask.reset();
    }
    if (!m.m_currentSession)
        return std::nullopt;
    if (!m.m_folderFollower->follow())
        return m.m_folderFollower->goneText();
    try {
        m.m_services.store->writeManifest(*m.m_currentSession, m.heldTakeFilenames());
    } catch (const Error &error) {
        qCCritical(log::persistence(), "final save failed: %s", error.what());
        return error.localizedDescription();
    }
    m.m_autosaveFailed = false;
    m.m_currentSession->isDirty = false;
    emit m.currentSessionChanged();
    return std::nullopt;
}

bool SessionDocument::forceCloseSession(bool dismissReviewWindow)
{
    if (m.m_tailOperation) {
        logApp(QStringLiteral("[tail] forceCloseSession reached with a live tail — refused (Close/Quit are deferred)"));
        return false;
    }
    // Written before anything is let go: a save that fails keeps the session open, since its
    // changes would otherwise be lost with it. A recording whose folder is gone has nothing left
    // to keep, and the user was told so.
    if (m.hasPendingSave() && !m.m_folderFollower->isLost() && !flushPendingSave())
        return false;
    m.setTailWarningAcknowledged(false);
    m.m_sessionLog.close();
    m.m_suppressReviewWindowCloseBehavior = true;
    if (m.isRecording()) {
        const std::shared_ptr<RecorderService> recorder = m.m_services.recorder;
        postToMainThread([recorder] { recorder->stopRecording(); });
    }
    // No take of this session is on its way any more, whichever way it was going.
    m.m_inFlightTakeFilename.reset();
    m.setState(AppState::idle);
    m.setCurrentTakeURL(std::nullopt);
    m.setPendingTakeID(std::nullopt);
    if (dismissReviewWindow)
        m.dismissWindow(QStringLiteral("review"));
    m.dismissWindow(QStringLiteral("export"));
    m.clearTakeOverlays();
    m.m_documentHistory->reset();
    m.collectOrphanTakeFiles();
    m.replaceCurrentSession(std::nullopt);
    m.m_suppressReviewWindowCloseBehavior = false;
    return true;
}

void SessionDocument::forgetRecovered(const Session &session)
{
    QList<Session> remaining = m.m_recoverableSessions;
    remaining.removeIf([&](const Session &s) { return s.id == session.id; });
    m.setRecoverableSessions(remaining);
}

bool SessionDocument::discardRecovered(const Session &session)
{
    // Another Lumacast may have resumed it since the launch listed it (or this one has it open,
    // or its lock cannot be read). Held while it goes, so that no other program opens it meanwhile.
    const QString folder = SessionStore::sessionFolder(session);
    const bool claimed = ScratchClaim::isClaimed(folder);
    const ScratchClaim claim(folder);
    if (claimed || (!claim.isHeld() && ScratchClaim::isClaimedElsewhere(folder))) {
        logApp(QStringLiteral("[app] discard — %1 is open, left alone").arg(QFileInfo(folder).fileName()));
        return false;
    }
    try {
        session.discardStorage();
    } catch (const std::exception &error) {
        qCWarning(log::persistence(), "discarding a recovered session failed: %s", error.what());
        return false;
    }
    return true;
}

void SessionDocument::discardRecoveredSession(const Session &session)
{
    discardRecovered(session);
    forgetRecovered(session);
}

void SessionDocument::discardRecoveredSessions()
{
    for (const Session &session : std::as_const(m.m_recoverableSessions))
        discardRecovered(session); // failures logged
    m.setRecoverableSessions({});
}

void SessionDocument::reportWindowPickerFailure(const QString &description)
{
    m.presentAlert(QStringLiteral("Couldn't open the window picker"), description, AlertStyle::warning);
}

} // namespace lumacast
