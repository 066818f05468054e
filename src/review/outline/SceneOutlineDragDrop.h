#pragma once

#include "model/Session.h"
#include "review/outline/SceneOutlineItems.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

class QMimeData;

namespace lumacast {

// The outline's drag payloads and what a drop means. Pure functions on values (main thread in
// practice); a payload that cannot be read is skipped, never reported.
//
// One dragged row is one payload string: "scene|<scene uuid>" or "take|<take uuid>|<scene uuid>".
// A drag of several rows carries their payloads one per line under the MIME type.
struct SceneOutlineDragDrop {
    // The application's reverse-DNS identifier followed by ".scenetree.item".
    static const QString &mimeType();

    static QString scenePayload(const QUuid &sceneID);
    static QString takePayload(const QUuid &takeID, const QUuid &sceneID);

    // One payload per row of the drag; nullptr when there is none.
    static QMimeData *encode(const QStringList &payloads);
    // The identifiers named by the payloads of `data` (duplicates kept), in payload order.
    // Lines with fewer than two non-empty "|" pieces, or whose second piece is not a UUID, are
    // skipped; the kind word is not looked at.
    static QList<QUuid> decode(const QMimeData *data);
    static QList<QUuid> parsePayloads(const QByteArray &bytes);

    // One call a drop turns into.
    struct Drop {
        enum Kind { none, reorderScenes, moveTakes };
        Kind kind = none;
        QList<QUuid> ids;          // the scenes or takes to move
        qsizetype position = 0;    // reorderScenes: index before the move; scene count = end
        QUuid destinationSceneID;  // moveTakes
        bool operator==(const Drop &) const = default;
    };

    // A drop of `dragged` onto `item` (absent: the top level), at `childIndex` among its
    // children (-1: onto the item itself, or onto the empty area at the top level). Whichever
    // of scenes or takes comes first in outline order decides what moves; the other kind is
    // ignored.
    static Drop resolve(const std::optional<Session> &session, const QList<QUuid> &dragged,
                        const std::optional<QUuid> &item, int childIndex);
};

} // namespace lumacast
