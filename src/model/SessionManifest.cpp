#include "SessionManifest.h"

#include "LogCategories.h"
#include "NumberFormat.h"
#include "RecordCoding.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace lumacast {

namespace {

using TakeManifest = SessionManifest::TakeManifest;
using SceneManifest = SessionManifest::SceneManifest;
using ValidationError = SessionManifest::ValidationError;

QString quoted(const QString &filename)
{
    return QLatin1Char('"') + filename + QLatin1Char('"');
}

QJsonObject encodeTake(const TakeManifest &take, const QString &path)
{
    QJsonObject object = record_coding::writeTake(take, path);
    if (take.trimStart)
        object.insert(QStringLiteral("trimStart"),
                      encodeNumber(*take.trimStart, record_coding::keyPath(path, QStringLiteral("trimStart"))));
    if (take.trimEnd)
        object.insert(QStringLiteral("trimEnd"),
                      encodeNumber(*take.trimEnd, record_coding::keyPath(path, QStringLiteral("trimEnd"))));
    return object;
}

TakeManifest decodeTake(const JsonObjectReader &reader)
{
    TakeManifest take;
    record_coding::readTake(reader, take);
    take.trimStart = reader.optionalNumber(QStringLiteral("trimStart"));
    take.trimEnd = reader.optionalNumber(QStringLiteral("trimEnd"));
    return take;
}

// Copies what a take and its manifest record hold alike; their trims differ in kind and are
// converted by the caller.
template<typename From, typename To>
void copyTakeRecord(const From &from, To &to)
{
    to.id = from.id;
    to.filename = from.filename;
    to.duration = from.duration;
    to.recordedAt = from.recordedAt;
    to.name = from.name;
    to.playheadPosition = from.playheadPosition;
}

// A scene record of the other kind, each of its takes converted by `convertTake`.
template<typename ToScene, typename FromScene, typename ConvertTake>
ToScene convertScene(const FromScene &from, ConvertTake convertTake)
{
    ToScene to;
    to.id = from.id;
    to.name = from.name;
    to.selectedTakeID = from.selectedTakeID;
    to.takes.reserve(from.takes.size());
    for (const auto &take : from.takes)
        to.takes.append(convertTake(take));
    return to;
}

[[noreturn]] void trimEndExceedsDuration(const TakeManifest &take)
{
    throw ValidationError(QStringLiteral("Take ") + quoted(take.filename)
                          + QStringLiteral(" trimEnd ") + formatDouble(*take.trimEnd)
                          + QStringLiteral(" exceeds duration ") + formatDouble(take.duration)
                          + QStringLiteral("."));
}

} // namespace

SessionManifest::SessionManifest(const Session &session)
    : schemaVersion(currentSchemaVersion), sessionID(session.id), createdAt(session.createdAt),
      currentSceneIndex(session.currentSceneIndex)
{
    scenes.reserve(session.scenes.size());
    for (const RecordingScene &scene : session.scenes) {
        scenes.append(convertScene<SceneManifest>(scene, [](const Take &take) {
            TakeManifest takeManifest;
            copyTakeRecord(take, takeManifest);
            if (take.trimStart > 0)
                takeManifest.trimStart = take.trimStart;
            if (take.trimEnd < take.duration)
                takeManifest.trimEnd = take.trimEnd;
            return takeManifest;
        }));
    }
}

void SessionManifest::validate() const
{
    if (schemaVersion != currentSchemaVersion)
        throw ValidationError(QStringLiteral("Unsupported schema version ")
                              + QString::number(schemaVersion) + QStringLiteral(" (expected 1)."));
    if (scenes.isEmpty())
        throw ValidationError(QStringLiteral("Session has no scenes."));
    if (currentSceneIndex < 0 || currentSceneIndex >= scenes.size())
        throw ValidationError(QStringLiteral("currentSceneIndex ")
                              + QString::number(currentSceneIndex)
                              + QStringLiteral(" is out of range (0..<")
                              + QString::number(scenes.size()) + QStringLiteral(")."));
    {
        QSet<QUuid> sceneIDs;
        for (const SceneManifest &scene : scenes)
            sceneIDs.insert(scene.id);
        if (sceneIDs.size() != scenes.size())
            throw ValidationError(QStringLiteral("Duplicate scene IDs found."));
    }

    QSet<QUuid> takeIDsSeen;
    QSet<QString> filenamesSeen;
    for (qsizetype index = 0; index < scenes.size(); ++index) {
        const SceneManifest &scene = scenes[index];
        const QString number = QString::number(index + 1);

        QSet<QUuid> sceneTakeIDs;
        for (const TakeManifest &take : scene.takes)
            sceneTakeIDs.insert(take.id);
        if (sceneTakeIDs.size() != scene.takes.size())
            throw ValidationError(QStringLiteral("Scene ") + number
                                  + QStringLiteral(" has duplicate take IDs."));
        if (scene.selectedTakeID && !sceneTakeIDs.contains(*scene.selectedTakeID))
            throw ValidationError(
                QStringLiteral("Scene ") + number + QStringLiteral(" selectedTakeID ")
                + formatUuid(*scene.selectedTakeID) + QStringLiteral(" does not match any take."));

        for (const TakeManifest &take : scene.takes) {
            if (takeIDsSeen.contains(take.id))
                throw ValidationError(QStringLiteral("Take ID ") + formatUuid(take.id)
                                      + QStringLiteral(" appears in multiple scenes."));
            takeIDsSeen.insert(take.id);

            const QString name = quoted(take.filename);
            if (filenamesSeen.contains(take.filename)) {
                // Two takes sharing one movie is survivable; refusing the document would not be.
                qCCritical(log::persistence()).noquote() << QStringLiteral("Duplicate filename ")
                        + name + QStringLiteral(" across scenes");
            } else {
                filenamesSeen.insert(take.filename);
            }

            if (take.duration < 0)
                throw ValidationError(QStringLiteral("Take ") + name
                                      + QStringLiteral(" has negative duration ")
                                      + formatDouble(take.duration) + QStringLiteral("."));
            if (take.filename.isEmpty())
                throw ValidationError(QStringLiteral("A take in scene ") + number
                                      + QStringLiteral(" has an empty filename."));
            if (!take.filename.endsWith(QStringLiteral(".mov")))
                throw ValidationError(QStringLiteral("Take ") + name
                                      + QStringLiteral(" does not have a .mov extension."));
            if (take.filename.contains(QLatin1Char('/'))
                || take.filename.contains(QStringLiteral("..")))
                throw ValidationError(QStringLiteral("Take filename ") + name
                                      + QStringLiteral(" contains invalid path characters."));
            if (take.trimStart) {
                if (*take.trimStart < 0)
                    throw ValidationError(QStringLiteral("Take ") + name
                                          + QStringLiteral(" has negative trimStart ")
                                          + formatDouble(*take.trimStart) + QStringLiteral("."));
                if (take.trimEnd) {
                    if (*take.trimEnd > take.duration)
                        trimEndExceedsDuration(take);
                    if (*take.trimStart >= *take.trimEnd
                        && !(*take.trimStart == 0 && *take.trimEnd == 0))
                        throw ValidationError(
                            QStringLiteral("Take ") + name + QStringLiteral(" trimStart ")
                            + formatDouble(*take.trimStart) + QStringLiteral(" >= trimEnd ")
                            + formatDouble(*take.trimEnd) + QStringLiteral("."));
                }
            } else if (take.trimEnd && *take.trimEnd > take.duration) {
                trimEndExceedsDuration(take);
            }
        }
    }
}

Session SessionManifest::makeSession(const QString &scratchURL,
                                     const std::optional<QString> &bundleURL) const
{
    validate();
    Session session;
    session.id = sessionID;
    session.createdAt = createdAt;
    session.currentSceneIndex = currentSceneIndex;
    session.scratchURL = scratchURL;
    session.bundleURL = bundleURL;
    session.isDirty = false;
    session.scenes.reserve(scenes.size());
    for (const SceneManifest &sceneManifest : scenes) {
        session.scenes.append(convertScene<RecordingScene>(sceneManifest, [](const TakeManifest &takeManifest) {
            Take take;
            copyTakeRecord(takeManifest, take);
            take.trimStart = takeManifest.trimStart.value_or(0);
            take.trimEnd = takeManifest.trimEnd.value_or(takeManifest.duration);
            // Validation lets some inverted or out-of-range trims through (so that such a
            // recording still opens); everything downstream expects 0 <= start < end <= duration.
            take.clampTrims();
            return take;
        }));
    }
    return session;
}

QByteArray SessionManifest::toJson() const
{
    QJsonObject root;
    root.insert(QStringLiteral("schemaVersion"), QJsonValue(schemaVersion));
    root.insert(QStringLiteral("sessionID"), formatUuid(sessionID));
    root.insert(QStringLiteral("createdAt"), encodeDate(createdAt, QStringLiteral("createdAt")));
    root.insert(QStringLiteral("currentSceneIndex"), QJsonValue(currentSceneIndex));
    QJsonArray sceneArray;
    for (qsizetype i = 0; i < scenes.size(); ++i)
        sceneArray.append(
            record_coding::writeScene(scenes[i], QStringLiteral("scenes[%1]").arg(i), encodeTake));
    root.insert(QStringLiteral("scenes"), sceneArray);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

SessionManifest SessionManifest::fromJson(const QByteArray &data)
{
    const JsonObjectReader reader(parseJsonObject(data), QString());
    SessionManifest manifest;
    manifest.schemaVersion = reader.integer(QStringLiteral("schemaVersion"));
    manifest.sessionID = reader.uuid(QStringLiteral("sessionID"));
    manifest.createdAt = reader.date(QStringLiteral("createdAt"));
    manifest.scenes = reader.objects(QStringLiteral("scenes"), [](const JsonObjectReader &scene) {
        return record_coding::readScene<SceneManifest>(scene, decodeTake);
    });
    manifest.currentSceneIndex = reader.integer(QStringLiteral("currentSceneIndex"));
    return manifest;
}

qsizetype SessionManifest::takeCount() const
{
    qsizetype count = 0;
    for (const SceneManifest &scene : scenes)
        count += scene.takes.size();
    return count;
}

} // namespace lumacast
