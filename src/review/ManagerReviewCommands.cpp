#include "review/ManagerReviewCommands.h"

#include "control/AppStateManager.h"
#include "model/LogCategories.h"
#include "store/AppLog.h"


namespace lumacast::review {

ManagerReviewCommands::ManagerReviewCommands(AppStateManager &manager)
    : m_manager(manager)
{
}

void ManagerReviewCommands::notConnected(const char *operation) const
{
    qCWarning(log::review(), "%s: not available on the state manager yet — nothing done", operation);
}

void ManagerReviewCommands::approve() { m_manager.approve(); }
void ManagerReviewCommands::retake() { m_manager.retake(); }
void ManagerReviewCommands::autoApprove() { m_manager.autoApprove(); }
void ManagerReviewCommands::advanceToScene() { m_manager.advanceToScene(); }

QCoro::Task<> ManagerReviewCommands::startRecording()
{
    co_await m_manager.startRecording();
}

bool ManagerReviewCommands::canRecordTail(const QUuid &sceneID, const QUuid &takeID) const
{
    if (m_manager.tailOperation() || m_manager.isExporting())
        return false;
    if (m_manager.state() != AppState::idle && m_manager.state() != AppState::reviewing)
        return false;
    const std::optional<Session> &session = m_manager.session();
    if (!session)
        return false;
    for (const RecordingScene &scene : session->scenes) {
        if (scene.id != sceneID)
            continue;
        for (const Take &take : scene.takes)
            if (take.id == takeID)
                return Take::isUsableFile(m_manager.takeURL(take.filename)) && take.duration > take.trimEnd;
    }
    return false;
}

QCoro::Task<> ManagerReviewCommands::recordTail(QUuid, QUuid, std::optional<double>)
{
    notConnected("recordTail");
    co_return;
}

QCoro::Task<> ManagerReviewCommands::retryTailJoin()
{
    notConnected("retryTailJoin");
    co_return;
}

QCoro::Task<> ManagerReviewCommands::recordTailAgain()
{
    notConnected("recordTailAgain");
    co_return;
}

void ManagerReviewCommands::discardTail() { notConnected("discardTail"); }

QCoro::Task<> ManagerReviewCommands::guardedNewSession()
{
    notConnected("guardedNewSession");
    co_return;
}

void ManagerReviewCommands::guardedOpenSession() { notConnected("guardedOpenSession"); }
void ManagerReviewCommands::guardedResumeSession(const Session &) { notConnected("guardedResumeSession"); }
void ManagerReviewCommands::discardRecoveredSession(const Session &) { notConnected("discardRecoveredSession"); }

bool ManagerReviewCommands::reviewWindowShouldClose()
{
    if (!m_manager.tailOperation()) {
        // The save step of closing belongs to the document commands; the session stays open.
        return true;
    }
    const std::optional<PendingExternalAction> stored = m_manager.pendingExternalAction();
    const PendingExternalAction action = stored == PendingExternalAction::quit ? PendingExternalAction::quit
                                                                                 : PendingExternalAction::close;
    m_manager.setPendingExternalAction(action);
    m_manager.services().appLog->log(QStringLiteral("[tail] %1 deferred until the tail operation resolves (pending=%2)")
                                         .arg(caseName(PendingExternalAction::close), caseName(action)));
    return false;
}

bool ManagerReviewCommands::hasPendingTakeOnReviewClose() const
{
    return m_manager.pendingTakeID().has_value();
}

void ManagerReviewCommands::rememberViewedTake(const std::optional<QUuid> &)
{
    // Asked on every preview change: not worth a warning each time.
    qCDebug(log::review(), "rememberViewedTake: not available on the state manager yet — nothing done");
}

} // namespace lumacast::review
