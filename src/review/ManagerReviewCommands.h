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


// ReviewCommands on the state manager. The take and tail operations go to the manager; the
// document operations it does not carry yet each write a warning in the "review" log category
// naming the operation and do nothing else. The queries answer from the manager's published
// state: `canRecordTail` by the manager, `hasPendingTakeOnReviewClose` by the pending take, and
// `reviewWindowShouldClose` defers the close while a tail operation is live (the pending close
// is stored on the manager) and otherwise lets the window close, the session staying open.
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
