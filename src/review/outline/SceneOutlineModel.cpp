#include "review/outline/SceneOutlineModel.h"

#include "review/outline/SceneOutlineDragDrop.h"
#include "review/outline/SceneOutlineHost.h"
#include "review/outline/SceneOutlineItems.h"

#include <QMimeData>
#include <QSet>

namespace lumacast {

using namespace outline;

// A scene row's internal id is 0; a take row's is its scene's row plus 1. Rows only move by a
// reset, so these stay true for every index the view keeps.
static constexpr quintptr kSceneRow = 0;

SceneOutlineModel::SceneOutlineModel(SceneOutlineHost *host, QObject *parent)
    : QAbstractItemModel(parent), m_host(host)
{
}

bool SceneOutlineModel::sameRows(const std::optional<Session> &session) const
{
    if (m_session.has_value() != session.has_value())
        return false;
    if (!session)
        return true;
    if (m_session->scenes.size() != session->scenes.size())
        return false;
    for (qsizetype s = 0; s < session->scenes.size(); ++s) {
        const RecordingScene &before = m_session->scenes[s];
        const RecordingScene &after = session->scenes[s];
        if (before.id != after.id || before.takes.size() != after.takes.size())
            return false;
        for (qsizetype t = 0; t < after.takes.size(); ++t) {
            if (before.takes[t].id != after.takes[t].id)
                return false;
        }
    }
    return true;
}

bool SceneOutlineModel::load(const std::optional<Session> &session,
                             const std::optional<QUuid> &pendingTakeID)
{
    if (!sameRows(session)) {
        beginResetModel();
        m_session = session;
        m_pendingTakeID = pendingTakeID;
        endResetModel();
        return true;
    }
    m_session = session;
    m_pendingTakeID = pendingTakeID;
    if (!m_session || m_session->scenes.isEmpty())
        return false;
    const int scenes = int(m_session->scenes.size());
    emit dataChanged(index(0, 0), index(scenes - 1, 0));
    for (int s = 0; s < scenes; ++s) {
        const int takes = int(m_session->scenes[s].takes.size());
        if (takes > 0) {
            const QModelIndex scene = index(s, 0);
            emit dataChanged(index(0, 0, scene), index(takes - 1, 0, scene));
        }
    }
    return false;
}

void SceneOutlineModel::setInteractionsEnabled(bool enabled)
{
    if (enabled == m_interactionsEnabled)
        return;
    m_interactionsEnabled = enabled;
    // Flags are part of what the view reads per row.
    if (m_session && !m_session->scenes.isEmpty())
        emit dataChanged(index(0, 0), index(int(m_session->scenes.size()) - 1, 0));
}

QModelIndex SceneOutlineModel::index(int row, int column, const QModelIndex &parent) const
{
    if (!m_session || column != 0 || row < 0)
        return {};
    if (!parent.isValid())
        return row < m_session->scenes.size() ? createIndex(row, 0, kSceneRow) : QModelIndex();
    const RecordingScene *scene = sceneAt(parent);
    if (!scene || row >= scene->takes.size())
        return {};
    return createIndex(row, 0, quintptr(parent.row()) + 1);
}

QModelIndex SceneOutlineModel::parent(const QModelIndex &child) const
{
    if (!child.isValid() || child.internalId() == kSceneRow)
        return {};
    return createIndex(int(child.internalId() - 1), 0, kSceneRow);
}

int SceneOutlineModel::rowCount(const QModelIndex &parent) const
{
    if (!m_session || parent.column() > 0)
        return 0;
    if (!parent.isValid())
        return int(m_session->scenes.size());
    const RecordingScene *scene = sceneAt(parent);
    return scene ? int(scene->takes.size()) : 0;
}

int SceneOutlineModel::columnCount(const QModelIndex &) const
{
    return 1;
}

bool SceneOutlineModel::hasChildren(const QModelIndex &parent) const
{
    // A scene without takes can still be expanded (and dropped into).
    if (!parent.isValid())
        return rowCount(parent) > 0;
    return sceneAt(parent) != nullptr;
}

const RecordingScene *SceneOutlineModel::sceneAt(const QModelIndex &index) const
{
    if (!m_session || !index.isValid() || index.internalId() != kSceneRow
        || index.row() >= m_session->scenes.size())
        return nullptr;
    return &m_session->scenes[index.row()];
}

const Take *SceneOutlineModel::takeAt(const QModelIndex &index) const
{
    if (!m_session || !index.isValid() || index.internalId() == kSceneRow)
        return nullptr;
    const qsizetype sceneRow = qsizetype(index.internalId() - 1);
    if (sceneRow >= m_session->scenes.size())
        return nullptr;
    const QList<Take> &takes = m_session->scenes[sceneRow].takes;
    return index.row() < takes.size() ? &takes[index.row()] : nullptr;
}

QUuid SceneOutlineModel::itemID(const QModelIndex &index)
{
    return index.data(ItemIDRole).toUuid();
}

QModelIndex SceneOutlineModel::indexOf(const QUuid &id) const
{
    const qsizetype scene = sceneIndex(m_session, id);
    if (scene >= 0)
        return index(int(scene), 0);
    const std::optional<TakeLocation> take = takeLocation(m_session, id);
    if (!take)
        return {};
    return index(int(take->takeIndex), 0, index(int(take->sceneIndex), 0));
}

QVariant SceneOutlineModel::data(const QModelIndex &index, int role) const
{
    if (const RecordingScene *scene = sceneAt(index)) {
        switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return sceneDisplayName(*scene, index.row());
        case ItemIDRole:
            return scene->id;
        case IsSceneRole:
            return true;
        case IsCurrentSceneRole:
            return m_session->currentSceneIndex == index.row();
        case IsSkippedRole:
            return !scene->selectedTakeID.has_value();
        case ShowsTrashRole:
            return m_session->scenes.size() >= 2;
        default:
            return {};
        }
    }
    if (const Take *take = takeAt(index)) {
        const RecordingScene &scene = m_session->scenes[qsizetype(index.internalId() - 1)];
        switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return takeDisplayName(*take, index.row());
        case ItemIDRole:
            return take->id;
        case IsSceneRole:
            return false;
        case IsCheckedRole:
            return scene.selectedTakeID == take->id;
        case IsReviewingRole:
            return m_pendingTakeID == take->id;
        case KeptLengthRole:
            return keptLengthText(take->trimEnd - take->trimStart);
        default:
            return {};
        }
    }
    return {};
}

Qt::ItemFlags SceneOutlineModel::flags(const QModelIndex &index) const
{
    const Qt::ItemFlags editing = m_interactionsEnabled
        ? Qt::ItemIsEditable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled
        : Qt::NoItemFlags;
    if (!index.isValid())
        return m_interactionsEnabled ? Qt::ItemIsDropEnabled : Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | editing;
}

QStringList SceneOutlineModel::mimeTypes() const
{
    return {SceneOutlineDragDrop::mimeType()};
}

QMimeData *SceneOutlineModel::mimeData(const QModelIndexList &indexes) const
{
    if (!m_interactionsEnabled)
        return nullptr;
    QStringList payloads;
    QSet<QUuid> seen;
    for (const QModelIndex &index : indexes) {
        if (const Take *take = takeAt(index)) {
            if (!seen.contains(take->id)) {
                seen.insert(take->id);
                payloads << SceneOutlineDragDrop::takePayload(
                    take->id, m_session->scenes[qsizetype(index.internalId() - 1)].id);
            }
        } else if (const RecordingScene *scene = sceneAt(index)) {
            if (!seen.contains(scene->id)) {
                seen.insert(scene->id);
                payloads << SceneOutlineDragDrop::scenePayload(scene->id);
            }
        }
    }
    return SceneOutlineDragDrop::encode(payloads);
}

Qt::DropActions SceneOutlineModel::supportedDropActions() const
{
    return Qt::MoveAction;
}

Qt::DropActions SceneOutlineModel::supportedDragActions() const
{
    return Qt::MoveAction;
}

bool SceneOutlineModel::canDropMimeData(const QMimeData *data, Qt::DropAction, int, int,
                                        const QModelIndex &) const
{
    return m_host && m_host->interactionsEnabled() && data
        && data->hasFormat(SceneOutlineDragDrop::mimeType());
}

bool SceneOutlineModel::dropMimeData(const QMimeData *data, Qt::DropAction, int row, int,
                                     const QModelIndex &parent)
{
    if (!m_host || !m_host->interactionsEnabled())
        return false;
    const std::optional<QUuid> item = parent.isValid() ? std::optional(itemID(parent)) : std::nullopt;
    const std::optional<Session> session = m_host->currentSession();
    const SceneOutlineDragDrop::Drop drop =
        SceneOutlineDragDrop::resolve(session, SceneOutlineDragDrop::decode(data), item, row);
    switch (drop.kind) {
    case SceneOutlineDragDrop::Drop::reorderScenes:
        m_host->reorderScenes(drop.ids, drop.position);
        return true;
    case SceneOutlineDragDrop::Drop::moveTakes:
        m_host->moveTakes(drop.ids, drop.destinationSceneID);
        return true;
    case SceneOutlineDragDrop::Drop::none:
        break;
    }
    return false;
}

} // namespace lumacast
