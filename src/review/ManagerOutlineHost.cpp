#include "review/ManagerOutlineHost.h"

#include "control/AppStateManager.h"

namespace lumacast {

ManagerOutlineHost::ManagerOutlineHost(AppStateManager &manager, QObject *parent)
    : SceneOutlineHost(parent)
    , m_manager(manager)
{
    connect(&manager, &AppStateManager::currentSessionChanged, this, &SceneOutlineHost::changed);
    connect(&manager, &AppStateManager::pendingTakeIDChanged, this, &SceneOutlineHost::changed);
    connect(&manager, &AppStateManager::tailOperationChanged, this, &SceneOutlineHost::changed);
}

std::optional<Session> ManagerOutlineHost::currentSession() const { return m_manager.currentSession(); }
std::optional<QUuid> ManagerOutlineHost::pendingTakeID() const { return m_manager.pendingTakeID(); }
bool ManagerOutlineHost::interactionsEnabled() const { return !m_manager.tailOperation().has_value(); }
void ManagerOutlineHost::setCurrentScene(const QUuid &sceneID) { m_manager.setCurrentScene(sceneID); }

void ManagerOutlineHost::renameScene(const QUuid &sceneID, const QString &name)
{
    m_manager.renameScene(sceneID, name);
}

void ManagerOutlineHost::renameTake(const QUuid &sceneID, const QUuid &takeID, const QString &name)
{
    m_manager.renameTake(sceneID, takeID, name);
}

void ManagerOutlineHost::selectTake(const QUuid &sceneID, const std::optional<QUuid> &takeID)
{
    m_manager.selectTake(sceneID, takeID);
}

void ManagerOutlineHost::deleteItems(const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs)
{
    m_manager.deleteItems(sceneIDs, takeIDs);
}

void ManagerOutlineHost::duplicateScene(const QUuid &sceneID) { m_manager.duplicateScene(sceneID); }

void ManagerOutlineHost::moveTakes(const QList<QUuid> &takeIDs, const QUuid &destinationSceneID)
{
    m_manager.moveTakes(takeIDs, destinationSceneID);
}

void ManagerOutlineHost::reorderScenes(const QList<QUuid> &sceneIDs, qsizetype destination)
{
    m_manager.reorderScenes(sceneIDs, destination);
}

} // namespace lumacast
