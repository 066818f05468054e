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
    return m_manager.canRecordTail(sceneID, takeID);
}

QCoro::Task<> ManagerReviewCommands::recordTail(QUuid sceneID, QUuid takeID, std::optional<double> playhead)
{
    auto recording = m_manager.recordTail(sceneID, takeID, playhead);
    co_await recording;
}

QCoro::Task<> ManagerReviewCommands::retryTailJoin()
{
    auto retrying = m_manager.retryTailJoin();
    co_await retrying;
}

QCoro::Task<> ManagerReviewCommands::recordTailAgain()
{
    auto recording = m_manager.recordTailAgain();
    co_await recording;
}

void ManagerReviewCommands::discardTail() { m_manager.discardTail(); }

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
