#include "review/ManagerReviewCommands.h"

#include "control/AppStateManager.h"
#include "model/LogCategories.h"
#include "store/AppLog.h"

#include <QTimer>

namespace lumacast::review {

namespace {

QCoro::Task<> discardingErrors(std::function<QCoro::Task<>()> work)
{
    try {
        co_await work();
    } catch (...) {
        // The operation has already reported its failure.
    }
}

} // namespace

void startOnMainLoop(QObject *context, std::function<QCoro::Task<>()> work)
{
    QPointer<QObject> guard = context;
    QTimer::singleShot(0, context, [guard, work = std::move(work)]() mutable {
        if (guard)
            discardingErrors(std::move(work)); // runs on by itself; its frame frees itself
    });
}

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
