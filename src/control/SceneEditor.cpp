#include "control/SceneEditor.h"

#include "control/AppStateManager.h"
#include "control/BackgroundCopy.h"
#include "control/FolderFollower.h"
#include "store/SessionStore.h"
#include "threads/ThreadBridge.h"

#include <QFile>
#include <QPointer>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace lumacast {

namespace {

qsizetype sceneIndex(const Session &session, const QUuid &sceneID)
{
    for (qsizetype i = 0; i < session.scenes.size(); ++i) {
        if (session.scenes.at(i).id == sceneID)
            return i;
    }
    return -1;
}

Take *findTake(RecordingScene &scene, const QUuid &takeID)
{
    for (Take &take : scene.takes) {
        if (take.id == takeID)
            return &take;
    }
    return nullptr;
}

QString sceneNumber(qsizetype index)
{
    return QString::number(index + 1);
}

QString quoted(const QString &name)
{
    return QStringLiteral("\"") + name + QStringLiteral("\"");
}

std::optional<QString> storedName(const QString &name)
{
    // An empty name brings back the default "Scene n"; blanks are the user's own.
    return name.isEmpty() ? std::nullopt : std::optional<QString>(name);
}

} // namespace

SceneEditor::SceneEditor(AppStateManager &manager) : m(manager) {}

bool SceneEditor::held() const
{
    return m.m_tailOperation.has_value() || m.isCopying();
}

void SceneEditor::history(const QString &line)
{
    m.m_sessionLog.append(line);
}

void SceneEditor::commit(Session session, const QSet<QString> &released, bool alwaysCollect)
{
    session.isDirty = true;
    m.setCurrentSession(session);
    m.scheduleSave();
    if (alwaysCollect || !released.isEmpty())
        m.collectOrphanTakeFiles();
}

void SceneEditor::selectTake(const QUuid &sceneID, const std::optional<QUuid> &takeID)
{
    if (held() || !m.m_currentSession)
        return;
    Session session = *m.m_currentSession;
    const qsizetype index = sceneIndex(session, sceneID);
    // A check names a take of its own scene or nothing: anything else would be written into a
    // manifest that cannot be opened again.
    const Take *take = nullptr;
    if (index >= 0 && takeID) {
        for (const Take &candidate : session.scenes.at(index).takes) {
            if (candidate.id == *takeID)
                take = &candidate;
        }
    }
    const QString number = sceneNumber(index >= 0 ? index : 0);
    if (take)
        history(QStringLiteral("select take — ") + take->filename + QStringLiteral(" in scene ") + number);
    else
        history(QStringLiteral("deselect take in scene ") + number);
    const QSet<QString> released = m.checkpoint(QStringLiteral("Select Take"));
    if (index >= 0) {
        RecordingScene &scene = session.scenes[index];
        scene.selectedTakeID = take ? std::optional<QUuid>(take->id) : std::nullopt;
        session.currentSceneIndex = index;
    }
    commit(std::move(session), released);
}

void SceneEditor::setTakeTrim(const QUuid &sceneID, const QUuid &takeID, double start, double end)
{
    applyTrim(sceneID, takeID, start, end, true);
}

void SceneEditor::setTrimLive(const QUuid &sceneID, const QUuid &takeID, double start, double end)
{
    applyTrim(sceneID, takeID, start, end, false);
}

void SceneEditor::applyTrim(const QUuid &sceneID, const QUuid &takeID, double start, double end, bool undoable)
{
    if (held())
        return;
    if (undoable)
        history(QStringLiteral("trim — %1–%2s").arg(start, 0, 'f', 2).arg(end, 0, 'f', 2));
    if (!m.m_currentSession)
        return;
    Session session = *m.m_currentSession;
    const QSet<QString> released = undoable ? m.checkpoint(QStringLiteral("Trim")) : QSet<QString>{};
    if (const qsizetype index = sceneIndex(session, sceneID); index >= 0) {
        if (Take *take = findTake(session.scenes[index], takeID)) {
            take->trimStart = std::isnan(start) ? 0.0 : std::max(start, 0.0);
            take->trimEnd = std::min(end, take->duration);
            // Within 0...duration with the start below the end, as the manifest requires.
            take->clampTrims();
        }
    }
    if (undoable) {
        commit(std::move(session), released);
    } else {
        session.isDirty = true;
        m.setCurrentSession(session);
    }
}

void SceneEditor::renameScene(const QUuid &sceneID, const QString &name)
{
    if (held())
        return;
    history(QStringLiteral("rename scene — ") + quoted(name));
    if (!m.m_currentSession)
        return;
    Session session = *m.m_currentSession;
    const QSet<QString> released = m.checkpoint(QStringLiteral("Rename Scene"));
    if (const qsizetype index = sceneIndex(session, sceneID); index >= 0)
        session.scenes[index].name = storedName(name);
    commit(std::move(session), released);
}

void SceneEditor::renameTake(const QUuid &sceneID, const QUuid &takeID, const QString &name)
{
    if (held())
        return;
    history(QStringLiteral("rename take — ") + quoted(name));
    if (!m.m_currentSession)
        return;
    Session session = *m.m_currentSession;
    const QSet<QString> released = m.checkpoint(QStringLiteral("Rename Take"));
    if (const qsizetype index = sceneIndex(session, sceneID); index >= 0) {
        if (Take *take = findTake(session.scenes[index], takeID))
            take->name = storedName(name);
    }
    commit(std::move(session), released);
}

QCoro::Task<> SceneEditor::duplicateScene(QUuid sceneID)
{
    // The copies go where the recording's folder is now, never under the path of one gone.
    if (held() || !m.m_currentSession || !m.m_folderFollower->follow())
        co_return;
    const Session session = *m.m_currentSession;
    const qsizetype index = sceneIndex(session, sceneID);
    if (index < 0)
        co_return;
    history(QStringLiteral("duplicate scene ") + sceneNumber(index));
    QStringList filenames;
    for (const Take &take : session.scenes.at(index).takes)
        filenames.append(take.filename);
    const QString folder = SessionStore::takesFolder(session);
    const QPointer<AppStateManager> alive(&m);
    BackgroundCopy::Running copy = m.m_backgroundCopy->begin(QStringLiteral("Duplicating Scene\u2026"));
    QHash<QString, QString> renamed;
    std::optional<Error> failure;
    try {
        auto copying = runInBackground("scene copy", [store = m.m_services.store, filenames, folder] {
            return store->copyTakeFiles(filenames, folder);
        });
        renamed = co_await copying;
    } catch (const Error &error) {
        failure = error;
    }
    if (!alive)
        co_return;
    if (failure) {
        copy.end();
        m.presentAlert(QStringLiteral("Couldn't duplicate scene"), failure->localizedDescription(), AlertStyle::warning);
        co_return;
    }
    // The recording is looked at again: the copies are added to the scene copied, where it is now.
    const qsizetype now = m.isCurrentSession(session.id) ? sceneIndex(*m.m_currentSession, sceneID) : -1;
    if (now < 0 || m.m_tailOperation) {
        m.logApp(QStringLiteral("[app] duplicate scene — the scene is gone; its copies are removed"));
        for (const QString &copy : std::as_const(renamed))
            QFile::remove(folder + QLatin1Char('/') + copy);
        co_return;
    }
    // In the order of the scene's takes, so that the lines read like the outline.
    for (const QString &filename : std::as_const(filenames)) {
        if (auto it = renamed.constFind(filename); it != renamed.constEnd())
            history(QStringLiteral("  copied file — ") + filename + QStringLiteral(" → ") + it.value());
    }
    Session current = *m.m_currentSession;
    const QSet<QString> released = m.checkpoint(QStringLiteral("Duplicate Scene"));
    current.scenes.insert(now + 1, current.scenes.at(now).duplicateScene(now, renamed));
    commit(std::move(current), released);
}

void SceneEditor::reorderScenes(const QList<QUuid> &sceneIDs, qsizetype toOffset)
{
    if (held() || !m.m_currentSession || sceneIDs.isEmpty())
        return;
    Session session = *m.m_currentSession;
    const QList<RecordingScene> &old = session.scenes;
    // A list move: the moving scenes leave their places and go in before the scene that stood
    // at `toOffset` in the old order.
    const qsizetype offset = std::clamp<qsizetype>(toOffset, 0, old.size());
    QList<RecordingScene> moving, before, after;
    for (qsizetype i = 0; i < old.size(); ++i) {
        if (sceneIDs.contains(old.at(i).id))
            moving.append(old.at(i));
        else
            (i < offset ? before : after).append(old.at(i));
    }
    QList<RecordingScene> reordered = before + moving + after;
    bool unchanged = true;
    for (qsizetype i = 0; i < old.size(); ++i)
        unchanged = unchanged && reordered.at(i).id == old.at(i).id;
    if (unchanged)
        return;
    history(QStringLiteral("reorder scenes — %1 scene(s) → position %2").arg(sceneIDs.size()).arg(toOffset + 1));
    const QSet<QString> released = m.checkpoint(QStringLiteral("Reorder Scenes"));
    const bool hasCurrent = session.currentSceneIndex >= 0 && session.currentSceneIndex < old.size();
    const QUuid currentID = hasCurrent ? old.at(session.currentSceneIndex).id : QUuid();
    session.scenes = reordered;
    if (hasCurrent)
        session.currentSceneIndex = sceneIndex(session, currentID);
    commit(std::move(session), released);
}

void SceneEditor::deleteItems(const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs)
{
    if (m.isCopying() || !m.m_currentSession)
        return;
    Session session = *m.m_currentSession;
    QList<QUuid> scenes;
    QList<QPair<qsizetype, QUuid>> takes; // (scene position, take id)
    for (qsizetype i = 0; i < session.scenes.size(); ++i) {
        const RecordingScene &scene = session.scenes.at(i);
        if (sceneIDs.contains(scene.id)) {
            scenes.append(scene.id);
            continue; // its takes go with it
        }
        for (const Take &take : scene.takes) {
            if (takeIDs.contains(take.id))
                takes.append({i, take.id});
        }
    }
    if (scenes.size() == session.scenes.size() || (scenes.isEmpty() && takes.isEmpty()))
        return;
    const qsizetype n = scenes.size(), t = takes.size();
    history(QStringLiteral("delete items — %1 scene(s), %2 take(s)").arg(n).arg(t));
    QString name;
    if (t == 0)
        name = n == 1 ? QStringLiteral("Delete Scene") : QStringLiteral("Delete Scenes");
    else if (n == 0)
        name = t == 1 ? QStringLiteral("Delete Take") : QStringLiteral("Delete Takes");
    else
        name = QStringLiteral("Delete Items");
    const QSet<QString> released = m.checkpoint(name);
    for (const auto &[sceneIndex, takeID] : std::as_const(takes))
        session.scenes[sceneIndex].removeTake(takeID);
    for (const QUuid &id : std::as_const(scenes))
        session.removeScene(id);
    // Always: the movies of deleted takes go once no undo step refers to them.
    commit(std::move(session), released, true);
}

void SceneEditor::moveTakes(const QList<QUuid> &takeIDs, const QUuid &destinationSceneID)
{
    if (m.isCopying() || !m.m_currentSession)
        return;
    Session session = *m.m_currentSession;
    const qsizetype destination = sceneIndex(session, destinationSceneID);
    if (destination < 0)
        return;
    QList<QPair<qsizetype, Take>> found;
    for (qsizetype i = 0; i < session.scenes.size(); ++i) {
        if (i == destination)
            continue;
        for (const Take &take : session.scenes.at(i).takes) {
            if (takeIDs.contains(take.id))
                found.append({i, take});
        }
    }
    if (found.isEmpty())
        return;
    history(QStringLiteral("move takes — %1 take(s) → scene %2").arg(found.size()).arg(destination + 1));
    const QSet<QString> released =
        m.checkpoint(found.size() == 1 ? QStringLiteral("Move Take") : QStringLiteral("Move Takes"));
    for (const auto &[from, take] : std::as_const(found))
        session.scenes[from].removeTake(take.id);
    for (const auto &entry : std::as_const(found))
        session.scenes[destination].takes.append(entry.second);
    commit(std::move(session), released);
}

void SceneEditor::setCurrentScene(const QUuid &sceneID)
{
    if (!m.m_currentSession)
        return;
    Session session = *m.m_currentSession;
    if (const qsizetype index = sceneIndex(session, sceneID); index >= 0)
        session.currentSceneIndex = index;
    session.isDirty = true;
    m.setCurrentSession(session);
    m.scheduleSave();
}

void SceneEditor::correctTakeDuration(double duration, const QUuid &sceneID, const QUuid &takeID)
{
    updateTake(sceneID, takeID, [duration](Take &take) {
        // A take kept to its end stays kept to its (corrected) end.
        const bool followsEnd = std::abs(take.trimEnd - take.duration) < 0.01;
        take.duration = duration;
        if (followsEnd)
            take.trimEnd = duration;
        // A shorter movie must not leave the trims beyond it.
        take.clampTrims();
    });
}

void SceneEditor::setTakePlayhead(double position, const QUuid &sceneID, const QUuid &takeID)
{
    updateTake(sceneID, takeID, [position](Take &take) { take.playheadPosition = position; });
}

void SceneEditor::updateTake(const QUuid &sceneID, const QUuid &takeID, const std::function<void(Take &)> &mutator)
{
    if (!m.m_currentSession)
        return;
    Session session = *m.m_currentSession;
    const qsizetype index = sceneIndex(session, sceneID);
    Take *take = index >= 0 ? findTake(session.scenes[index], takeID) : nullptr;
    if (!take)
        return;
    mutator(*take);
    session.isDirty = true;
    m.setCurrentSession(session);
    m.scheduleSave();
}

} // namespace lumacast
