#include "review/outline/SceneOutlineDragDrop.h"

#include "model/LogCategories.h"

#include <QMimeData>
#include <QSet>

namespace lumacast {

using namespace outline;

const QString &SceneOutlineDragDrop::mimeType()
{
    static const QString type = QString::fromLatin1(kApplicationIdentifier) + QStringLiteral(".scenetree.item");
    return type;
}

static QString uuidText(const QUuid &id)
{
    return id.toString(QUuid::WithoutBraces);
}

QString SceneOutlineDragDrop::scenePayload(const QUuid &sceneID)
{
    return QStringLiteral("scene|") + uuidText(sceneID);
}

QString SceneOutlineDragDrop::takePayload(const QUuid &takeID, const QUuid &sceneID)
{
    return QStringLiteral("take|") + uuidText(takeID) + u'|' + uuidText(sceneID);
}

QMimeData *SceneOutlineDragDrop::encode(const QStringList &payloads)
{
    if (payloads.isEmpty())
        return nullptr;
    auto *data = new QMimeData;
    data->setData(mimeType(), payloads.join(u'\n').toUtf8());
    return data;
}

QList<QUuid> SceneOutlineDragDrop::parsePayloads(const QByteArray &bytes)
{
    QList<QUuid> ids;
    const QStringList lines = QString::fromUtf8(bytes).split(u'\n', Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QStringList pieces = line.split(u'|', Qt::SkipEmptyParts);
        if (pieces.size() < 2)
            continue;
        const QString &idText = pieces[1];
        if (idText.size() != 36)
            continue; // only the plain hyphenated form is ever written
        const QUuid id = QUuid::fromString(idText);
        if (id.isNull())
            continue;
        ids.append(id);
    }
    return ids;
}

QList<QUuid> SceneOutlineDragDrop::decode(const QMimeData *data)
{
    if (!data || !data->hasFormat(mimeType()))
        return {};
    return parsePayloads(data->data(mimeType()));
}

SceneOutlineDragDrop::Drop SceneOutlineDragDrop::resolve(const std::optional<Session> &session,
                                                         const QList<QUuid> &dragged,
                                                         const std::optional<QUuid> &item,
                                                         int childIndex)
{
    const QSet<QUuid> draggedSet(dragged.begin(), dragged.end());
    const SplitItems split = splitItems(session, draggedSet);
    std::optional<QUuid> first;
    for (const QUuid &id : outlineOrder(session)) {
        if (draggedSet.contains(id)) {
            first = id;
            break;
        }
    }
    if (!first)
        return {};
    const qsizetype sceneCount = session ? session->scenes.size() : 0;
    const std::optional<TakeLocation> itemTake = item ? takeLocation(session, *item) : std::nullopt;
    const qsizetype itemScene = item ? sceneIndex(session, *item) : -1;

    Drop drop;
    if (sceneIndex(session, *first) >= 0) {
        drop.kind = Drop::reorderScenes;
        drop.ids = split.sceneIDs;
        if (itemScene >= 0)
            drop.position = itemScene;
        else if (itemTake)
            drop.position = itemTake->sceneIndex;
        else
            drop.position = childIndex >= 0 ? childIndex : sceneCount;
        return drop;
    }

    // An item that names no scene is taken for a take; one deleted meanwhile gives no scene.
    qsizetype destination = -1;
    if (itemScene >= 0)
        destination = itemScene;
    else if (item)
        destination = itemTake ? itemTake->sceneIndex : -1;
    else if (sceneCount > 0)
        destination = std::clamp<qsizetype>(childIndex, 0, sceneCount - 1);
    if (destination < 0 || split.takeIDs.isEmpty())
        return {};
    drop.kind = Drop::moveTakes;
    drop.ids = split.takeIDs;
    drop.destinationSceneID = session->scenes[destination].id;
    return drop;
}

} // namespace lumacast
