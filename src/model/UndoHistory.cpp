#include "UndoHistory.h"

namespace lumacast {

namespace {

void collectFilenames(const QList<UndoHistory::Entry> &entries, QSet<QString> &names)
{
    for (const UndoHistory::Entry &entry : entries) {
        for (const RecordingScene &scene : entry.session.scenes) {
            for (const Take &take : scene.takes)
                names.insert(take.filename);
        }
    }
}

} // namespace

QSet<QString> UndoHistory::push(const QString &name, const Session &session)
{
    QSet<QString> discarded;
    collectFilenames(future, discarded);
    future.clear();
    past.append(Entry{name, session});
    const qsizetype keep = limit > 0 ? limit : 0;
    if (past.size() > keep) {
        const qsizetype excess = past.size() - keep;
        collectFilenames(past.mid(0, excess), discarded);
        past.remove(0, excess);
    }
    if (discarded.isEmpty())
        return {};
    return discarded.subtract(referencedFilenames());
}

std::optional<UndoHistory::Entry> UndoHistory::undo(const Session &current)
{
    if (past.isEmpty())
        return std::nullopt;
    Entry entry = past.takeLast();
    future.append(Entry{entry.name, current});
    return entry;
}

std::optional<UndoHistory::Entry> UndoHistory::redo(const Session &current)
{
    if (future.isEmpty())
        return std::nullopt;
    Entry entry = future.takeLast();
    past.append(Entry{entry.name, current});
    return entry;
}

QSet<QString> UndoHistory::referencedFilenames() const
{
    QSet<QString> names;
    collectFilenames(past, names);
    collectFilenames(future, names);
    return names;
}

} // namespace lumacast
