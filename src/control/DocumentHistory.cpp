#include "control/DocumentHistory.h"

#include "control/AppStateManager.h"
#include "control/BackgroundCopy.h"
#include "control/FolderFollower.h"
#include "control/UnfinishedTakes.h"
#include "media/WorkingItem.h"
#include "model/LogCategories.h"
#include "store/PackageFolder.h"
#include "store/Preferences.h"
#include "store/SessionStore.h"
#include "store/TakeLedger.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>
#include <chrono>

namespace lumacast {

namespace {
constexpr auto kAutosaveDelay = std::chrono::milliseconds(300);
// Each edit restarts the delay, but a burst of edits (an arrow key held on the trim bar) is
// still written at least this often.
constexpr auto kLongestAutosaveWait = std::chrono::milliseconds(1000);
const QString kTrim = QStringLiteral("Trim");
} // namespace

DocumentHistory::DocumentHistory(AppStateManager &manager) : m(manager) {}

QSet<QString> DocumentHistory::checkpoint(const QString &name)
{
    if (m.m_isApplyingSnapshot || !m.m_currentSession)
        return {};
    const QDateTime now = m.m_services.clock->now();
    // A drag of a trim handle commits many "Trim" steps; those closer together than the window
    // are one step, which keeps the session as it was before the first of them.
    if (name == kTrim && m.m_lastCheckpointName == kTrim && m.m_lastCheckpointTime.isValid()
        && m.m_lastCheckpointTime.msecsTo(now) < m.m_trimCoalesceWindow * 1000.0) {
        m.m_lastCheckpointTime = now;
        return {};
    }
    QSet<QString> released = m.m_history.push(name, *m.m_currentSession);
    m.m_lastCheckpointName = name;
    m.m_lastCheckpointTime = now;
    syncUndoState();
    return released;
}

void DocumentHistory::syncUndoState()
{
    const UndoHistory &history = m.m_history;
    m.publish(m.m_canUndo, history.canUndo(), &AppStateManager::canUndoChanged);
    m.publish(m.m_canRedo, history.canRedo(), &AppStateManager::canRedoChanged);
    m.publish(m.m_undoActionName,
              history.past.isEmpty() ? std::nullopt : std::optional<QString>(history.past.last().name),
              &AppStateManager::undoActionNameChanged);
    m.publish(m.m_redoActionName,
              history.future.isEmpty() ? std::nullopt : std::optional<QString>(history.future.last().name),
              &AppStateManager::redoActionNameChanged);
}

void DocumentHistory::reset()
{
    m.m_history.past.clear();
    m.m_history.future.clear();
    m.m_lastCheckpointName.reset();
    m.m_autosaveFailed = false;
    syncUndoState();
}

QSet<QString> DocumentHistory::heldTakeFilenames() const
{
    QSet<QString> held = m.m_history.referencedFilenames();
    if (m.m_inFlightTakeFilename)
        held.insert(*m.m_inFlightTakeFilename);
    if (const auto &tail = m.m_tailOperation) {
        held.insert(QFileInfo(tail->tailURL).fileName());
        held.insert(QFileInfo(tail->stagedOutputURL).fileName());
        held.insert(tail->originalTake.filename);
    }
    return held;
}

DocumentHistory::Unnamed DocumentHistory::unnamedMovies(const Session &session, const QSet<QString> &held)
{
    const QString folder = SessionStore::sessionFolder(session);
    const QDir takes(SessionStore::takesFolder(session));
    // Regular files of the recording's own "takes" only: nothing behind a link is ever deleted.
    const QStringList entries = PackageFolder::takeFiles(folder);
    const QSet<QString> keep = held | SessionStore::takeFilenames(session);
    Unnamed unnamed;
    const QSet<QString> ledger = TakeLedger::read(folder);
    unnamed.stale = ledger;
    for (const QString &entry : entries) {
        unnamed.stale.remove(entry);
        // Exactly "mov": a user's ".MOV" or anything else in the folder is never ours to delete.
        // A join's working movie is its process's until that ends (WorkingItem::removeStale).
        if (QFileInfo(entry).suffix() != QLatin1String("mov") || keep.contains(entry)
            || entry.startsWith(QLatin1String(WorkingItem::kPrefix)))
            continue;
        // A movie with its journal is a take a crash cut off, until it is recovered, named by a
        // manifest or given up.
        if (UnfinishedTakes::hasJournal(takes.filePath(entry)))
            continue;
        (ledger.contains(entry) ? unnamed.ours : unnamed.kept) << entry;
    }
    unnamed.stale.subtract(keep);
    unnamed.kept.sort();
    return unnamed;
}

void DocumentHistory::collectOrphanTakeFiles()
{
    if (app_state::isCapturing(m.m_state)) {
        qCInfo(log::persistence(), "gc skipped — a take is being recorded");
        return;
    }
    // A copy's new movies are no take's until it ends, and the movies it reads must stay.
    if (m.isCopying()) {
        qCInfo(log::persistence(), "gc skipped — files are being copied");
        return;
    }
    if (!m.m_currentSession)
        return;
    // Removed or replaced under the recording, its path may name someone else's folder now.
    if (!m.m_folderFollower->follow()) {
        qCInfo(log::persistence(), "gc skipped — the recording's folder is gone");
        return;
    }
    const QString folder = SessionStore::sessionFolder(*m.m_currentSession);
    Unnamed unnamed = unnamedMovies(*m.m_currentSession, heldTakeFilenames());
    // The manifest on the disk may still name what the last edit let go of, until the autosave
    // writes it (and lists it in the ledger): written first, so that no crash leaves it naming a
    // deleted movie.
    const bool unwritten = (m.m_saveTask && m.m_saveTask->isPending()) || m.m_autosaveFailed;
    if (unwritten && !(unnamed.ours.isEmpty() && unnamed.kept.isEmpty())) {
        autoSave(); // its alert may run a loop in which the recording is closed
        if (!m.m_currentSession || SessionStore::sessionFolder(*m.m_currentSession) != folder)
            return;
        if (m.m_autosaveFailed) {
            qCInfo(log::persistence(), "gc skipped — the manifest on the disk is not the recording's");
            return;
        }
        unnamed = unnamedMovies(*m.m_currentSession, heldTakeFilenames());
    }
    QSet<QString> gone = unnamed.stale;
    for (const QString &entry : std::as_const(unnamed.ours)) {
        if (PackageFolder::removeTakeFile(folder, entry)) {
            gone.insert(entry);
            m.m_sessionLog.append(QStringLiteral("gc — deleted orphan ") + entry);
        } else {
            qCWarning(log::persistence(), "gc — could not delete %s", qUtf8Printable(entry));
        }
    }
    TakeLedger::update(folder, {}, gone);
}

void DocumentHistory::scheduleSave()
{
    if (!m.m_currentSession)
        return;
    const QDateTime now = m.m_services.clock->now();
    const bool pending = m.m_saveTask && m.m_saveTask->isPending();
    if (m.m_saveTask)
        m.m_saveTask->cancel();
    if (!pending || !m.m_saveDeadline.isValid())
        m.m_saveDeadline = now.addMSecs(kLongestAutosaveWait.count());
    const auto delay = std::clamp(std::chrono::milliseconds(now.msecsTo(m.m_saveDeadline)),
                                  std::chrono::milliseconds(0), kAutosaveDelay);
    // The manager is the context: the save never runs once the manager is gone.
    QPointer<AppStateManager> manager(&m);
    m.m_saveTask = m.m_services.scheduler->schedule(delay, &m, [manager] {
        if (manager)
            manager->autoSave();
    });
}

void DocumentHistory::autoSave()
{
    if (m.m_saveTask) {
        m.m_saveTask->cancel();
        m.m_saveTask.reset();
    }
    m.m_saveDeadline = QDateTime();
    if (!m.m_currentSession)
        return;
    if (const std::optional<QString> failure = writeManifest()) {
        // Told once: every later edit would fail the same way until the folder is writable.
        const bool told = m.m_autosaveFailed;
        m.m_autosaveFailed = true;
        if (!told)
            m.presentAlert(QStringLiteral("Couldn’t save recording"),
                           *failure
                               + QStringLiteral("\n\nYour changes are kept while Lumacast is open "
                                                "and saved again with your next change."),
                           AlertStyle::warning);
    }
}

std::optional<QString> DocumentHistory::writeManifest()
{
    if (!m.m_folderFollower->follow())
        return m.m_folderFollower->goneText();
    try {
        m.m_services.store->writeManifest(*m.m_currentSession, heldTakeFilenames());
    } catch (const std::exception &error) {
        qCCritical(log::persistence(), "autoSave failed: %s", error.what());
        const auto *known = dynamic_cast<const Error *>(&error);
        return known ? known->localizedDescription() : QString::fromUtf8(error.what());
    }
    UnfinishedTakes::releaseJournals(*m.m_currentSession);
    m.m_autosaveFailed = false;
    m.m_currentSession->isDirty = false;
    emit m.currentSessionChanged();
    return std::nullopt;
}

void DocumentHistory::writePendingSave()
{
    if (!m.hasPendingSave())
        return;
    if (writeManifest()) // failed: still pending, and told by its autosave or the next edit's
        return;
    if (m.m_saveTask) {
        m.m_saveTask->cancel();
        m.m_saveTask.reset();
    }
    m.m_saveDeadline = QDateTime();
}

QCoro::Task<> DocumentHistory::saveSession(QString url)
{
    const QPointer<AppStateManager> alive(&m);
    const std::optional<QUuid> askedFor = m.currentSessionID();
    const auto busy = [this] { return m.m_tailOperation || app_state::isCapturing(m.m_state); };
    const bool busyWhenAsked = busy(); // the callers refuse that; only what begins below is new
    // After a copy under way (a scene duplicated while the save panel was up), so that the
    // package holds what it made.
    auto waiting = m.m_backgroundCopy->idle();
    co_await waiting;
    if (!alive || !askedFor || !m.isCurrentSession(askedFor))
        co_return;
    const QString name = QFileInfo(QDir::cleanPath(url)).fileName();
    // Copied from where the recording is now; from nowhere once its folder is gone.
    if (!m.m_folderFollower->follow())
        throw Error(m.m_folderFollower->goneText());
    // The copy's end opened the gate: the callers see the take or tail and go no further.
    if (!busyWhenAsked && busy()) {
        m.logApp(QStringLiteral("[app] save as — a take or tail began during the copy (%1)").arg(name));
        co_return;
    }
    // What the recording's folder does not hold yet (the copy's scene, the edits of the last
    // instant) is written there first: the save may fail, and a package the recording was opened
    // from stays the user's.
    writePendingSave();
    m.m_sessionLog.append(QStringLiteral("save as — ") + name);
    const Session session = *m.m_currentSession;
    const BackgroundCopy::Running copy = m.m_backgroundCopy->begin(QStringLiteral("Saving \u201C%1\u201D\u2026").arg(name));
    // A deleted take the undo history holds comes along, on the copy's ledger: an undo brings it
    // back into the copy.
    auto saving = runInBackground("save as", [store = m.m_services.store, session, url, held = heldTakeFilenames()] {
        return store->save(session, url, held);
    });
    Session saved = co_await saving; // throws; nothing changed yet
    if (!alive || !m.isCurrentSession(session.id)) {
        qCWarning(log::persistence(), "saved %s, but the recording is no longer open", qUtf8Printable(name));
        co_return;
    }
    // Nothing edits the recording while it is copied; whatever did anyway stays, and is written
    // into the package.
    if (m.m_currentSession->scenes != session.scenes) {
        saved.scenes = m.m_currentSession->scenes;
        saved.currentSceneIndex = m.m_currentSession->currentSceneIndex;
        saved.isDirty = true;
    }
    // The old folder's failure to be written is not the new one's, which holds it all.
    m.m_autosaveFailed = false;
    // The same document in a new place: its history stays.
    m.setCurrentSession(saved);
    m.m_services.preferences->setLastOpenedDocument(url);
    m.m_sessionLog.close();
    m.m_sessionLog.open(url);
    if (saved.isDirty)
        m.scheduleSave();
}

void DocumentHistory::saveIfPackaged()
{
    if (m.m_currentSession && m.m_currentSession->hasBundle())
        scheduleSave();
}

void DocumentHistory::undo()
{
    performUndoRedo(Direction::undo);
}

void DocumentHistory::redo()
{
    performUndoRedo(Direction::redo);
}

void DocumentHistory::performUndoRedo(Direction direction)
{
    if (m.m_tailOperation || m.isCopying() || !(m.m_state == AppState::idle || m.m_state == AppState::reviewing))
        return;
    if (!m.m_currentSession)
        return;
    const Session current = *m.m_currentSession;
    std::optional<UndoHistory::Entry> entry =
        direction == Direction::undo ? m.m_history.undo(current) : m.m_history.redo(current);
    if (!entry)
        return;
    const QString prefix = direction == Direction::undo ? QStringLiteral("undo — ") : QStringLiteral("redo — ");
    m.m_sessionLog.append(prefix + entry->name);
    // The next "Trim" is a step of its own, however soon it comes.
    m.m_lastCheckpointName.reset();
    applySnapshot(entry->session);
    syncUndoState();
}

void DocumentHistory::applySnapshot(const Session &snapshot)
{
    if (!m.m_currentSession)
        return;
    const std::optional<QUuid> previewed = m.m_previewedTakeID;
    m.m_isApplyingSnapshot = true;
    // A snapshot taken before a Save As must not move the document back to its scratch folder.
    Session restored = snapshot;
    restored.scratchURL = m.m_currentSession->scratchURL;
    restored.bundleURL = m.m_currentSession->bundleURL;
    restored.isDirty = true;
    const bool takesChanged = SessionStore::takeFilenames(restored) != SessionStore::takeFilenames(*m.m_currentSession);
    m.setCurrentSession(restored);
    m.m_isApplyingSnapshot = false;
    m.setPreviewedTake(previewed, true);
    // A take brought back or removed is on the disk at once: a kill in the autosave's delay
    // would leave a manifest without the take, and its movie to the next clean-up.
    if (takesChanged)
        autoSave(); // its alert may run a loop in which the recording is closed
    else
        scheduleSave();
    collectOrphanTakeFiles();
}

} // namespace lumacast
