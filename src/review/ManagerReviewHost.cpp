#include "review/ManagerReviewHost.h"

#include "control/AppStateManager.h"
#include "review/ManagerReviewCommands.h"
#include "threads/ThreadBridge.h"

namespace lumacast::review {

ManagerReviewHost::ManagerReviewHost(AppStateManager &manager, ReviewCommands &commands, QObject *taskContext)
    : m_manager(manager)
    , m_commands(commands)
    , m_taskContext(taskContext)
{
}

const Session *ManagerReviewHost::currentSession() const
{
    const std::optional<Session> &session = m_manager.session();
    return session ? &*session : nullptr;
}

std::optional<QString> ManagerReviewHost::currentTakeURL() const { return m_manager.currentTakeURL(); }
std::optional<QUuid> ManagerReviewHost::previewedTakeID() const { return m_manager.previewedTakeID(); }
std::optional<QUuid> ManagerReviewHost::pendingTakeID() const { return m_manager.pendingTakeID(); }
bool ManagerReviewHost::hasTailOperation() const { return m_manager.tailOperation().has_value(); }
double ManagerReviewHost::systemAudioMixLevel() const { return m_manager.systemAudioMixLevel(); }
bool ManagerReviewHost::skipOutgoingPlayheadSave() const { return m_manager.skipOutgoingPlayheadSave(); }
void ManagerReviewHost::setSkipOutgoingPlayheadSave(bool skip) { m_manager.setSkipOutgoingPlayheadSave(skip); }

void ManagerReviewHost::setTrimLive(const QUuid &sceneID, const QUuid &takeID, double start, double end)
{
    m_manager.setTrimLive(sceneID, takeID, start, end);
}

void ManagerReviewHost::setTakeTrim(const QUuid &sceneID, const QUuid &takeID, double start, double end)
{
    m_manager.setTakeTrim(sceneID, takeID, start, end);
}

QSet<QString> ManagerReviewHost::checkpoint(const QString &actionName) { return m_manager.checkpoint(actionName); }
void ManagerReviewHost::collectOrphanTakeFiles() { m_manager.collectOrphanTakeFiles(); }
void ManagerReviewHost::scheduleSave() { m_manager.scheduleSave(); }

void ManagerReviewHost::setTakePlayhead(double position, const QUuid &sceneID, const QUuid &takeID)
{
    m_manager.setTakePlayhead(position, sceneID, takeID);
}

void ManagerReviewHost::correctTakeDuration(double duration, const QUuid &sceneID, const QUuid &takeID)
{
    m_manager.correctTakeDuration(duration, sceneID, takeID);
}

void ManagerReviewHost::setCurrentScene(const QUuid &sceneID) { m_manager.setCurrentScene(sceneID); }

bool ManagerReviewHost::canRecordTail(const QUuid &sceneID, const QUuid &takeID) const
{
    return m_commands.canRecordTail(sceneID, takeID);
}

void ManagerReviewHost::recordTail(const QUuid &sceneID, const QUuid &takeID, std::optional<double> playhead)
{
    ReviewCommands *commands = &m_commands;
    startMainThreadTask(QPointer<QObject>(m_taskContext), [commands, sceneID, takeID, playhead] {
        return commands->recordTail(sceneID, takeID, playhead);
    });
}

bool ManagerReviewHost::hasPendingTakeOnReviewClose() const { return m_commands.hasPendingTakeOnReviewClose(); }
void ManagerReviewHost::retake() { m_commands.retake(); }

} // namespace lumacast::review
