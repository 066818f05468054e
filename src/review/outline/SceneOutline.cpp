#include "review/outline/SceneOutline.h"

#include "review/outline/SceneOutlineCommands.h"
#include "review/outline/SceneOutlineHost.h"
#include "review/outline/SceneOutlineKeyMonitor.h"
#include "review/outline/SceneOutlineModel.h"
#include "review/outline/SceneTreeCellDelegate.h"
#include "store/InteractionGate.h"
#include "threads/ThreadBridge.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>

namespace lumacast {

using namespace outline;

SceneOutline::SceneOutline(SceneOutlineHost *host, QWidget *parent)
    : QTreeView(parent), m_host(host)
{
    m_model = new SceneOutlineModel(host, this);
    m_delegate = new SceneTreeCellDelegate(this);
    m_commands = new SceneOutlineCommands(this);

    setHeaderHidden(true);
    setAccessibleName(QStringLiteral("Scenes"));
    setIndentation(14);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setModel(m_model);
    setItemDelegate(m_delegate);
    // Double click renames (the delegate keeps clicks on the row buttons for itself); nothing
    // else opens an editor behind the commands' back.
    setEditTriggers(QAbstractItemView::DoubleClicked);
    setExpandsOnDoubleClick(false);
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);

    connect(this, &QTreeView::expanded, this, [this](const QModelIndex &index) {
        m_collapsedSceneIDs.remove(SceneOutlineModel::itemID(index));
        scheduleTrashButtons();
    });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex &index) {
        m_collapsedSceneIDs.insert(SceneOutlineModel::itemID(index));
        scheduleTrashButtons();
    });
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &SceneOutline::selectionDidChange);

    // Row buttons act after the click has been handled: the change they cause may rebuild rows.
    connect(m_delegate, &SceneTreeCellDelegate::deleteSceneRequested, m_commands,
            [commands = m_commands](const QUuid &id) { commands->confirmDelete({id}, {}); },
            Qt::QueuedConnection);
    connect(m_delegate, &SceneTreeCellDelegate::toggleCheckRequested, m_commands,
            &SceneOutlineCommands::toggleTakeCheck, Qt::QueuedConnection);
    connect(m_delegate, &SceneTreeCellDelegate::renameCommitted, m_commands,
            &SceneOutlineCommands::commitRename);
    connect(m_delegate, &SceneTreeCellDelegate::editingChanged, this, [this](bool editing) {
        if (m_restoringEditor)
            return;
        emit renamingChanged(editing);
        if (!editing)
            setFocus(Qt::OtherFocusReason);
    });

    if (m_host)
        connect(m_host, &SceneOutlineHost::changed, this, &SceneOutline::hostChanged);
    const bool enabled = interactionsEnabled();
    m_model->setInteractionsEnabled(enabled);
    setEnabled(enabled);
    reloadOutline();
    new SceneOutlineKeyMonitor(this);
    postToMainThread(QPointer<SceneOutline>(this), [this] {
        if (isVisible())
            setFocus(Qt::OtherFocusReason);
    });
}

SceneOutline::~SceneOutline()
{
    for (const QPointer<QPushButton> &button : std::as_const(m_trashButtons))
        delete button.data();
}

void SceneOutline::setFocusedItemID(const std::optional<QUuid> &id)
{
    m_focusedItemID = id;
    syncSelectionFromFocus();
}

void SceneOutline::changeFocusedItemID(const std::optional<QUuid> &id)
{
    if (m_focusedItemID == id)
        return;
    m_focusedItemID = id;
    emit focusedItemChanged(id.value_or(QUuid()));
}

void SceneOutline::setTrimHandleSelectedQuery(std::function<bool()> query)
{
    m_isTrimHandleSelected = std::move(query);
}

bool SceneOutline::interactionsEnabled() const
{
    return m_host && m_host->interactionsEnabled();
}

void SceneOutline::hostChanged()
{
    if (!m_host)
        return;
    const bool enabled = m_host->interactionsEnabled();
    m_model->setInteractionsEnabled(enabled);
    setEnabled(enabled);
    scheduleTrashButtons();
    if (outlineSignature(m_host->currentSession(), m_host->pendingTakeID()) != m_lastSignature)
        reloadOutline();
    else
        syncSelectionFromFocus();
}

QModelIndex SceneOutline::rowOf(const QUuid &id) const
{
    const QModelIndex index = m_model->indexOf(id);
    if (index.parent().isValid() && !isExpanded(index.parent()))
        return {};
    return index;
}

QModelIndexList SceneOutline::selectedRowsInOrder() const
{
    QModelIndexList rows;
    const QItemSelectionModel *selection = selectionModel();
    for (int s = 0; s < m_model->rowCount(); ++s) {
        const QModelIndex scene = m_model->index(s, 0);
        if (selection->isSelected(scene))
            rows << scene;
        if (!isExpanded(scene))
            continue;
        for (int t = 0; t < m_model->rowCount(scene); ++t) {
            const QModelIndex take = m_model->index(t, 0, scene);
            if (selection->isSelected(take))
                rows << take;
        }
    }
    return rows;
}

SplitItems SceneOutline::selectedItems() const
{
    if (!m_host)
        return {};
    QSet<QUuid> ids;
    for (const QModelIndex &row : selectedRowsInOrder())
        ids.insert(SceneOutlineModel::itemID(row));
    return splitItems(m_host->currentSession(), ids);
}

std::optional<QUuid> SceneOutline::singleSelectedItemID() const
{
    return singleItem(selectedItems());
}

void SceneOutline::expandScenes()
{
    for (int s = 0; s < m_model->rowCount(); ++s) {
        const QModelIndex scene = m_model->index(s, 0);
        if (!m_collapsedSceneIDs.contains(SceneOutlineModel::itemID(scene)))
            expand(scene);
    }
}

void SceneOutline::selectExactly(const QModelIndexList &rows)
{
    QItemSelection selection;
    for (const QModelIndex &row : rows)
        selection.select(row, row);
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void SceneOutline::reloadOutline()
{
    if (!m_host)
        return;
    const std::optional<Session> session = m_host->currentSession();
    const std::optional<QUuid> pending = m_host->pendingTakeID();

    QList<QUuid> selected;
    for (const QModelIndex &row : selectedRowsInOrder())
        selected << SceneOutlineModel::itemID(row);
    const QUuid current = SceneOutlineModel::itemID(currentIndex());
    const QUuid editing = m_delegate->openEditorItem();
    const QString editingText = m_delegate->openEditor() ? m_delegate->openEditor()->text() : QString();

    m_isSyncingSelection = true;
    m_restoringEditor = true;
    const bool reset = m_model->load(session, pending);
    expandScenes();
    bool editorKept = editing.isNull();
    if (reset) {
        QModelIndexList rows;
        for (const QUuid &id : selected) {
            const QModelIndex row = rowOf(id);
            if (row.isValid())
                rows << row;
        }
        selectExactly(rows);
        const QModelIndex currentRow = rowOf(current);
        if (currentRow.isValid())
            selectionModel()->setCurrentIndex(currentRow, QItemSelectionModel::NoUpdate);
        // A rename the user is typing survives rows coming and going around it.
        const QModelIndex editingRow = editing.isNull() ? QModelIndex() : rowOf(editing);
        if (editingRow.isValid() && m_model->interactionsEnabled()) {
            edit(editingRow);
            if (QLineEdit *editor = m_delegate->openEditor()) {
                editor->setText(editingText);
                editorKept = true;
            }
        }
    } else {
        editorKept = true;
    }
    m_restoringEditor = false;
    m_isSyncingSelection = false;
    if (!editorKept)
        emit renamingChanged(false);

    m_lastSignature = outlineSignature(session, pending);
    syncSelectionFromFocus();
    scheduleTrashButtons();
}

void SceneOutline::syncSelectionFromFocus()
{
    if (!m_focusedItemID)
        return;
    const QModelIndex row = rowOf(*m_focusedItemID);
    if (!row.isValid())
        return;
    const QModelIndexList rows = selectedRowsInOrder();
    if (rows.size() > 1 && rows.contains(row))
        return;
    if (!rows.isEmpty() && rows.first() == row)
        return;
    m_isSyncingSelection = true;
    selectionModel()->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    scrollTo(row);
    m_isSyncingSelection = false;
}

void SceneOutline::selectionDidChange()
{
    if (m_isSyncingSelection || !interactionsEnabled())
        return;
    extendSceneSelectionToTakes();
    const std::optional<QUuid> single = singleSelectedItemID();
    if (!single)
        return;
    changeFocusedItemID(single);
    previewItem(single);
}

void SceneOutline::extendSceneSelectionToTakes()
{
    const QModelIndexList rows = selectedRowsInOrder();
    QModelIndexList extended;
    for (const QModelIndex &row : rows) {
        if (!extended.contains(row))
            extended << row;
        if (row.parent().isValid() || !isExpanded(row))
            continue;
        for (int t = 0; t < m_model->rowCount(row); ++t) {
            const QModelIndex take = m_model->index(t, 0, row);
            if (!extended.contains(take))
                extended << take;
        }
    }
    // Selecting them notifies again; that notification finds nothing more to add.
    if (extended.size() != rows.size())
        selectExactly(extended);
}

void SceneOutline::previewItem(const std::optional<QUuid> &id)
{
    if (!m_host)
        return;
    const std::optional<Session> session = m_host->currentSession();
    if (!session)
        return;
    QPointer<SceneOutline> self = this;
    auto show = [&](const Take &take) {
        const QString path = takeMoviePath(*session, take);
        // A file name that could leave the takes folder counts as a missing movie.
        if (path.isEmpty())
            emit clearPreview();
        else
            emit selectTakeForPreview(take.id, path);
    };
    const std::optional<TakeLocation> take = id ? takeLocation(session, *id) : std::nullopt;
    if (take) {
        const RecordingScene &scene = session->scenes[take->sceneIndex];
        m_host->setCurrentScene(scene.id);
        if (self)
            show(scene.takes[take->takeIndex]);
        return;
    }
    const qsizetype sceneRow = id ? sceneIndex(session, *id) : -1;
    if (sceneRow < 0) {
        emit clearPreview();
        return;
    }
    const RecordingScene &scene = session->scenes[sceneRow];
    m_host->setCurrentScene(scene.id);
    if (!self)
        return;
    const Take *chosen = nullptr;
    for (const Take &candidate : scene.takes) {
        if (scene.selectedTakeID == candidate.id) {
            chosen = &candidate;
            break;
        }
    }
    if (!chosen && !scene.takes.isEmpty())
        chosen = &scene.takes.last();
    if (chosen)
        show(*chosen);
    else
        emit clearPreview();
}

void SceneOutline::runKeyMap(QKeyEvent *event)
{
    const bool trimSelected = m_isTrimHandleSelected && m_isTrimHandleSelected();
    const SceneOutlineKeyMap::Action action =
        SceneOutlineKeyMap::actionFor(event->key(), event->modifiers(), event->text(), trimSelected);
    if (std::holds_alternative<SceneOutlineKeyMap::Standard>(action)) {
        // A disabled outline's selection does not move (its changes would be ignored).
        if (interactionsEnabled())
            QTreeView::keyPressEvent(event);
        else
            event->accept();
        return;
    }
    event->accept();
    if (const auto *key = std::get_if<PlaybackKey>(&action))
        emit playbackKey(*key);
    else
        m_commands->handleCommand(std::get<SceneOutlineCommand>(action));
}

void SceneOutline::keyPressEvent(QKeyEvent *event)
{
    runKeyMap(event);
}

void SceneOutline::updateGeometries()
{
    QTreeView::updateGeometries();
    scheduleTrashButtons();
}

void SceneOutline::scrollContentsBy(int dx, int dy)
{
    QTreeView::scrollContentsBy(dx, dy);
    scheduleTrashButtons();
}

void SceneOutline::showEvent(QShowEvent *event)
{
    QTreeView::showEvent(event);
    scheduleTrashButtons();
}

void SceneOutline::hideEvent(QHideEvent *event)
{
    QTreeView::hideEvent(event);
    scheduleTrashButtons();
}

void SceneOutline::moveEvent(QMoveEvent *event)
{
    QTreeView::moveEvent(event);
    scheduleTrashButtons();
}

void SceneOutline::scheduleTrashButtons()
{
    // Rows move in bursts (a reload, a scroll, an expansion): the buttons follow once after.
    if (m_trashButtonsPending)
        return;
    m_trashButtonsPending = true;
    postToMainThread(QPointer<SceneOutline>(this), [this] { placeTrashButtons(); });
}

void SceneOutline::placeTrashButtons()
{
    m_trashButtonsPending = false;
    QWidget *holder = parentWidget();
    qsizetype used = 0;
    if (holder && isVisible()) {
        const QRect area = viewport()->rect();
        for (int s = 0; s < m_model->rowCount(); ++s) {
            const QModelIndex scene = m_model->index(s, 0);
            const QRect trash = SceneTreeCellDelegate::trashRect(visualRect(scene));
            if (!scene.data(SceneOutlineModel::ShowsTrashRole).toBool() || !area.contains(trash))
                continue;
            if (used == m_trashButtons.size() || !m_trashButtons[used]) {
                auto *button = new QPushButton(holder);
                button->setAccessibleName(QStringLiteral("Delete scene"));
                button->setFocusPolicy(Qt::NoFocus);
                button->setFlat(true);
                button->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: none; }"));
                // The delegate takes the clicks; this one answers assistive tools' presses.
                button->setAttribute(Qt::WA_TransparentForMouseEvents);
                connect(button, &QPushButton::clicked, m_commands, [commands = m_commands, button] {
                    commands->confirmDelete({button->property("sceneID").toUuid()}, {});
                }, Qt::QueuedConnection);
                if (used == m_trashButtons.size())
                    m_trashButtons.append(button);
                else
                    m_trashButtons[used] = button;
            }
            QPushButton *button = m_trashButtons[used++];
            button->setProperty("sceneID", SceneOutlineModel::itemID(scene));
            button->setEnabled(interactionsEnabled());
            button->setGeometry(QRect(viewport()->mapTo(holder, trash.topLeft()), trash.size()));
            button->show();
            button->raise();
        }
    }
    for (qsizetype i = used; i < m_trashButtons.size(); ++i)
        if (m_trashButtons[i])
            m_trashButtons[i]->hide();
}

std::unique_ptr<QMenu> SceneOutline::contextMenuAt(const QPoint &position)
{
    const QModelIndex row = indexAt(position);
    if (!row.isValid())
        return nullptr;
    if (!selectionModel()->isSelected(row))
        selectionModel()->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    return m_commands->contextMenu();
}

void SceneOutline::mousePressEvent(QMouseEvent *event)
{
    const QPoint at = event->position().toPoint();
    const QModelIndex row = indexAt(at);
    const auto button = event->button() == Qt::LeftButton
        ? SceneTreeCellDelegate::buttonAt(row, visualRect(row), at)
        : SceneTreeCellDelegate::Button::none;
    if (button == SceneTreeCellDelegate::Button::none) {
        QTreeView::mousePressEvent(event);
        return;
    }
    m_pressedButtonRow = row;
    m_pressedButton = int(button);
    event->accept();
}

void SceneOutline::mouseMoveEvent(QMouseEvent *event)
{
    if (m_pressedButtonRow.isValid())
        event->accept();
    else
        QTreeView::mouseMoveEvent(event);
}

void SceneOutline::mouseReleaseEvent(QMouseEvent *event)
{
    if (!m_pressedButtonRow.isValid()) {
        QTreeView::mouseReleaseEvent(event);
        return;
    }
    const QModelIndex row = m_pressedButtonRow;
    const auto button = SceneTreeCellDelegate::Button(m_pressedButton);
    m_pressedButtonRow = QPersistentModelIndex();
    m_pressedButton = 0;
    const QPoint at = event->position().toPoint();
    // Released off the button: no click, as with any push button.
    if (indexAt(at) == row && SceneTreeCellDelegate::buttonAt(row, visualRect(row), at) == button)
        m_delegate->clickButton(button, row);
    event->accept();
}

void SceneOutline::mouseDoubleClickEvent(QMouseEvent *event)
{
    const QPoint at = event->position().toPoint();
    const QModelIndex row = indexAt(at);
    if (SceneTreeCellDelegate::buttonAt(row, visualRect(row), at) != SceneTreeCellDelegate::Button::none) {
        // The second press of a double click is a press of the button again.
        mousePressEvent(event);
        return;
    }
    QTreeView::mouseDoubleClickEvent(event);
}

void SceneOutline::contextMenuEvent(QContextMenuEvent *event)
{
    event->accept();
    // Watched, not owned: the outline, and the menu with it, may go inside the menu's own loop.
    const QPointer<QMenu> menu = contextMenuAt(event->pos()).release();
    if (!menu)
        return;
    // Its loop runs until an entry is chosen or the menu is dismissed: what arrives meanwhile
    // waits for it.
    const InteractionGate::Hold asking = InteractionGate::shared().hold(InteractionGate::Kind::asking);
    menu->exec(event->globalPos());
    delete menu.data();
}

void SceneOutline::startDrag(Qt::DropActions supportedActions)
{
    // The drag runs a loop of its own until the drop: what arrives meanwhile waits for it.
    const InteractionGate::Hold dragging = InteractionGate::shared().hold(InteractionGate::Kind::asking);
    QTreeView::startDrag(supportedActions);
}

} // namespace lumacast
