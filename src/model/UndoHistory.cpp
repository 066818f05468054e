#include "UndoHistory.h"

#include <functional>
#include <utility>

namespace lumacast {

namespace {

// A list's storage by address and length: equal keys mean one shared, unchanged list.
using SeenLists = QSet<std::pair<const void *, qsizetype>>;

// Calls `visit` with every take of every entry. Snapshots share their unchanged scene and take
// lists (implicit sharing), so a list already seen is skipped: with a full history of a large
// session this is the difference between visiting every take 150 times and visiting it once.
void forEachTake(const QList<UndoHistory::Entry> &entries, SeenLists &seen,
                 const std::function<void(const Take &)> &visit)
{
    for (const UndoHistory::Entry &entry : entries) {
        const QList<RecordingScene> &scenes = entry.session.scenes;
        const std::pair<const void *, qsizetype> sceneKey(scenes.constData(), scenes.size());
        if (scenes.isEmpty() || seen.contains(sceneKey))
            continue;
        seen.insert(sceneKey);
        for (const RecordingScene &scene : scenes) {
            const std::pair<const void *, qsizetype> takeKey(scene.takes.constData(),
                                                             scene.takes.size());
            if (scene.takes.isEmpty() || seen.contains(takeKey))
                continue;
            seen.insert(takeKey);
            for (const Take &take : scene.takes)
                visit(take);
        }
    }
}

void collectFilenames(const QList<UndoHistory::Entry> &entries, SeenLists &seen,
                      QSet<QString> &names)
{
    forEachTake(entries, seen, [&](const Take &take) { names.insert(take.filename); });
}

} // namespace

QSet<QString> UndoHistory::push(const QString &name, const Session &session)
{
    QSet<QString> discarded;
    {
        // The discarded entries stay alive until both are read, so that no list they own can
        // be freed and its address reused while `seen` still holds it.
        const QList<Entry> discardedFuture = std::exchange(future, {});
        past.append(Entry {name, session});
        const qsizetype keep = limit > 0 ? limit : 0;
        const qsizetype excess = past.size() > keep ? past.size() - keep : 0;
        const QList<Entry> discardedPast = past.first(excess);
        past.remove(0, excess);
        SeenLists seen;
        collectFilenames(discardedFuture, seen, discarded);
        collectFilenames(discardedPast, seen, discarded);
    }
    if (discarded.isEmpty())
        return {};
    // Keep only the names that no remaining entry refers to.
    SeenLists seen;
    forEachTake(past, seen, [&](const Take &take) { discarded.remove(take.filename); });
    return discarded;
}

std::optional<UndoHistory::Entry> UndoHistory::undo(const Session &current)
{
    if (past.isEmpty())
        return std::nullopt;
    Entry entry = past.takeLast();
    future.append(Entry {entry.name, current});
    return entry;
}

std::optional<UndoHistory::Entry> UndoHistory::redo(const Session &current)
{
    if (future.isEmpty())
        return std::nullopt;
    Entry entry = future.takeLast();
    past.append(Entry {entry.name, current});
    return entry;
}

QSet<QString> UndoHistory::referencedFilenames() const
{
    QSet<QString> names;
    SeenLists seen;
    collectFilenames(past, seen, names);
    collectFilenames(future, seen, names);
    return names;
}

} // namespace lumacast
