#pragma once

#include "control/StateManagerDoubles.h"
#include "review/ManagerReviewCommands.h"
#include "review/ReviewCommands.h"
#include "ReviewDoubles.h"

#include <QCoreApplication>
#include <QStringList>

#include <memory>

namespace lumacast::reviewtest {

// The state manager's review operations as a log of calls; the queries answer as the state
// manager's adapter does.
class CommandsDouble final : public review::ReviewCommands {
public:
    explicit CommandsDouble(AppStateManager &manager) : real(manager) {}

    review::ManagerReviewCommands real;
    QStringList calls;

    void approve() override { calls << QStringLiteral("approve"); }
    void retake() override { calls << QStringLiteral("retake"); }
    void autoApprove() override { calls << QStringLiteral("autoApprove"); }
    void advanceToScene() override { calls << QStringLiteral("advanceToScene"); }
    QCoro::Task<> startRecording() override
    {
        calls << QStringLiteral("startRecording");
        throw std::runtime_error("refused"); // the window discards it
        co_return;
    }
    bool canRecordTail(const QUuid &s, const QUuid &t) const override { return real.canRecordTail(s, t); }
    QCoro::Task<> recordTail(QUuid, QUuid, std::optional<double> playhead) override
    {
        calls << (playhead ? QStringLiteral("recordTail %1").arg(*playhead) : QStringLiteral("recordTail none"));
        co_return;
    }
    QCoro::Task<> retryTailJoin() override
    {
        calls << QStringLiteral("retryTailJoin");
        co_return;
    }
    QCoro::Task<> recordTailAgain() override
    {
        calls << QStringLiteral("recordTailAgain");
        co_return;
    }
    void discardTail() override { calls << QStringLiteral("discardTail"); }
    QCoro::Task<> guardedNewSession() override
    {
        calls << QStringLiteral("guardedNewSession");
        co_return;
    }
    void guardedOpenSession() override { calls << QStringLiteral("guardedOpenSession"); }
    void guardedResumeSession(const Session &s) override { calls << QStringLiteral("resume %1").arg(s.scenes.size()); }
    void discardRecoveredSession(const Session &s) override
    {
        calls << QStringLiteral("discard %1").arg(s.scenes.size());
        real.discardRecoveredSession(s);
    }
    bool reviewWindowShouldClose() override { return real.reviewWindowShouldClose(); }
    bool hasPendingTakeOnReviewClose() const override { return real.hasPendingTakeOnReviewClose(); }
    void rememberViewedTake(const std::optional<QUuid> &) override {}
};

inline TailOperation tailOperation(TailOperation::Phase phase)
{
    TailOperation operation;
    operation.id = QUuid::createUuid();
    operation.phase = std::move(phase);
    return operation;
}

inline TailOperation failedTail(TailFailure::Kind kind, const QString &message)
{
    return tailOperation(TailOperation::Failed{TailFailure{kind, message}});
}

inline void drainEvents()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

} // namespace lumacast::reviewtest
