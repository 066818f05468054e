#include "control/SessionClosing.h"

#include "control/AppStateManager.h"
#include "control/BackgroundCopy.h"
#include "control/FolderFollower.h"
#include "control/SessionDocument.h"
#include "control/TakeRecording.h"
#include "model/LogCategories.h"
#include "store/FilePanelGuard.h"
#include "store/InteractionGate.h"
#include "threads/ThreadBridge.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>

namespace lumacast {

namespace {
const QString kSaveAs = QStringLiteral("Save As…");
const QString kQuitWithoutSaving = QStringLiteral("Quit Without Saving");
} // namespace

SessionClosing::SessionClosing(AppStateManager &manager)
    : m(manager)
{
}

// ---- Close Recording ---------------------------------------------------------------------------

QCoro::Task<> SessionClosing::performCloseRecording()
{
    const QPointer<AppStateManager> alive(&m);
    if (m.deferUntilAnswered(QStringLiteral("closing the recording"), [alive] {
            if (alive)
                alive->performCloseRecording();
        }))
        co_return;
    // Whatever arrives from here to the end waits for this close.
    auto command = m.interactions().share(InteractionGate::Kind::working);
    if (m.m_state == AppState::starting) {
        // A take about to start belongs to the recording being closed: it does not start.
        auto cancelling = m.m_takeRecording->cancelStartAndWait();
        co_await cancelling;
        if (!alive)
            co_return;
    }
    if (!m.m_currentSession || m.m_currentSession->hasBundle()) {
        if (m.isRecording()) {
            auto finishing = finishActiveRecordingForClose();
            co_await finishing;
            if (!alive)
                co_return;
        }
        m.forceCloseSession(true);
        co_return;
    }
    // A running take goes on recording while the question is up: what runs is looked at once
    // the answer is in.
    const std::optional<QUuid> askedAbout = m.currentSessionID();
    const SaveDecision decision = m.confirmSaveBeforeClosing();
    if (!m.isCurrentSession(askedAbout)) {
        m.logApp(QStringLiteral("[app] close — the recording asked about is no longer open; answer dropped"));
        co_return;
    }
    if (decision != SaveDecision::cancel && m.deferWhileTailPending(PendingExternalAction::close))
        co_return;
    const bool takeRuns = m.isRecording();
    switch (decision) {
    case SaveDecision::save: {
        if (takeRuns) {
            auto finishing = finishActiveRecordingForClose();
            co_await finishing;
            if (!alive)
                co_return;
        }
        m.presentSavePanel([alive, command] {
            if (alive)
                alive->forceCloseSession(true);
        });
        break;
    }
    case SaveDecision::dontSave: {
        if (takeRuns) {
            auto abandoning = abandonActiveRecording();
            co_await abandoning;
            if (!alive)
                co_return;
        }
        m.discardCurrentSession();
        break;
    }
    case SaveDecision::cancel:
        break;
    }
}

QCoro::Task<> SessionClosing::finishActiveRecordingForClose()
{
    if (m.m_tailOperation) {
        m.logApp(QStringLiteral("[tail] finishActiveRecordingForClose reached with a live tail — refused (Close/Quit "
                                "are deferred)"));
        co_return;
    }
    if (m.m_isEndingTake) {
        // The stop under way (the end-take key's, or another close's) owns the recorder's one
        // result: a second stop would get nothing and the take would be lost. It files the
        // take; the close goes on from there.
        m.logApp(QStringLiteral("[app] a take is ending — waiting for it before closing"));
        auto ending = m.m_takeRecording->awaitEndUnderWay();
        co_await ending;
        co_return;
    }
    if (!m.isRecording())
        co_return;
    const QPointer<AppStateManager> alive(&m);
    m.m_takeRecording->beginEnding();
    auto stopping = m.m_services.recorder->stopRecording();
    const std::optional<RecorderService::Recording> recording = co_await stopping;
    if (!alive)
        co_return;
    // The take is over whatever follows (a save that is cancelled or fails included): nothing
    // of it may stay on screen over an idle session.
    m.clearTakeOverlays();
    m.m_inFlightTakeFilename.reset();
    if (!recording) {
        m.setState(AppState::idle);
        m.m_takeRecording->endSettled();
        co_return;
    }
    const bool folderHere = m.m_folderFollower->follow();
    if (recording->path.isEmpty() || !folderHere) {
        // Its folder went while it was recorded: kept apart, and offered at the next launch too.
        auto keeping = m.m_takeRecording->keepApart(*recording, false);
        co_await keeping;
        if (!alive)
            co_return;
    } else if (Take::isUsableFile(recording->path)) {
        const Take take = TakeRecording::newTake(recording->path, recording->duration, m.m_services.clock->now());
        if (m.m_currentSession) {
            Session session = *m.m_currentSession;
            RecordingScene &scene = TakeRecording::sceneForNewTake(session);
            scene.takes.append(take);
            scene.selectedTakeID = take.id;
            session.isDirty = true;
            m.setCurrentSession(session);
            m.autoSave(); // the new take is named in the manifest before anything else happens
        }
    } else {
        QFile::remove(recording->path); // failure ignored
    }
    m.leaveReview();
    // Last: whoever waits (a quit) goes on with the take filed.
    m.m_takeRecording->endSettled();
}

QCoro::Task<> SessionClosing::abandonActiveRecording()
{
    const QPointer<AppStateManager> alive(&m);
    if (m.m_tailOperation) {
        auto settling = m.handleTailStop();
        co_await settling;
        co_return;
    }
    if (m.m_isEndingTake) {
        // "Don’t Save" drops the whole session, that take with it, once its end has settled.
        auto ending = m.m_takeRecording->awaitEndUnderWay();
        co_await ending;
        co_return;
    }
    if (!m.isRecording())
        co_return;
    m.m_takeRecording->beginEnding();
    auto stopping = m.m_services.recorder->stopRecording();
    const std::optional<RecorderService::Recording> recording = co_await stopping;
    if (!alive)
        co_return;
    if (recording)
        QFile::remove(recording->path); // failure ignored
    m.clearTakeOverlays();
    m.m_inFlightTakeFilename.reset();
    m.setCurrentTakeURL(std::nullopt);
    m.setPendingTakeID(std::nullopt);
    m.setState(AppState::idle);
    m.m_takeRecording->endSettled();
}

void SessionClosing::closeRecordingSoon()
{
    const QPointer<AppStateManager> alive(&m);
    postToMainThread(alive, [alive] { alive->performCloseRecording(); });
}

// ---- The review window's close -------------------------------------------------------------------

bool SessionClosing::reviewWindowShouldClose()
{
    if (m.deferWhileTailPending(PendingExternalAction::close))
        return false;
    if (m.m_suppressReviewWindowCloseBehavior)
        return true;
    if (!m.m_currentSession)
        return true;
    // Something else is being asked or done: the close takes its turn after it, as Close
    // Recording, and the window stays until then.
    if (!m.interactions().isOpen()) {
        closeRecordingSoon();
        return false;
    }
    // A take under way is never dropped with the window: Close Recording files it (or asks),
    // and dismisses the window itself once the session is closed.
    if (app_state::isCapturing(m.m_state)) {
        closeRecordingSoon();
        return false;
    }
    if (m.m_currentSession->hasBundle())
        return m.forceCloseSession(false);
    const InteractionGate::Hold command = m.interactions().hold(InteractionGate::Kind::working);
    const std::optional<QUuid> askedAbout = m.currentSessionID();
    const SaveDecision decision = m.confirmSaveBeforeClosing();
    if (!m.isCurrentSession(askedAbout))
        return false;
    // A take started meanwhile (the status panel is not blocked by the question) keeps the window.
    if (decision != SaveDecision::cancel
        && m.m_sessionDocument->refuseUnderTakeOrTail(QStringLiteral("review window close"), {},
                                                      QStringLiteral("closing the recording")))
        return false;
    switch (decision) {
    case SaveDecision::save:
        // The window stays while the recording is copied into its package; it closes with the
        // recording once the save is done.
        saveBeforeReviewClose();
        return false;
    case SaveDecision::dontSave:
        return m.m_sessionDocument->discardAndClose(false);
    case SaveDecision::cancel:
        break;
    }
    return false;
}

void SessionClosing::saveBeforeReviewClose()
{
    // The window's close decision waits for the panel's answer in a loop of its own: what
    // arrives meanwhile waits for it, and then for the save.
    auto command = m.interactions().share(InteractionGate::Kind::working);
    const InteractionGate::Hold asking = m.interactions().hold(InteractionGate::Kind::asking);
    const std::optional<QUuid> askedFor = m.currentSessionID();
    std::unique_ptr<FilePanel> panel(m.m_services.filePanels->makeSavePanel(QStringLiteral("Recording.lumacast")));
    bool answered = false;
    bool accepted = false;
    QStringList selection;
    QEventLoop loop;
    QObject::connect(panel.get(), &FilePanel::finished, &loop, [&](bool ok, const QStringList &chosen) {
        answered = true;
        accepted = ok;
        selection = chosen;
        loop.quit();
    });
    panel->showPanel();
    if (!answered)
        loop.exec();
    // A take may have started while the panel was up; the save would copy the folder it writes
    // into.
    if (!accepted || selection.isEmpty() || !m.isCurrentSession(askedFor)
        || m.m_sessionDocument->refuseUnderTakeOrTail(QStringLiteral("review window close"), {},
                                                      QStringLiteral("closing the recording")))
        return;
    saveThenClose(selection.first(), std::move(command));
}

QCoro::Task<> SessionClosing::saveThenClose(QString url, [[maybe_unused]] InteractionGate::SharedHold command)
{
    const QPointer<AppStateManager> alive(&m);
    const std::optional<QUuid> saving = m.currentSessionID();
    try {
        auto saved = m.saveSession(url);
        co_await saved;
    } catch (const Error &error) {
        if (alive)
            m.presentAlert(QStringLiteral("Couldn’t save recording"), error.localizedDescription(), AlertStyle::warning);
        co_return;
    }
    // A take or tail that began while a copy held the save back is never closed under it.
    if (alive && m.isCurrentSession(saving)
        && !m.m_sessionDocument->refuseUnderTakeOrTail(QStringLiteral("review window close"), {},
                                                      QStringLiteral("closing the recording")))
        m.forceCloseSession(true);
}

bool SessionClosing::hasPendingTakeOnReviewClose() const
{
    return !m.m_suppressReviewWindowCloseBehavior && m.m_pendingTakeID.has_value();
}

// ---- Deferred close and quit, termination --------------------------------------------------------

void SessionClosing::replyToTermination(bool terminate)
{
    m.terminationReply()(terminate);
}

void SessionClosing::runPendingExternalAction()
{
    const std::optional<PendingExternalAction> action = m.m_pendingExternalAction;
    if (!action)
        return;
    // The tail may end while a question is up (a refused command's alert, say): the close or quit
    // it deferred waits for the answer too, and then goes before what arrived after it.
    const QPointer<AppStateManager> alive(&m);
    if (m.deferUntilAnswered(QStringLiteral("the deferred ") + caseName(*action), [alive] {
            if (alive)
                alive->m_sessionClosing->carryOutPendingExternalAction(true);
        }))
        return;
    carryOutPendingExternalAction(false);
}

void SessionClosing::carryOutPendingExternalAction(bool itsTurn)
{
    const std::optional<PendingExternalAction> action = m.m_pendingExternalAction;
    if (!action)
        return;
    m.setPendingExternalAction(std::nullopt);
    m.logApp(QStringLiteral("[tail] resuming deferred %1").arg(caseName(*action)));
    if (*action == PendingExternalAction::quit) {
        answerQuit(saveBeforeQuit());
        return;
    }
    if (m.deferWhileTailPending(PendingExternalAction::close))
        return;
    // On its own turn of the gate the close starts at once, and what waits behind it waits for
    // it; on the tail's stack it waits for the next turn.
    if (itsTurn)
        performCloseRecording();
    else
        closeRecordingSoon();
}

QuitReply SessionClosing::requestQuit()
{
    // Cut off, a Save As would leave the recording where it was and a scene's copies unfiled.
    if (m.isCopying()) {
        m.logApp(QStringLiteral("[app] quit requested while the recording's files are copied — quitting after the copy"));
        const QPointer<AppStateManager> alive(&m);
        postToMainThread(alive, [this] { quitAfterCopy(); });
        return QuitReply::terminateLater;
    }
    // Asked first: everything below looks at the state as it is once the answer is in.
    if (m.m_isExporting && !confirmQuitDuringExport())
        return QuitReply::cancel;
    if (m.deferWhileTailPending(PendingExternalAction::quit)) {
        m.logApp(QStringLiteral("[app] quit requested during a tail operation — deferred"));
        return QuitReply::terminateLater;
    }
    if (m.isRecording()) {
        m.logApp(QStringLiteral("[app] quit requested while recording — finishing take first"));
        const QPointer<AppStateManager> alive(&m);
        postToMainThread(alive, [this] { finishTakeThenQuit(); });
        return QuitReply::terminateLater;
    }
    // Saved before the answer, so that a failure can still keep the application open.
    return saveBeforeQuit();
}

QuitReply SessionClosing::saveBeforeQuit()
{
    if (!m.hasPendingSave())
        return QuitReply::terminateNow;
    const std::optional<QString> failure = m.m_sessionDocument->writePendingSave();
    if (!failure)
        return QuitReply::terminateNow;
    // A recording whose folder is gone has nothing to copy: no Save As for it.
    QStringList buttons{kQuitWithoutSaving, QStringLiteral("Cancel")};
    if (!m.m_folderFollower->isLost())
        buttons.prepend(kSaveAs);
    m.logApp(QStringLiteral("[app] quit — the recording could not be saved, asking"));
    const std::optional<QUuid> askedAbout = m.currentSessionID();
    const int chosen = m.runAlert(AlertRequest{QStringLiteral("Couldn’t save recording"),
                                               *failure + QStringLiteral("\n\n") + m.m_folderFollower->whatQuitLoses(),
                                               AlertStyle::warning, buttons, int(buttons.size() - 1)});
    const QString answer = buttons.value(chosen);
    if (answer != kSaveAs && answer != kQuitWithoutSaving)
        return QuitReply::cancel;
    // The answer is about the recording as it was when asked: a take or tail started meanwhile
    // (the status panel is not blocked by the alert) or another recording keeps the application.
    if (!m.isCurrentSession(askedAbout) || m.m_tailOperation || app_state::isCapturing(m.m_state)) {
        m.logApp(QStringLiteral("[app] quit — the recording changed while the user was asked; answer dropped"));
        return QuitReply::cancel;
    }
    if (answer == kSaveAs) {
        const QPointer<AppStateManager> alive(&m);
        // Quits once saved; a panel cancelled or a save refused or failed keeps the application.
        m.m_sessionDocument->presentSavePanel(
            [alive] {
                if (alive)
                    alive->m_sessionClosing->answerQuit(alive->m_sessionClosing->saveBeforeQuit());
            },
            [alive] {
                if (alive)
                    alive->m_sessionClosing->replyToTermination(false);
            });
        return QuitReply::terminateLater;
    }
    m.logApp(QStringLiteral("[app] quit without saving — the unsaved changes are dropped"));
    if (m.m_saveTask) {
        m.m_saveTask->cancel();
        m.m_saveTask.reset();
    }
    m.m_autosaveFailed = false;
    return QuitReply::terminateNow;
}

void SessionClosing::answerQuit(QuitReply reply)
{
    switch (reply) {
    case QuitReply::terminateNow:
        replyToTermination(true);
        break;
    case QuitReply::cancel:
        replyToTermination(false);
        break;
    case QuitReply::terminateLater:
        break; // the road that took it answers
    }
}

bool SessionClosing::confirmQuitDuringExport()
{
    m.logApp(QStringLiteral("[app] quit requested during an export — asking"));
    const int chosen = m.runAlert(AlertRequest{
        QStringLiteral("Quit while exporting?"),
        QStringLiteral("The export has not finished. Quitting now stops it, and its file is not completed."),
        AlertStyle::warning,
        {QStringLiteral("Quit"), QStringLiteral("Cancel")}});
    return chosen == 0;
}

QCoro::Task<> SessionClosing::finishTakeThenQuit()
{
    const QPointer<AppStateManager> alive(&m);
    auto finishing = finishActiveRecordingForClose();
    co_await finishing;
    if (!alive)
        co_return;
    const QuitReply reply = saveBeforeQuit();
    if (reply == QuitReply::terminateNow)
        m.logApp(QStringLiteral("[app] take finished — allowing quit"));
    answerQuit(reply);
}

QCoro::Task<> SessionClosing::quitAfterCopy()
{
    const QPointer<AppStateManager> alive(&m);
    auto copying = m.m_backgroundCopy->idle();
    co_await copying;
    if (!alive)
        co_return;
    answerQuit(requestQuit());
}

void SessionClosing::applicationWillTerminate()
{
    // Nobody is left to tell about a failure here: the autosave logs it.
    if (m.hasPendingSave())
        m.autoSave();
}

} // namespace lumacast
