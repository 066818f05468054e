#pragma once

#include "model/Session.h"

#include <QAbstractItemModel>
#include <QPointer>
#include <QUuid>

#include <optional>

namespace lumacast {

class SceneOutlineHost;

// The two-level tree of the outline: scenes at the top level, each scene's takes below it, one
// column. It shows the session it was last loaded with (`load`), not the host's live value, so
// that rows never change behind the view's back; the outline decides when to load.
// Drags write one payload per row; drops become one host call (reorder or move). Editing goes
// through the cells' delegate, never through setData. Main thread only; the host is held weakly.
class SceneOutlineModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Role {
        ItemIDRole = Qt::UserRole + 1, // QUuid of the scene or take
        IsSceneRole,                   // bool
        IsCurrentSceneRole,            // bool: the scene new takes go to (drawn bold)
        IsSkippedRole,                 // bool: a scene without a checked take
        ShowsTrashRole,                // bool: the session has two scenes or more
        IsCheckedRole,                 // bool: the take is its scene's checked take
        IsReviewingRole,               // bool: the take is the one under review
        KeptLengthRole,                // QString "m:ss" of the take's kept range
    };

    explicit SceneOutlineModel(SceneOutlineHost *host, QObject *parent = nullptr);

    // Shows this session. When its scenes and takes are the same rows as before (same ids in
    // the same places) the rows are updated in place, keeping selection, expansion and an open
    // editor; otherwise the model is reset. Returns true when it reset.
    bool load(const std::optional<Session> &session, const std::optional<QUuid> &pendingTakeID);
    // Without interactions no row can be edited, dragged or dropped on.
    void setInteractionsEnabled(bool enabled);
    bool interactionsEnabled() const { return m_interactionsEnabled; }

    const std::optional<Session> &session() const { return m_session; }
    // The row of a scene or take, or an invalid index.
    QModelIndex indexOf(const QUuid &id) const;
    static QUuid itemID(const QModelIndex &index);

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    bool hasChildren(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    Qt::DropActions supportedDropActions() const override;
    Qt::DropActions supportedDragActions() const override;
    bool canDropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                         const QModelIndex &parent) const override;
    bool dropMimeData(const QMimeData *data, Qt::DropAction action, int row, int column,
                      const QModelIndex &parent) override;

private:
    bool sameRows(const std::optional<Session> &session) const;
    const RecordingScene *sceneAt(const QModelIndex &index) const;
    const Take *takeAt(const QModelIndex &index) const;

    QPointer<SceneOutlineHost> m_host;
    std::optional<Session> m_session;
    std::optional<QUuid> m_pendingTakeID;
    bool m_interactionsEnabled = true;
};

} // namespace lumacast
