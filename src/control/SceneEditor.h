#pragma once

#include "model/Session.h"

#include <QList>
#include <QString>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

namespace lumacast {

class AppStateManager;

// The editing operations on the current session: checking a take per scene, trimming,
// renaming, duplicating, deleting, moving and reordering, each one undo step, plus the small
// updates without undo. Each works on a copy of the session and publishes it whole. The
// manager owns it and forwards its public operations here. Main thread only.
class SceneEditor {
public:
    explicit SceneEditor(AppStateManager &manager);

    void selectTake(const QUuid &sceneID, const std::optional<QUuid> &takeID);
    void setTakeTrim(const QUuid &sceneID, const QUuid &takeID, double start, double end);
    void setTrimLive(const QUuid &sceneID, const QUuid &takeID, double start, double end);
    void renameScene(const QUuid &sceneID, const QString &name);
    void renameTake(const QUuid &sceneID, const QUuid &takeID, const QString &name);
    QCoro::Task<> duplicateScene(QUuid sceneID);
    void reorderScenes(const QList<QUuid> &sceneIDs, qsizetype toOffset);
    void deleteItems(const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs);
    void moveTakes(const QList<QUuid> &takeIDs, const QUuid &destinationSceneID);
    void setCurrentScene(const QUuid &sceneID);
    void correctTakeDuration(double duration, const QUuid &sceneID, const QUuid &takeID);
    void setTakePlayhead(double position, const QUuid &sceneID, const QUuid &takeID);
    void updateTake(const QUuid &sceneID, const QUuid &takeID, const std::function<void(Take &)> &mutator);

private:
    // The undoable pattern's tail: dirty, publish, autosave, and the clean-up when the
    // checkpoint released files (or always).
    void commit(Session session, const QSet<QString> &released, bool alwaysCollect = false);
    void applyTrim(const QUuid &sceneID, const QUuid &takeID, double start, double end, bool undoable);
    // No edit while a tail operation is live, or while files of the recording are copied (what
    // the copy was made for would meet another recording).
    bool held() const;
    void history(const QString &line);

    AppStateManager &m;
};

} // namespace lumacast
