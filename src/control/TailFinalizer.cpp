#include "control/TailFinalizer.h"

#include "control/FolderFollower.h"
#include "control/TakeRecording.h"

#include <QFile>
#include <QFileInfo>

#include <qcoro/qcorotimer.h>

#include <chrono>

using namespace std::chrono_literals;

namespace lumacast {

namespace {

// The join of an accepted tail runs as a task of its own, posted to the event loop; the
// finalisation does not wait for it.
QCoro::Task<> beginJoinLater(QPointer<AppStateManager> weak, TailJoinHandoff handoff)
{
    co_await QCoro::sleepFor(0ms);
    if (!weak)
        co_return;
    AppStateManager::TailBeginJoin begin = weak->tailBeginJoin();
    auto joining = begin(handoff);
    co_await joining;
}

} // namespace

TailFinalizer::TailFinalizer(AppStateManager &manager) : m(manager) {}

QCoro::Task<TailFinalizationOutcome> TailFinalizer::waitForTailFinalizer()
{
    const std::optional<TailOperation> &live = m.m_tailOperation;
    if (!live || !std::holds_alternative<TailOperation::Recording>(live->phase))
        co_return TailFinalizationOutcome::notATail;
    const TailFinalizerKey key{live->id, live->captureAttemptID};
    if (m.m_tailFinalizer && m.m_tailFinalizer->key == key) {
        // Another caller already stops this attempt: wait for its outcome.
        const std::shared_ptr<QCoro::Task<TailFinalizationOutcome>> running = m.m_tailFinalizer->task;
        co_return co_await *running;
    }
    const QUuid token = QUuid::createUuid();
    auto task = std::make_shared<QCoro::Task<TailFinalizationOutcome>>(stopTask(QPointer(&m), key, token));
    m.m_tailFinalizer = TailFinalizerSlot{key, token, task};
    co_return co_await *task;
}

QCoro::Task<TailFinalizationOutcome> TailFinalizer::stopTask(QPointer<AppStateManager> weak, TailFinalizerKey key,
                                                             QUuid token)
{
    // Posted, never inline: the slot naming this task is in place before the stop begins.
    co_await QCoro::sleepFor(0ms);
    if (!weak)
        co_return TailFinalizationOutcome::notATail;
    AppStateManager::TailRecorderStop stop = weak->tailRecorderStop();
    auto stopping = stop();
    const std::optional<RecorderService::Recording> movie = co_await stopping;
    if (!weak)
        co_return TailFinalizationOutcome::notATail;
    // Renamed or moved while the tail was recorded, the operation's paths follow the folder; gone
    // (deleted, or moved to another disk), the take is gone with it and the tail is kept apart.
    const bool folderHere = weak->m_folderFollower->follow();
    if (movie && (movie->path.isEmpty() || !folderHere)) {
        auto keeping = weak->m_takeRecording->keepApart(*movie, true);
        co_await keeping;
        if (!weak)
            co_return TailFinalizationOutcome::notATail;
        co_return weak->m_tailFinalizerConcern->finish(std::nullopt, key, token, true);
    }
    std::optional<RecorderService::Recording> candidate;
    if (movie) {
        AppStateManager::TailUsabilityCheck check = weak->tailUsabilityCheck();
        auto checking = check(movie->path);
        const bool usable = co_await checking;
        if (!weak)
            co_return TailFinalizationOutcome::notATail;
        if (usable)
            candidate = movie;
        else
            QFile::remove(movie->path);
    }
    co_return weak->finalizeTailStop(candidate, key, token);
}

bool TailFinalizer::isStale(const TailFinalizerKey &key, const QUuid &token) const
{
    if (!m.m_tailFinalizer || m.m_tailFinalizer->key != key || m.m_tailFinalizer->token != token)
        return true;
    const std::optional<TailOperation> &live = m.m_tailOperation;
    if (!live || live->id != key.operationID || live->captureAttemptID != key.captureAttemptID)
        return true;
    return !std::holds_alternative<TailOperation::Preparing>(live->phase)
        && !std::holds_alternative<TailOperation::Recording>(live->phase);
}

TailFinalizationOutcome TailFinalizer::finalizeTailStop(const std::optional<RecorderService::Recording> &candidate,
                                                        const TailFinalizerKey &key, const QUuid &token)
{
    return finish(candidate, key, token, false);
}

TailFinalizationOutcome TailFinalizer::finish(const std::optional<RecorderService::Recording> &candidate,
                                              const TailFinalizerKey &key, const QUuid &token, bool keptApart)
{
    if (isStale(key, token)) {
        m.logApp(QStringLiteral("[tail] stale stop completion ignored"));
        return TailFinalizationOutcome::stale;
    }
    TailOperation operation = *m.m_tailOperation;
    TailOperation::Attempt attempt = TailOperation::Initial{};
    if (const auto *preparing = std::get_if<TailOperation::Preparing>(&operation.phase))
        attempt = preparing->attempt;
    else if (const auto *recording = std::get_if<TailOperation::Recording>(&operation.phase))
        attempt = recording->attempt;

    m.m_tailFinalizer.reset();
    m.m_inFlightTakeFilename.reset();
    m.clearTakeOverlays();

    if (keptApart) {
        // Its alert says where the tail went; the operation has nothing left to work on, and
        // nothing is deleted under the paths of a folder that went.
        operation.tailURL.clear();
        operation.stagedOutputURL.clear();
        m.endTailOperation(operation);
        return TailFinalizationOutcome::initialAbort;
    }
    if (!candidate) {
        if (const auto *again = std::get_if<TailOperation::RecordAgain>(&attempt)) {
            m.failRecordAgain(again->previousFailure.kind, again->previousFailure.message,
                              QStringLiteral("Recording stopped before any usable video was written."));
            return TailFinalizationOutcome::failedUnresolved;
        }
        m.abortInitialTail(QStringLiteral(
            "Recording stopped before any usable video was written, so there was nothing to join."));
        return TailFinalizationOutcome::initialAbort;
    }

    operation.tailURL = candidate->path;
    operation.phase = TailOperation::Joining{};
    m.setTailOperation(operation);
    m.setState(AppState::reviewing);
    m.openWindow(QStringLiteral("review"));
    m.logApp(QStringLiteral("[tail] tail stopped — %1 %2s → joining")
                 .arg(QFileInfo(candidate->path).fileName())
                 .arg(candidate->duration, 0, 'f', 1));
    const TailJoinHandoff handoff{operation.id,        operation.captureAttemptID, operation.originalURL,
                                  operation.frozenTrimEnd, operation.tailURL,      operation.stagedOutputURL};
    // Runs on by itself once the event loop turns; the task object may go, the work goes on.
    [[maybe_unused]] QCoro::Task<> joining = beginJoinLater(QPointer(&m), handoff);
    return TailFinalizationOutcome::usable;
}

AppStateManager::TailUsabilityCheck TailFinalizer::defaultUsabilityCheck()
{
    return [](QString moviePath) { return AppStateManager::probeTakeMedia(std::move(moviePath)); };
}

} // namespace lumacast
