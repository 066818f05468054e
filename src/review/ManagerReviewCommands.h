#pragma once

#include "review/ReviewCommands.h"
#include "threads/ThreadBridge.h"

#include <QObject>
#include <QPointer>

#include <functional>

namespace lumacast {
class AppStateManager;
}

namespace lumacast::review {


// ReviewCommands on the state manager: every operation and query is the manager's own, forwarded
// as it is (the close decision included: the manager defers it while a tail operation is live,
// hands a take under way to Close Recording, and asks about saving).
//
// Main thread only. The manager must outlive this object.
class ManagerReviewCommands final : public ReviewCommands {
public:
    explicit ManagerReviewCommands(AppStateManager &manager);

    void approve() override;
    void retake() override;
    void autoApprove() override;
    void advanceToScene() override;
    QCoro::Task<> startRecording() override;
    bool canRecordTail(const QUuid &sceneID, const QUuid &takeID) const override;
    QCoro::Task<> recordTail(QUuid sceneID, QUuid takeID, std::optional<double> playhead) override;
    QCoro::Task<> retryTailJoin() override;
    QCoro::Task<> recordTailAgain() override;
    void discardTail() override;
    QCoro::Task<> guardedNewSession() override;
    void guardedOpenSession() override;
    void guardedResumeSession(const Session &session) override;
    void discardRecoveredSession(const Session &session) override;
    bool reviewWindowShouldClose() override;
    bool hasPendingTakeOnReviewClose() const override;
    void rememberViewedTake(const std::optional<QUuid> &takeID) override;

private:

    AppStateManager &m_manager;
};

} // namespace lumacast::review
