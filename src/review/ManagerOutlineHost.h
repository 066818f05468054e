#pragma once

#include "review/outline/SceneOutlineHost.h"

namespace lumacast {

class AppStateManager;

// SceneOutlineHost on the state manager: the session, the pending take and the editing
// operations are the manager's own; editing is allowed while no tail operation is live.
// `changed` follows the manager's session, pending-take and tail-operation signals.
//
// Main thread only. The manager must outlive this object.
class ManagerOutlineHost final : public SceneOutlineHost {
    Q_OBJECT
public:
    explicit ManagerOutlineHost(AppStateManager &manager, QObject *parent = nullptr);

    std::optional<Session> currentSession() const override;
    std::optional<QUuid> pendingTakeID() const override;
    bool interactionsEnabled() const override;
    void setCurrentScene(const QUuid &sceneID) override;
    void renameScene(const QUuid &sceneID, const QString &name) override;
    void renameTake(const QUuid &sceneID, const QUuid &takeID, const QString &name) override;
    void selectTake(const QUuid &sceneID, const std::optional<QUuid> &takeID) override;
    void deleteItems(const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs) override;
    void duplicateScene(const QUuid &sceneID) override;
    void moveTakes(const QList<QUuid> &takeIDs, const QUuid &destinationSceneID) override;
    void reorderScenes(const QList<QUuid> &sceneIDs, qsizetype destination) override;

private:
    AppStateManager &m_manager;
};

} // namespace lumacast
