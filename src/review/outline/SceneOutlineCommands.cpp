#include "review/outline/SceneOutlineCommands.h"

#include "review/outline/SceneOutline.h"
#include "review/outline/SceneOutlineHost.h"
#include "review/outline/SceneOutlineModel.h"
#include "store/InteractionGate.h"

#include <QAbstractButton>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace lumacast {

using namespace outline;

SceneOutlineCommands::SceneOutlineCommands(SceneOutline *outline)
    : QObject(outline), m_outline(outline)
{
}

QString SceneOutlineCommands::deleteAlertTitle(qsizetype sceneCount, qsizetype takeCount)
{
    if (sceneCount == 1 && takeCount == 0)
        return QStringLiteral("Delete Scene?");
    if (sceneCount == 0 && takeCount == 1)
        return QStringLiteral("Delete Take?");
    return QStringLiteral("Delete %1 Items?").arg(sceneCount + takeCount);
}

SceneOutlineCommands::DeletePlan SceneOutlineCommands::planDelete(const std::optional<Session> &session,
                                                                  const QList<QUuid> &sceneIDs,
                                                                  const QList<QUuid> &takeIDs)
{
    if (sceneIDs.isEmpty() && takeIDs.isEmpty())
        return {};
    if (!session || sceneIDs.size() >= session->scenes.size()) {
        return {DeletePlan::refuse,
                {QStringLiteral("Can't Delete Every Scene"),
                 QStringLiteral("A recording needs at least one scene."), {QStringLiteral("OK")}}};
    }
    if (sceneIDs.isEmpty() && takeIDs.size() <= 1)
        return {DeletePlan::deleteNow, {}};
    qsizetype ownTakes = 0;
    for (const RecordingScene &scene : session->scenes) {
        if (sceneIDs.contains(scene.id))
            ownTakes += scene.takes.size();
    }
    const QString text = sceneIDs.isEmpty()
        ? QStringLiteral("This deletes %1 take(s).").arg(takeIDs.size())
        : QStringLiteral("This deletes %1 scene(s) and %2 take(s).")
              .arg(sceneIDs.size())
              .arg(ownTakes + takeIDs.size());
    return {DeletePlan::ask,
            {deleteAlertTitle(sceneIDs.size(), takeIDs.size()), text,
             {QStringLiteral("Delete"), QStringLiteral("Cancel")}}};
}

SceneOutlineCommands::DeleteItems SceneOutlineCommands::namedItems(const std::optional<Session> &asked,
                                                                  const std::optional<Session> &now,
                                                                  const QList<QUuid> &sceneIDs,
                                                                  const QList<QUuid> &takeIDs)
{
    if (!asked || !now || asked->id != now->id)
        return {};
    DeleteItems items{{}, takeIDs};
    for (const QUuid &sceneID : sceneIDs) {
        const qsizetype was = sceneIndex(asked, sceneID);
        const qsizetype is = sceneIndex(now, sceneID);
        if (was < 0 || is < 0)
            continue;
        const QList<Take> &counted = asked->scenes[was].takes;
        const auto wasCounted = [&counted](const Take &take) {
            return std::any_of(counted.begin(), counted.end(), [&take](const Take &c) { return c.id == take.id; });
        };
        const QList<Take> &holds = now->scenes[is].takes;
        if (std::all_of(holds.begin(), holds.end(), wasCounted)) {
            items.sceneIDs << sceneID;
            continue;
        }
        for (const Take &take : counted) {
            if (!items.takeIDs.contains(take.id))
                items.takeIDs << take.id;
        }
    }
    return items;
}

QList<SceneOutlineCommands::MenuEntry> SceneOutlineCommands::menuEntries(const std::optional<Session> &session,
                                                                        const SplitItems &selection)
{
    if (selection.isEmpty())
        return {};
    const std::optional<QUuid> single = singleItem(selection);
    if (!single) {
        QString title = deleteAlertTitle(selection.sceneIDs.size(), selection.takeIDs.size());
        title.remove(u'?');
        return {{MenuEntry::deleteItems, title, {}}};
    }
    if (sceneIndex(session, *single) >= 0) {
        QList<MenuEntry> entries{{MenuEntry::duplicateScene, QStringLiteral("Duplicate Scene"), *single},
                                 {MenuEntry::rename, QStringLiteral("Rename Scene"), {}}};
        if (session->scenes.size() > 1) {
            entries.append({MenuEntry::separator, {}, {}});
            entries.append({MenuEntry::deleteItems, QStringLiteral("Delete Scene"), {}});
        }
        return entries;
    }
    return {{MenuEntry::rename, QStringLiteral("Rename Take"), {}},
            {MenuEntry::deleteItems, QStringLiteral("Delete Take"), {}}};
}

void SceneOutlineCommands::setAlertPresenter(AlertPresenter presenter)
{
    m_presenter = std::move(presenter);
}

int SceneOutlineCommands::present(const Alert &alert)
{
    // Held by the question itself, from its asking to its answer: minimized, or gone from the
    // screen with the review window, it is still asked, and what arrives meanwhile waits.
    const InteractionGate::Hold asking = InteractionGate::shared().hold(InteractionGate::Kind::asking);
    if (m_presenter)
        return m_presenter(alert);
    // On the heap and watched: the window it stands over may go, with its children, inside the
    // alert's own loop.
    const QPointer<QMessageBox> alertBox = new QMessageBox(m_outline ? m_outline->window() : nullptr);
    QMessageBox &box = *alertBox;
    box.setText(alert.message);
    box.setInformativeText(alert.informativeText);
    QList<QAbstractButton *> buttons;
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        const bool cancel = alert.buttons[i] == QLatin1String("Cancel");
        buttons << box.addButton(alert.buttons[i], cancel ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
    }
    if (!buttons.isEmpty())
        box.setDefaultButton(qobject_cast<QPushButton *>(buttons.first()));
    box.exec();
    if (!alertBox)
        return -1;
    const int chosen = int(buttons.indexOf(box.clickedButton()));
    delete alertBox.data();
    return chosen;
}

bool SceneOutlineCommands::handleCommand(const SceneOutlineCommand &command)
{
    if (!m_outline)
        return true;
    switch (command.kind) {
    case SceneOutlineCommand::beginRename:
        beginRename();
        break;
    case SceneOutlineCommand::deleteSelection:
        if (m_outline->interactionsEnabled()) {
            const SplitItems items = m_outline->selectedItems();
            confirmDelete(items.sceneIDs, items.takeIDs);
        }
        break;
    case SceneOutlineCommand::escape:
        emit m_outline->playbackKey(PlaybackKey{PlaybackKey::deselectTrim});
        break;
    case SceneOutlineCommand::jumpCheckedTake: {
        const std::optional<QUuid> target =
            nextCheckedTakeID(m_outline->focusedItemID(), m_outline->host()->currentSession(),
                              command.direction);
        if (target) {
            m_outline->changeFocusedItemID(target);
            m_outline->syncSelectionFromFocus();
            m_outline->previewItem(target);
        }
        break;
    }
    }
    return true;
}

void SceneOutlineCommands::beginRename()
{
    if (!m_outline)
        return;
    const std::optional<QUuid> item = m_outline->singleSelectedItemID();
    if (!item || !m_outline->interactionsEnabled())
        return;
    const QModelIndex index = m_outline->rowOf(*item);
    if (index.isValid())
        m_outline->edit(index);
}

void SceneOutlineCommands::commitRename(const QUuid &itemID, const QString &name)
{
    if (!m_outline || !m_outline->interactionsEnabled())
        return;
    SceneOutlineHost *host = m_outline->host();
    const std::optional<Session> session = host->currentSession();
    if (sceneIndex(session, itemID) >= 0) {
        host->renameScene(itemID, name);
    } else if (const std::optional<TakeLocation> take = takeLocation(session, itemID)) {
        host->renameTake(session->scenes[take->sceneIndex].id, itemID, name);
    }
}

void SceneOutlineCommands::toggleTakeCheck(const QUuid &takeID)
{
    if (!m_outline || !m_outline->interactionsEnabled())
        return;
    SceneOutlineHost *host = m_outline->host();
    const std::optional<Session> session = host->currentSession();
    const std::optional<TakeLocation> take = takeLocation(session, takeID);
    if (!take)
        return;
    const RecordingScene &scene = session->scenes[take->sceneIndex];
    const std::optional<QUuid> checked =
        scene.selectedTakeID == takeID ? std::nullopt : std::optional(takeID);
    host->selectTake(scene.id, checked);
}

void SceneOutlineCommands::confirmDelete(const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs)
{
    if (!m_outline)
        return;
    QPointer<SceneOutline> outline = m_outline;
    const std::optional<Session> session = outline->host()->currentSession();
    const DeletePlan plan = planDelete(session, sceneIDs, takeIDs);
    switch (plan.kind) {
    case DeletePlan::nothing:
        return;
    case DeletePlan::refuse:
        present(plan.alert);
        return;
    case DeletePlan::ask:
        // The alert runs a nested event loop: the outline may be gone when it returns.
        if (present(plan.alert) != 0 || !outline)
            return;
        break;
    case DeletePlan::deleteNow:
        break;
    }
    // Measured on the session as it is now: it may have changed while the question was up.
    const std::optional<Session> now = outline->host()->currentSession();
    const DeleteItems items = plan.kind == DeletePlan::ask ? namedItems(session, now, sceneIDs, takeIDs)
                                                           : DeleteItems{sceneIDs, takeIDs};
    if (items.isEmpty())
        return;
    const std::optional<QUuid> next = focusAfterDeleting(now, items.sceneIDs, items.takeIDs);
    outline->host()->deleteItems(items.sceneIDs, items.takeIDs);
    if (!outline)
        return;
    outline->changeFocusedItemID(next);
    outline->reloadOutline();
    outline->previewItem(next);
}

void SceneOutlineCommands::duplicateScene(const QUuid &sceneID)
{
    if (m_outline && m_outline->interactionsEnabled() && !sceneID.isNull())
        m_outline->host()->duplicateScene(sceneID);
}

std::unique_ptr<QMenu> SceneOutlineCommands::contextMenu()
{
    if (!m_outline || !m_outline->interactionsEnabled())
        return nullptr;
    const QList<MenuEntry> entries =
        menuEntries(m_outline->host()->currentSession(), m_outline->selectedItems());
    if (entries.isEmpty())
        return nullptr;
    auto menu = std::make_unique<QMenu>(m_outline);
    QPointer<SceneOutlineCommands> self = this;
    for (const MenuEntry &entry : entries) {
        if (entry.action == MenuEntry::separator) {
            menu->addSeparator();
            continue;
        }
        QAction *action = menu->addAction(entry.title);
        const QUuid item = entry.item;
        switch (entry.action) {
        case MenuEntry::duplicateScene:
            connect(action, &QAction::triggered, this, [self, item] {
                if (self)
                    self->duplicateScene(item);
            });
            break;
        case MenuEntry::rename:
            connect(action, &QAction::triggered, this, [self] {
                if (self)
                    self->beginRename();
            });
            break;
        case MenuEntry::deleteItems:
            connect(action, &QAction::triggered, this, [self] {
                if (!self || !self->m_outline || !self->m_outline->interactionsEnabled())
                    return;
                const SplitItems items = self->m_outline->selectedItems();
                self->confirmDelete(items.sceneIDs, items.takeIDs);
            });
            break;
        case MenuEntry::separator:
            break;
        }
    }
    return menu;
}

} // namespace lumacast
