#include "control/ReviewDecisions.h"

#include "control/AppStateManager.h"
#include "threads/ThreadBridge.h"

#include <QFileInfo>
#include <QPointer>

namespace lumacast {

ReviewDecisions::ReviewDecisions(AppStateManager &manager) : m(manager) {}

QString ReviewDecisions::reviewedFileName() const
{
    return m.m_currentTakeURL ? QFileInfo(*m.m_currentTakeURL).fileName() : QStringLiteral("?");
}

bool ReviewDecisions::takeUnderWay() const
{
    return m.m_state == AppState::starting || m.isRecording();
}

void ReviewDecisions::startRecordingSoon()
{
    postToMainThread(QPointer<AppStateManager>(&m), [manager = &m] { manager->startRecording(); });
}

// ---- Approving and leaving review ------------------------------------------------------------

bool ReviewDecisions::checkReviewedTake() const
{
    return m.m_state == AppState::reviewing && m.m_currentTakeURL && Take::isUsableFile(*m.m_currentTakeURL);
}

void ReviewDecisions::markApproved()
{
    if (!m.m_pendingTakeID || !m.m_currentSession)
        return;
    Session session = *m.m_currentSession;
    bool found = false;
    for (RecordingScene &scene : session.scenes) {
        for (const Take &take : std::as_const(scene.takes)) {
            if (take.id == *m.m_pendingTakeID) {
                scene.selectedTakeID = take.id;
                found = true;
                break;
            }
        }
        if (found)
            break;
    }
    session.isDirty = true;
    m.setCurrentSession(session);
    m.scheduleSave();
}

void ReviewDecisions::leaveReview()
{
    m.setCurrentTakeURL(std::nullopt);
    m.setPendingTakeID(std::nullopt);
    m.setState(AppState::idle);
}

void ReviewDecisions::approve()
{
    if (m.m_tailOperation || !checkReviewedTake())
        return;
    m.m_sessionLog.append(QStringLiteral("approve — ") + reviewedFileName());
    markApproved();
    m.setPendingTakeID(std::nullopt);
    m.setState(AppState::idle);
}

void ReviewDecisions::autoApprove()
{
    if (m.m_tailOperation || m.m_state != AppState::reviewing || !m.m_pendingTakeID)
        return;
    m.m_sessionLog.append(QStringLiteral("auto-approve — ") + reviewedFileName());
    markApproved();
    leaveReview();
}

void ReviewDecisions::approveAndNewTake()
{
    // The end-take key reaches here during a tail join too; the take under the tail stays.
    if (m.m_tailOperation || !checkReviewedTake())
        return;
    m.m_sessionLog.append(QStringLiteral("approve + new take — ") + reviewedFileName());
    markApproved();
    leaveReview();
    startRecordingSoon();
}

// ---- Retake and the next scene -----------------------------------------------------------------

void ReviewDecisions::retake()
{
    if (m.m_tailOperation)
        return;
    m.m_sessionLog.append(QStringLiteral("retake — deleting ") + reviewedFileName());
    qsizetype sceneIndex = -1;
    if (m.m_pendingTakeID && m.m_currentSession) {
        const QList<RecordingScene> &scenes = m.m_currentSession->scenes;
        for (qsizetype i = 0; i < scenes.size() && sceneIndex < 0; ++i) {
            for (const Take &take : scenes.at(i).takes) {
                if (take.id == *m.m_pendingTakeID) {
                    sceneIndex = i;
                    break;
                }
            }
        }
    }
    if (sceneIndex < 0) {
        m.collectOrphanTakeFiles();
        leaveReview();
        return;
    }
    // The movie stays on disk while the undo step refers to it; the clean-up removes it later.
    const QSet<QString> released = m.checkpoint(QStringLiteral("Retake"));
    Session session = *m.m_currentSession;
    session.scenes[sceneIndex].removeTake(*m.m_pendingTakeID);
    session.isDirty = true;
    m.setCurrentSession(session);
    m.scheduleSave();
    if (!released.isEmpty())
        m.collectOrphanTakeFiles();
    m.collectOrphanTakeFiles();
    leaveReview();
}

void ReviewDecisions::approveAndNextScene()
{
    if (m.m_tailOperation || !checkReviewedTake())
        return;
    m.m_sessionLog.append(QStringLiteral("approve + next scene — ") + reviewedFileName());
    markApproved();
    leaveReview();
    advanceToScene();
    startRecordingSoon();
}

void ReviewDecisions::advanceToScene()
{
    // A new scene while a take starts or runs would file that take into the wrong scene.
    if (m.m_tailOperation || takeUnderWay())
        return;
    const qsizetype current = m.m_currentSession ? m.m_currentSession->currentSceneIndex : 0;
    m.m_sessionLog.append(QStringLiteral("advance to scene %1").arg(current + 2));
    if (!m.m_currentSession)
        return;
    const QSet<QString> released = m.checkpoint(QStringLiteral("Next Scene"));
    Session session = *m.m_currentSession;
    RecordingScene scene;
    scene.id = QUuid::createUuid();
    session.scenes.append(scene);
    session.currentSceneIndex = session.scenes.size() - 1;
    session.isDirty = true;
    m.setCurrentSession(session);
    m.scheduleSave();
    if (!released.isEmpty())
        m.collectOrphanTakeFiles();
}

QCoro::Task<> ReviewDecisions::endTakeAndNextScene()
{
    if (m.m_tailOperation)
        co_return;
    const QPointer<AppStateManager> alive(&m);
    auto ending = m.endTake();
    co_await ending;
    if (!alive || m.m_tailOperation)
        co_return;
    if (m.m_currentTakeURL && Take::isUsableFile(*m.m_currentTakeURL))
        approveAndNextScene();
}

QCoro::Task<> ReviewDecisions::newSession()
{
    m.setTailWarningAcknowledged(false);
    if (takeUnderWay())
        co_return;
    m.logApp(QStringLiteral("[app] newSession"));
    m.m_sessionLog.close();
    const QString folder = Session::makeScratchFolder(); // throws; nothing changed yet
    m.replaceCurrentSession(Session(folder)); // claims the folder
    // The reviewed take went with the old session: a start that is cancelled or fails comes
    // back to idle, not to a review of nothing.
    if (m.m_state == AppState::reviewing)
        m.setState(AppState::idle);
    m.m_sessionLog.open(folder);
    m.m_sessionLog.append(QStringLiteral("new session created"));
    m.scheduleSave();
    auto starting = m.startRecording();
    co_await starting;
}

// ---- Close and quit during a tail, the tray menu ---------------------------------------------

bool ReviewDecisions::deferWhileTailPending(PendingExternalAction action)
{
    if (!m.m_tailOperation)
        return false;
    const bool quit = action == PendingExternalAction::quit || m.m_pendingExternalAction == PendingExternalAction::quit;
    const PendingExternalAction pending = quit ? PendingExternalAction::quit : PendingExternalAction::close;
    m.setPendingExternalAction(pending);
    m.logApp(QStringLiteral("[tail] %1 deferred until the tail operation resolves (pending=%2)")
                 .arg(caseName(action), caseName(pending)));
    return true;
}

void ReviewDecisions::menuDidOpen()
{
    m.logApp(QStringLiteral("[menu] menuDidOpen — state=") + app_state::caseName(m.m_state));
    if (m.m_state == AppState::idle || m.m_state == AppState::starting) {
        // The devices' own refreshes, so that a choice whose device went is repaired too.
        m.refreshDisplays();
        m.refreshCameras();
        m.refreshMicrophones();
    }
    if (m.m_state == AppState::recording) {
        m.logApp(QStringLiteral("[menu] auto-pausing recording while menu is open"));
        m.pauseRecording();
        m.m_autoPausedByMenu = true;
    }
}

void ReviewDecisions::menuDidClose()
{
    m.logApp(QStringLiteral("[menu] menuDidClose — state=%1, autoPausedByMenu=%2")
                 .arg(app_state::caseName(m.m_state), m.m_autoPausedByMenu ? "true" : "false"));
    // A take already ending is not resumed under its stop.
    if (m.m_autoPausedByMenu && m.m_state == AppState::paused && !m.m_isEndingTake) {
        m.logApp(QStringLiteral("[menu] auto-resuming recording after menu closed"));
        m.resumeRecording();
    }
    m.m_autoPausedByMenu = false;
}

} // namespace lumacast
