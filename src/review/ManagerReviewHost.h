#pragma once

#include "review/ReviewHost.h"

#include <QObject>

namespace lumacast {
class AppStateManager;
}

namespace lumacast::review {

class ReviewCommands;

// ReviewHost on the state manager: state and trim editing straight from the manager, the tail
// and review-close operations through `commands`. `recordTail` starts its task on the event loop.
//
// Main thread only. The manager and the commands must outlive this object; `taskContext` (the
// review window) ends tasks not yet started when it goes.
class ManagerReviewHost final : public ReviewHost {
public:
    ManagerReviewHost(AppStateManager &manager, ReviewCommands &commands, QObject *taskContext);

    const Session *currentSession() const override;
    std::optional<QString> currentTakeURL() const override;
    std::optional<QUuid> previewedTakeID() const override;
    std::optional<QUuid> pendingTakeID() const override;
    bool hasTailOperation() const override;
    double systemAudioMixLevel() const override;
    bool skipOutgoingPlayheadSave() const override;
    void setSkipOutgoingPlayheadSave(bool skip) override;
    void setTrimLive(const QUuid &sceneID, const QUuid &takeID, double start, double end) override;
    void setTakeTrim(const QUuid &sceneID, const QUuid &takeID, double start, double end) override;
    QSet<QString> checkpoint(const QString &actionName) override;
    void collectOrphanTakeFiles() override;
    void scheduleSave() override;
    void setTakePlayhead(double position, const QUuid &sceneID, const QUuid &takeID) override;
    void correctTakeDuration(double duration, const QUuid &sceneID, const QUuid &takeID) override;
    void setCurrentScene(const QUuid &sceneID) override;
    bool canRecordTail(const QUuid &sceneID, const QUuid &takeID) const override;
    void recordTail(const QUuid &sceneID, const QUuid &takeID, std::optional<double> playhead) override;
    bool hasPendingTakeOnReviewClose() const override;
    void retake() override;

private:
    AppStateManager &m_manager;
    ReviewCommands &m_commands;
    QObject *m_taskContext;
};

} // namespace lumacast::review
