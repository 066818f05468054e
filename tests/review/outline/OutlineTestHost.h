#pragma once

#include "review/outline/SceneOutlineHost.h"
#include "support/SessionRecords.h"

#include <QStringList>

#include <algorithm>

// A host over a session value that carries out the edits the simple way and writes each call
// into `calls` ("renameScene <scene> <name>", ids as "S0", "S0T1" by position at call time).
namespace lumacast::testing {

class OutlineTestHost : public SceneOutlineHost {
public:
    std::optional<Session> session;
    std::optional<QUuid> pending;
    bool interactions = true;
    QStringList calls;

    // Scenes of the given take counts; takes last 10 s each, named by default.
    explicit OutlineTestHost(const QList<int> &takeCounts)
    {
        Session value;
        value.id = QUuid::createUuid();
        value.scratchURL = QStringLiteral("/scratch");
        for (int count : takeCounts) {
            QList<Take> takes;
            for (int t = 0; t < count; ++t)
                takes << makeTrimmedTake(QStringLiteral("t%1.mov").arg(t), 10, 0, 10);
            value.scenes << makeCheckedScene(takes, std::nullopt);
        }
        session = value;
    }

    QUuid scene(int s) const { return session->scenes[s].id; }
    QUuid take(int s, int t) const { return session->scenes[s].takes[t].id; }
    QString label(const QUuid &id) const
    {
        for (qsizetype s = 0; s < session->scenes.size(); ++s) {
            if (session->scenes[s].id == id)
                return QStringLiteral("S%1").arg(s);
            for (qsizetype t = 0; t < session->scenes[s].takes.size(); ++t) {
                if (session->scenes[s].takes[t].id == id)
                    return QStringLiteral("S%1T%2").arg(s).arg(t);
            }
        }
        return QStringLiteral("?");
    }
    QString labels(const QList<QUuid> &ids) const
    {
        QStringList out;
        for (const QUuid &id : ids)
            out << label(id);
        return out.join(u',');
    }
    void publish() { emit changed(); }

    std::optional<Session> currentSession() const override { return session; }
    std::optional<QUuid> pendingTakeID() const override { return pending; }
    bool interactionsEnabled() const override { return interactions; }

    void setCurrentScene(const QUuid &sceneID) override
    {
        calls << QStringLiteral("setCurrentScene ") + label(sceneID);
        for (qsizetype s = 0; s < session->scenes.size(); ++s) {
            if (session->scenes[s].id == sceneID)
                session->currentSceneIndex = s;
        }
        publish();
    }
    void renameScene(const QUuid &sceneID, const QString &name) override
    {
        calls << QStringLiteral("renameScene %1 %2").arg(label(sceneID), name);
        for (RecordingScene &scene : session->scenes) {
            if (scene.id == sceneID)
                scene.name = name.isEmpty() ? std::nullopt : std::optional(name);
        }
        publish();
    }
    void renameTake(const QUuid &sceneID, const QUuid &takeID, const QString &name) override
    {
        calls << QStringLiteral("renameTake %1 %2 %3").arg(label(sceneID), label(takeID), name);
        for (RecordingScene &scene : session->scenes) {
            for (Take &take : scene.takes) {
                if (scene.id == sceneID && take.id == takeID)
                    take.name = name.isEmpty() ? std::nullopt : std::optional(name);
            }
        }
        publish();
    }
    void selectTake(const QUuid &sceneID, const std::optional<QUuid> &takeID) override
    {
        calls << QStringLiteral("selectTake %1 %2").arg(label(sceneID), takeID ? label(*takeID) : "-");
        for (RecordingScene &scene : session->scenes) {
            if (scene.id == sceneID)
                scene.selectedTakeID = takeID;
        }
        publish();
    }
    void deleteItems(const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs) override
    {
        calls << QStringLiteral("deleteItems %1 / %2").arg(labels(sceneIDs), labels(takeIDs));
        for (const QUuid &id : takeIDs) {
            for (RecordingScene &scene : session->scenes)
                scene.removeTake(id);
        }
        for (const QUuid &id : sceneIDs)
            session->removeScene(id);
        publish();
    }
    void duplicateScene(const QUuid &sceneID) override
    {
        calls << QStringLiteral("duplicateScene ") + label(sceneID);
    }
    void moveTakes(const QList<QUuid> &takeIDs, const QUuid &destinationSceneID) override
    {
        calls << QStringLiteral("moveTakes %1 -> %2").arg(labels(takeIDs), label(destinationSceneID));
        QList<Take> moving;
        for (const QUuid &id : takeIDs) {
            for (RecordingScene &scene : session->scenes) {
                for (const Take &take : scene.takes) {
                    if (take.id == id)
                        moving << take;
                }
                scene.removeTake(id);
            }
        }
        for (RecordingScene &scene : session->scenes) {
            if (scene.id == destinationSceneID)
                scene.takes << moving;
        }
        publish();
    }
    void reorderScenes(const QList<QUuid> &sceneIDs, qsizetype destination) override
    {
        calls << QStringLiteral("reorderScenes %1 -> %2").arg(labels(sceneIDs)).arg(destination);
        QList<RecordingScene> moving, staying;
        qsizetype before = 0;
        for (qsizetype s = 0; s < session->scenes.size(); ++s) {
            const bool moves = sceneIDs.contains(session->scenes[s].id);
            (moves ? moving : staying) << session->scenes[s];
            if (moves && s < destination)
                ++before;
        }
        const qsizetype at = std::clamp<qsizetype>(destination - before, 0, staying.size());
        for (qsizetype i = 0; i < moving.size(); ++i)
            staying.insert(at + i, moving[i]);
        session->scenes = staying;
        publish();
    }
};

} // namespace lumacast::testing
