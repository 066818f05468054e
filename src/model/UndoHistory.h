#pragma once

#include "model/Session.h"

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace lumacast {

// Undo and redo over whole-session snapshots.
struct UndoHistory {
    struct Entry {
        QString name;    // the action name shown in the Undo and Redo menu items
        Session session; // the session to return to
    };

    static constexpr qsizetype defaultLimit = 150;

    QList<Entry> past;   // oldest first; the last one is undone next
    QList<Entry> future; // the last one is redone next
    qsizetype limit = defaultLimit;

    UndoHistory() = default;
    explicit UndoHistory(qsizetype limit) : limit(limit) {}

    // Records the session as it was before a change named `name`. Discards every redo step and
    // the oldest steps beyond `limit`; returns the file names that only discarded steps named.
    QSet<QString> push(const QString &name, const Session &session);

    // Steps back: returns the entry whose session becomes current (nullopt when there is none)
    // and keeps `current` for redo under the same name.
    std::optional<Entry> undo(const Session &current);
    std::optional<Entry> redo(const Session &current);

    bool canUndo() const { return !past.isEmpty(); }
    bool canRedo() const { return !future.isEmpty(); }

    // Every take file name of every stored session.
    QSet<QString> referencedFilenames() const;
};

} // namespace lumacast
