#pragma once

#include "model/Session.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>

#include <optional>

namespace lumacast {

// What the scene outline reads and asks of the application's state: the open session, the take
// under review, whether editing is allowed, and the editing operations, named and meaning as the
// state manager's own. The state manager implements it (main thread only); after any change of
// what the getters answer it emits `changed`, by which time the getters already answer anew.
// Every operation records its own undo step, history line and autosave, and does nothing for
// identifiers it does not find; the outline never changes the session itself.
class SceneOutlineHost : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // The open session; absent when no recording is open.
    virtual std::optional<Session> currentSession() const = 0;
    // The take just recorded and under review, until it is approved or deleted.
    virtual std::optional<QUuid> pendingTakeID() const = 0;
    // False while a tail operation is live: no rename, check, delete, duplicate, drag or drop.
    virtual bool interactionsEnabled() const = 0;

    // Makes that scene the current one (no undo step); runs also during a tail operation.
    virtual void setCurrentScene(const QUuid &sceneID) = 0;
    // An empty name clears the stored name, so the row shows its default name again.
    virtual void renameScene(const QUuid &sceneID, const QString &name) = 0;
    virtual void renameTake(const QUuid &sceneID, const QUuid &takeID, const QString &name) = 0;
    // Checks the take in its scene, or unchecks the scene when `takeID` is absent.
    virtual void selectTake(const QUuid &sceneID, const std::optional<QUuid> &takeID) = 0;
    // Removes the scenes (with their takes) and the takes; a session keeps at least one scene.
    virtual void deleteItems(const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs) = 0;
    // Inserts a copy (fresh ids, copied movies) right after the scene; a failed copy is alerted
    // by the host.
    virtual void duplicateScene(const QUuid &sceneID) = 0;
    // Appends the takes, in the given order, to the end of the destination scene.
    virtual void moveTakes(const QList<QUuid> &takeIDs, const QUuid &destinationSceneID) = 0;
    // Moves the scenes, keeping their order, to `destination`: an index into the scene list as
    // it was before the move; the number of scenes means the end.
    virtual void reorderScenes(const QList<QUuid> &sceneIDs, qsizetype destination) = 0;

signals:
    void changed();
};

} // namespace lumacast
