#pragma once

#include "model/Session.h"
#include "model/SessionManifest.h"

#include <QDateTime>
#include <QTimeZone>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace lumacast::testing {

inline QDateTime fixedDate(int second = 0)
{
    return QDateTime(QDate(2024, 5, 1), QTime(10, 0, second), QTimeZone::utc());
}

inline Take makeTake(const QString &filename, double duration = 10.0)
{
    Take take;
    take.id = QUuid::createUuid();
    take.filename = filename;
    take.duration = duration;
    take.recordedAt = fixedDate();
    take.trimStart = 0;
    take.trimEnd = duration;
    return take;
}

inline RecordingScene makeScene(QList<Take> takes = {}, std::optional<QString> name = std::nullopt)
{
    RecordingScene scene;
    scene.id = QUuid::createUuid();
    scene.name = std::move(name);
    scene.takes = std::move(takes);
    return scene;
}

inline SessionManifest::TakeManifest makeTakeManifest(const QString &filename,
                                                      double duration = 10.0)
{
    SessionManifest::TakeManifest take;
    take.id = QUuid::createUuid();
    take.filename = filename;
    take.duration = duration;
    take.recordedAt = fixedDate();
    return take;
}

// A valid manifest of `sceneCount` scenes with `takesPerScene` takes each, named "s<i>t<j>.mov".
inline SessionManifest makeManifest(int sceneCount = 1, int takesPerScene = 1)
{
    SessionManifest manifest;
    manifest.sessionID = QUuid::createUuid();
    manifest.createdAt = fixedDate();
    for (int i = 0; i < sceneCount; ++i) {
        SessionManifest::SceneManifest scene;
        scene.id = QUuid::createUuid();
        for (int j = 0; j < takesPerScene; ++j)
            scene.takes.append(makeTakeManifest(QStringLiteral("s%1t%2.mov").arg(i).arg(j)));
        manifest.scenes.append(scene);
    }
    return manifest;
}

// The message of the ValidationError that validate() throws, or "" when it passes.
inline QString validationMessage(const SessionManifest &manifest)
{
    try {
        manifest.validate();
    } catch (const SessionManifest::ValidationError &error) {
        return error.message();
    }
    return QString();
}

// The message of the DecodeError for these bytes, or "" when they decode.
inline QString decodeMessage(const QByteArray &data)
{
    try {
        SessionManifest::fromJson(data);
    } catch (const SessionManifest::DecodeError &error) {
        return error.message();
    }
    return QString();
}

inline QByteArray toBytes(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace lumacast::testing
