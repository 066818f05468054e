#pragma once

#include "model/Session.h"
#include "review/outline/SceneOutlineItems.h"
#include "review/outline/SceneOutlineKeyMap.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

class QMenu;

namespace lumacast {

class SceneOutline;

// The outline's editing commands, reached from keys, the context menu and the row buttons:
// rename, check, delete with its confirmation, duplicate, and jumping between checked takes.
// The host makes every document change; this class decides what to ask for and with which
// identifiers. Main thread only; the outline owns it.
class SceneOutlineCommands : public QObject {
    Q_OBJECT
public:
    // A modal question: message, informative text and buttons (the first is the default).
    struct Alert {
        QString message;
        QString informativeText;
        QStringList buttons;
        bool operator==(const Alert &) const = default;
    };
    // Shows an alert and answers the index of the chosen button (-1: dismissed).
    using AlertPresenter = std::function<int(const Alert &)>;

    // What deleting these items takes: nothing, a refusal, a question, or deleting at once.
    struct DeletePlan {
        enum Kind { nothing, refuse, ask, deleteNow };
        Kind kind = nothing;
        Alert alert; // refuse and ask
        bool operator==(const DeletePlan &) const = default;
    };

    // The scenes and takes a delete removes.
    struct DeleteItems {
        QList<QUuid> sceneIDs;
        QList<QUuid> takeIDs;
        bool isEmpty() const { return sceneIDs.isEmpty() && takeIDs.isEmpty(); }
    };

    // One line of the context menu.
    struct MenuEntry {
        enum Action { separator, duplicateScene, rename, deleteItems };
        Action action = separator;
        QString title;
        QUuid item; // duplicateScene: the scene to copy
        bool operator==(const MenuEntry &) const = default;
    };

    explicit SceneOutlineCommands(SceneOutline *outline);

    // "Delete Scene?", "Delete Take?", else "Delete <n> Items?".
    static QString deleteAlertTitle(qsizetype sceneCount, qsizetype takeCount);
    static DeletePlan planDelete(const std::optional<Session> &session, const QList<QUuid> &sceneIDs,
                                 const QList<QUuid> &takeIDs);
    // What the answer "Delete" to a question asked over `asked` removes from `now`: what the
    // question named and counted, and nothing else. A named scene that holds a take the question
    // did not count (one recorded or dropped into it since) stays with that take and loses only
    // the takes counted; nothing when `now` is another recording.
    static DeleteItems namedItems(const std::optional<Session> &asked, const std::optional<Session> &now,
                                  const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs);
    // The context menu for what is selected; empty for an empty selection.
    static QList<MenuEntry> menuEntries(const std::optional<Session> &session,
                                        const outline::SplitItems &selection);

    // Replaces the modal QMessageBox (tests answer alerts through this).
    void setAlertPresenter(AlertPresenter presenter);

    // Carries out an editing key; always true (the key is consumed).
    bool handleCommand(const SceneOutlineCommand &command);
    // Opens the rename field of the single selected row.
    void beginRename();
    void commitRename(const QUuid &itemID, const QString &name);
    void toggleTakeCheck(const QUuid &takeID);
    // Asks (or refuses) as planDelete says, deletes what the question named (namedItems), then
    // focuses and previews the item that followed the deleted block, or the one before it. The
    // interaction gate is held while a question is up, whatever becomes of its window.
    void confirmDelete(const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs);
    void duplicateScene(const QUuid &sceneID);
    // The menu for the current selection, its actions wired to this object; nullptr for none.
    std::unique_ptr<QMenu> contextMenu();

private:
    int present(const Alert &alert);

    QPointer<SceneOutline> m_outline;
    AlertPresenter m_presenter;
};

} // namespace lumacast
