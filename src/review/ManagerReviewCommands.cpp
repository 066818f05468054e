#include "review/ManagerReviewCommands.h"

#include "control/AppStateManager.h"
#include "model/LogCategories.h"
#include "store/AppLog.h"


namespace lumacast::review {

ManagerReviewCommands::ManagerReviewCommands(AppStateManager &manager)
    : m_manager(manager)
{
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
    auto running = m_manager.guardedNewSession();
    co_await running;
}

void ManagerReviewCommands::guardedOpenSession() { m_manager.guardedOpenSession(); }
void ManagerReviewCommands::guardedResumeSession(const Session &session) { m_manager.guardedResumeSession(session); }
void ManagerReviewCommands::discardRecoveredSession(const Session &session) { m_manager.discardRecoveredSession(session); }
bool ManagerReviewCommands::reviewWindowShouldClose() { return m_manager.reviewWindowShouldClose(); }
bool ManagerReviewCommands::hasPendingTakeOnReviewClose() const { return m_manager.hasPendingTakeOnReviewClose(); }
void ManagerReviewCommands::rememberViewedTake(const std::optional<QUuid> &takeID) { m_manager.rememberViewedTake(takeID); }

} // namespace lumacast::review
