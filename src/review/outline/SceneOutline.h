#pragma once

#include "review/outline/SceneOutlineHost.h"
#include "review/outline/SceneOutlineItems.h"
#include "review/outline/SceneOutlineKeyMap.h"

#include <QPointer>
#include <QSet>
#include <QTreeView>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

class QMenu;
class QPushButton;

namespace lumacast {

class SceneOutlineCommands;
class SceneOutlineModel;
class SceneTreeCellDelegate;

// The review window's sidebar and keyboard surface: a tree of the open session's scenes and
// takes (see SceneOutlineModel, SceneTreeCellDelegate, SceneOutlineCommands).
//
// It reloads only when the session's outline signature changes, keeping selection, expansion
// (scenes the user collapsed stay collapsed) and an open rename. Selecting a single row focuses
// it and previews it: a take shows itself, a scene its checked take, else its last take.
// Playback and trim keys come out as `playbackKey`; while the window is active, keys pressed in
// any of its widgets that is not a text field are routed here.
//
// Main thread only. The host must outlive the outline or be destroyed with it; the outline
// never changes the session itself.
class SceneOutline : public QTreeView {
    Q_OBJECT
public:
    explicit SceneOutline(SceneOutlineHost *host, QWidget *parent = nullptr);
    ~SceneOutline() override;

    SceneOutlineHost *host() const { return m_host; }
    SceneOutlineModel *outlineModel() const { return m_model; }
    SceneTreeCellDelegate *cellDelegate() const { return m_delegate; }
    SceneOutlineCommands *commands() const { return m_commands; }

    // The scene or take the review window treats as focused. Setting it selects and reveals its
    // row (a multiple selection that holds it is kept); the outline's own changes are announced
    // through focusedItemChanged.
    std::optional<QUuid> focusedItemID() const { return m_focusedItemID; }
    void setFocusedItemID(const std::optional<QUuid> &id);
    // Asked before Return renames: true while a trim handle of the player is selected.
    void setTrimHandleSelectedQuery(std::function<bool()> query);

    bool interactionsEnabled() const;
    // The selection matched against the session (a selected scene stands for its takes).
    outline::SplitItems selectedItems() const;
    std::optional<QUuid> singleSelectedItemID() const;
    // The visible row of a scene or take; invalid for unknown ids and takes of collapsed scenes.
    QModelIndex rowOf(const QUuid &id) const;
    QSet<QUuid> collapsedSceneIDs() const { return m_collapsedSceneIDs; }
    QString lastSignature() const { return m_lastSignature; }

    // Loads the host's session: in place when the rows are the same, else anew with selection,
    // expansion and an open rename restored.
    void reloadOutline();
    void syncSelectionFromFocus();
    // Makes the item's scene current and previews the take (or clears the preview).
    void previewItem(const std::optional<QUuid> &id);
    // Sets the focus and announces it.
    void changeFocusedItemID(const std::optional<QUuid> &id);
    // Runs the outline's key map for a key press; keys it does not claim go to the tree view.
    void runKeyMap(QKeyEvent *event);
    // The context menu for a click at `position` (viewport coordinates), after making the
    // clicked row the selection when it was not part of it; nullptr when none opens.
    std::unique_ptr<QMenu> contextMenuAt(const QPoint &position);

signals:
    void playbackKey(const lumacast::PlaybackKey &key);
    // A null id means no item is focused.
    void focusedItemChanged(const QUuid &id);
    void selectTakeForPreview(const QUuid &takeID, const QString &moviePath);
    void clearPreview();
    // True while an inline rename is open.
    void renamingChanged(bool renaming);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void startDrag(Qt::DropActions supportedActions) override;
    // Presses on a row's button are the button's: they neither select, drag nor rename.
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    void hostChanged();
    void selectionDidChange();
    void extendSceneSelectionToTakes();
    QModelIndexList selectedRowsInOrder() const;
    void expandScenes();
    void selectExactly(const QModelIndexList &rows);
    // The painted trash buttons as real buttons ("Delete scene") for assistive tools.
    void scheduleTrashButtons();
    void placeTrashButtons();

    QPointer<SceneOutlineHost> m_host;
    SceneOutlineModel *m_model = nullptr;
    SceneTreeCellDelegate *m_delegate = nullptr;
    SceneOutlineCommands *m_commands = nullptr;
    std::optional<QUuid> m_focusedItemID;
    std::function<bool()> m_isTrimHandleSelected;
    QSet<QUuid> m_collapsedSceneIDs;
    QString m_lastSignature;
    bool m_isSyncingSelection = false;
    bool m_restoringEditor = false;
    QPersistentModelIndex m_pressedButtonRow; // the row whose button the mouse went down on
    int m_pressedButton = 0;                  // SceneTreeCellDelegate::Button
    // Transparent to the mouse, laid over the painted trash buttons. Children of the outline's
    // parent: a tree view shows assistive tools its cells only, not its child widgets.
    QList<QPointer<QPushButton>> m_trashButtons;
    bool m_trashButtonsPending = false;
};

} // namespace lumacast
