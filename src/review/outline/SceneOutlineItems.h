#pragma once

#include "model/Session.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QUuid>

#include <optional>

// Questions the scene outline asks of a session value: which rows it has, in which order, and
// what a row is. Pure functions on values; main thread or any other, no failure beyond "absent".
namespace lumacast::outline {

// The identifiers of a selection or a drag, split against a session.
struct SplitItems {
    QList<QUuid> sceneIDs; // in scene order
    QList<QUuid> takeIDs;  // in outline order; takes of a listed scene are left out
    bool operator==(const SplitItems &) const = default;
    bool isEmpty() const { return sceneIDs.isEmpty() && takeIDs.isEmpty(); }
};

struct TakeLocation {
    qsizetype sceneIndex = -1;
    qsizetype takeIndex = -1; // position inside the scene's takes
};

// Every scene's id followed by its takes' ids, scene after scene (collapsed scenes included).
QList<QUuid> outlineOrder(const std::optional<Session> &session);

// Position of the scene with this id, or -1 (also without a session).
qsizetype sceneIndex(const std::optional<Session> &session, const QUuid &sceneID);
// The first take with this id, scenes searched in order.
std::optional<TakeLocation> takeLocation(const std::optional<Session> &session, const QUuid &takeID);

// Matches a set of identifiers against the session: a listed scene takes the place of its
// takes; identifiers that name nothing drop out.
SplitItems splitItems(const std::optional<Session> &session, const QSet<QUuid> &items);

// The single identifier of a split, or absent when it holds none or several.
std::optional<QUuid> singleItem(const SplitItems &items);

// The summary the outline reloads on: current scene, take under review, and every scene's and
// take's id, name, check and kept length. Names go in unescaped.
QString outlineSignature(const std::optional<Session> &session,
                         const std::optional<QUuid> &pendingTakeID);

// The nearest checked take after (direction >= 1) or before `current` in outline order, without
// wrapping; from an unknown or absent `current`, the first (or last) checked take.
std::optional<QUuid> nextCheckedTakeID(const std::optional<QUuid> &current,
                                       const std::optional<Session> &session, int direction);

// The item to focus once these scenes (with their takes) and takes are gone: the first survivor
// after the first removed row, else the nearest survivor before it.
std::optional<QUuid> focusAfterDeleting(const std::optional<Session> &session,
                                        const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs);

// Full path of a take's movie: the package (or the scratch folder without one), "takes", the
// file name. Empty for a file name that could leave the "takes" folder.
QString takeMoviePath(const Session &session, const Take &take);

// "%d:%02d" of whole minutes and seconds, the seconds truncated toward zero.
QString keptLengthText(double seconds);

// "Scene N" / "Take N" unless the record has a name; positions counted from 0.
QString sceneDisplayName(const RecordingScene &scene, qsizetype index);
QString takeDisplayName(const Take &take, qsizetype index);

} // namespace lumacast::outline
