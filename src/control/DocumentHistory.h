#pragma once

#include "model/Session.h"

#include <QSet>
#include <QString>

#include <qcoro/qcorotask.h>

#include <optional>

namespace lumacast {

class AppStateManager;

// The state manager's document history: undo checkpoints (whole-session snapshots under an
// action name, "Trim" steps merged), undo and redo, the clean-up of take movies nothing refers
// to any more, the 0.3 s autosave debounce and the save into a package. Works on the manager's
// fields; the manager owns it and forwards its public operations here. Main thread only.
class DocumentHistory {
public:
    explicit DocumentHistory(AppStateManager &manager);

    QSet<QString> checkpoint(const QString &name);
    void collectOrphanTakeFiles();
    void scheduleSave();
    void autoSave();
    QCoro::Task<> saveSession(QString url); // throws the store's error
    void saveIfPackaged();
    void syncUndoState();
    void undo();
    void redo();
    void applySnapshot(const Session &snapshot);
    // Forgets every step: the session it belonged to is no longer the current one.
    void reset();

private:
    enum class Direction { undo, redo };
    // Writes the manifest into the recording's folder; the failure's description, said nowhere.
    std::optional<QString> writeManifest();
    // Writes a save still pending now, quietly; one that fails stays pending.
    void writePendingSave();
    void performUndoRedo(Direction direction);

    AppStateManager &m;
};

} // namespace lumacast
