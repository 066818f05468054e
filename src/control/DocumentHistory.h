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
// to any more and the recording's TakeLedger lists as Lumacast's, the 0.3 s autosave debounce
// and the save into a package. Works on the manager's fields; the manager owns it and forwards
// its public operations here. Main thread only.
class DocumentHistory {
public:
    explicit DocumentHistory(AppStateManager &manager);

    // The movies in a recording's "takes" that no take of `session` and nothing in `held` names
    // (journaled takes a crash cut off aside): `ours` the TakeLedger lists (Lumacast's, let go
    // of), `kept` the others (a user's, a sync tool's, an older build's), never deleted;
    // `stale` the ledger's names neither on the disk nor held.
    struct Unnamed {
        QStringList ours;
        QStringList kept; // sorted
        QSet<QString> stale;
    };
    static Unnamed unnamedMovies(const Session &session, const QSet<QString> &held);

    QSet<QString> checkpoint(const QString &name);
    void collectOrphanTakeFiles();
    QSet<QString> heldTakeFilenames() const;
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
