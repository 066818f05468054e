#pragma once

#include "model/Session.h"

#include <QDateTime>
#include <QTimeZone>
#include <QList>
#include <QUuid>

#include <optional>

// Session records for tests that only need their shape; link the test with lumacast_model.
namespace lumacast::testing {

// A take of a movie `duration` seconds long that keeps [trimStart, trimEnd].
inline Take makeTrimmedTake(const QString &filename, double duration, double trimStart,
                            double trimEnd, std::optional<QString> name = std::nullopt)
{
    Take take;
    take.id = QUuid::createUuid();
    take.filename = filename;
    take.duration = duration;
    // Whole seconds, as the stored form keeps them, so that a take survives a save unchanged.
    take.recordedAt = QDateTime::fromSecsSinceEpoch(1'700'000'000, QTimeZone::utc());
    take.name = std::move(name);
    take.trimStart = trimStart;
    take.trimEnd = trimEnd;
    return take;
}

// A scene of `takes` whose checked take is the one at position `checked`, if any.
inline RecordingScene makeCheckedScene(QList<Take> takes, std::optional<qsizetype> checked,
                                       std::optional<QString> name = std::nullopt)
{
    RecordingScene scene;
    scene.id = QUuid::createUuid();
    scene.name = std::move(name);
    scene.takes = std::move(takes);
    if (checked)
        scene.selectedTakeID = scene.takes[*checked].id;
    return scene;
}

} // namespace lumacast::testing
