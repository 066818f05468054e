#pragma once

#include "model/JsonCoding.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// The JSON shapes that a take or scene record and its manifest record share. The two kinds differ
// only in their trims: a take always has them, its manifest holds them only when they cut
// something, so each kind codes the trims itself.
namespace lumacast::record_coding {

inline QString keyPath(const QString &path, const QString &key)
{
    return path.isEmpty() ? key : path + QLatin1Char('.') + key;
}

// Every take key but the trims.
template<typename TakeRecord>
void readTake(const JsonObjectReader &reader, TakeRecord &take)
{
    take.id = reader.uuid(QStringLiteral("id"));
    take.filename = reader.string(QStringLiteral("filename"));
    take.duration = reader.number(QStringLiteral("duration"));
    take.recordedAt = reader.date(QStringLiteral("recordedAt"));
    take.name = reader.optionalString(QStringLiteral("name"));
    take.playheadPosition = reader.optionalNumber(QStringLiteral("playheadPosition"));
}

// Every take key but the trims; `path` names the take in encoding errors.
template<typename TakeRecord>
QJsonObject writeTake(const TakeRecord &take, const QString &path)
{
    QJsonObject object;
    object.insert(QStringLiteral("id"), formatUuid(take.id));
    object.insert(QStringLiteral("filename"), take.filename);
    object.insert(QStringLiteral("duration"),
                  encodeNumber(take.duration, keyPath(path, QStringLiteral("duration"))));
    object.insert(QStringLiteral("recordedAt"),
                  encodeDate(take.recordedAt, keyPath(path, QStringLiteral("recordedAt"))));
    if (take.name)
        object.insert(QStringLiteral("name"), *take.name);
    if (take.playheadPosition)
        object.insert(QStringLiteral("playheadPosition"),
                      encodeNumber(*take.playheadPosition,
                                   keyPath(path, QStringLiteral("playheadPosition"))));
    return object;
}

// A whole scene; `readTake` reads one element of "takes".
template<typename SceneRecord, typename ReadTake>
SceneRecord readScene(const JsonObjectReader &reader, ReadTake readTake)
{
    SceneRecord scene;
    scene.id = reader.uuid(QStringLiteral("id"));
    scene.name = reader.optionalString(QStringLiteral("name"));
    scene.takes = reader.objects(QStringLiteral("takes"), readTake);
    scene.selectedTakeID = reader.optionalUuid(QStringLiteral("selectedTakeID"));
    return scene;
}

// A whole scene; `writeTake(take, takePath)` writes one element of "takes".
template<typename SceneRecord, typename WriteTake>
QJsonObject writeScene(const SceneRecord &scene, const QString &path, WriteTake writeTake)
{
    QJsonObject object;
    object.insert(QStringLiteral("id"), formatUuid(scene.id));
    if (scene.name)
        object.insert(QStringLiteral("name"), *scene.name);
    QJsonArray takes;
    for (qsizetype i = 0; i < scene.takes.size(); ++i)
        takes.append(writeTake(scene.takes[i],
                               keyPath(path, QStringLiteral("takes[%1]").arg(i))));
    object.insert(QStringLiteral("takes"), takes);
    if (scene.selectedTakeID)
        object.insert(QStringLiteral("selectedTakeID"), formatUuid(*scene.selectedTakeID));
    return object;
}

} // namespace lumacast::record_coding
