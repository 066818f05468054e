#include "control/TailJoin.h"

#include "control/FolderFollower.h"
#include "store/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>

namespace lumacast {

namespace {

QString fileName(const QString &path)
{
    return QFileInfo(path).fileName();
}

QCoro::Task<> joinThroughManager(QPointer<AppStateManager> weak, TailJoinHandoff handoff)
{
    if (!weak)
        co_return;
    auto joining = weak->beginTailJoin(std::move(handoff));
    co_await joining;
}

} // namespace

TailJoin::TailJoin(AppStateManager &manager) : m(manager) {}

TailJoinHandoff TailJoin::handoffFor(const TailOperation &operation)
{
    return TailJoinHandoff{operation.id,        operation.captureAttemptID, operation.originalURL,
                           operation.frozenTrimEnd, operation.tailURL,      operation.stagedOutputURL};
}

bool TailJoin::tailJoinIsCurrent(const QUuid &operationID, const QUuid &captureAttemptID) const
{
    const std::optional<TailOperation> &live = m.m_tailOperation;
    return live && live->id == operationID && live->captureAttemptID == captureAttemptID && live->isJoining();
}

void TailJoin::reportProgress(const QUuid &operationID, const QUuid &captureAttemptID, double fraction)
{
    if (!tailJoinIsCurrent(operationID, captureAttemptID))
        return;
    TailOperation operation = *m.m_tailOperation;
    operation.phase = TailOperation::Joining{fraction};
    m.setTailOperation(operation);
}

QCoro::Task<> TailJoin::beginTailJoin(TailJoinHandoff handoff)
{
    if (!tailJoinIsCurrent(handoff.operationID, handoff.captureAttemptID)) {
        m.logApp(QStringLiteral("[tail] stray join handoff ignored"));
        co_return;
    }
    // The join reads and writes in the recording's folder: where it is now.
    if (!m.m_folderFollower->follow()) {
        handleTailJoinFailure(TailFailure::Kind::deterministic, m.m_folderFollower->goneText());
        co_return;
    }
    handoff = handoffFor(*m.m_tailOperation);
    const take_joiner::JoinRequest request{handoff.originalURL, handoff.trimEnd, handoff.tailURL,
                                           handoff.stagedOutputURL};
    m.logApp(QStringLiteral("[tail] joining — %1 [0, %2] + %3")
                 .arg(fileName(request.originalURL))
                 .arg(request.trimEnd, 0, 'f', 2)
                 .arg(fileName(request.tailURL)));

    const QPointer<AppStateManager> alive(&m);
    take_joiner::ProgressCallback progress = [alive, operationID = handoff.operationID,
                                              attemptID = handoff.captureAttemptID](double fraction) {
        if (alive)
            alive->m_tailJoin->reportProgress(operationID, attemptID, fraction);
    };
    std::optional<take_joiner::JoinResult> result;
    std::optional<TailFailure> failure;
    AppStateManager::TailJoinPerform perform = m.tailJoinPerform();
    try {
        auto joining = perform(request, progress);
        result = co_await joining;
    } catch (const take_joiner::JoinError &error) {
        const bool deterministic = error.kind() == take_joiner::JoinError::Kind::policyRefused
            || error.kind() == take_joiner::JoinError::Kind::notPassthroughCompatible;
        failure = TailFailure{deterministic ? TailFailure::Kind::deterministic : TailFailure::Kind::transient,
                              error.description()};
    } catch (const Error &error) {
        failure = TailFailure{TailFailure::Kind::transient, error.localizedDescription()};
    } catch (const std::exception &error) {
        failure = TailFailure{TailFailure::Kind::transient, QString::fromUtf8(error.what())};
    }
    if (!alive)
        co_return;
    if (!tailJoinIsCurrent(handoff.operationID, handoff.captureAttemptID)) {
        m.logApp(QStringLiteral("[tail] stale join result ignored"));
        if (result)
            QFile::remove(result->outputURL);
        co_return;
    }
    if (failure)
        handleTailJoinFailure(failure->kind, failure->message);
    else
        completeTailJoin(*result);
}

void TailJoin::handleTailJoinFailure(TailFailure::Kind kind, const QString &message)
{
    if (!m.m_tailOperation)
        return;
    TailOperation operation = *m.m_tailOperation;
    // The tail stays: Retry joins it again.
    QFile::remove(operation.stagedOutputURL);
    operation.phase = TailOperation::Failed{TailFailure{kind, message}};
    m.setTailOperation(operation);
    m.setState(AppState::reviewing);
    m.logApp(QStringLiteral("[tail] join failed (%1) — %2").arg(TailFailure::kindName(kind), message));
}

void TailJoin::completeTailJoin(const take_joiner::JoinResult &result)
{
    if (!m.m_tailOperation || !m.m_currentSession)
        return;
    const TailOperation operation = *m.m_tailOperation;
    Session session = *m.m_currentSession;
    Take *take = nullptr;
    for (RecordingScene &scene : session.scenes) {
        if (scene.id != operation.sceneID)
            continue;
        for (Take &candidate : scene.takes) {
            if (candidate.id == operation.targetTakeID)
                take = &candidate;
        }
    }
    if (!take) {
        handleTailJoinFailure(TailFailure::Kind::deterministic,
                              QStringLiteral("The take being replaced is no longer in the recording."));
        return;
    }
    const double oldTrimEnd = take->trimEnd;
    take->filename = fileName(result.outputURL);
    take->duration = result.duration;
    take->trimEnd = result.duration;
    if (take->playheadPosition)
        take->playheadPosition = std::clamp(*take->playheadPosition, 0.0, std::max(0.0, oldTrimEnd));

    try {
        AppStateManager::TailPersistStaged persist = m.tailPersistStaged();
        persist(session);
    } catch (const std::exception &error) {
        const auto *own = dynamic_cast<const Error *>(&error);
        handleTailJoinFailure(TailFailure::Kind::transient,
                              QStringLiteral("Couldn't save the recording: ")
                                  + (own ? own->localizedDescription() : QString::fromUtf8(error.what())));
        return;
    }
    session.isDirty = false;
    // The step holds the session before the replacement: undo brings the old movie back.
    const QSet<QString> released = m.checkpoint(QStringLiteral("Record Tail"));
    m.setCurrentSession(session);
    m.setPreviewedTake(operation.targetTakeID, true);
    // The take's former movie stays: the undo history refers to it. The tail goes from where the
    // save found the folder.
    QFile::remove(m.m_tailOperation ? m.m_tailOperation->tailURL : operation.tailURL);
    m.m_tailFinalizer.reset();
    m.setTailOperation(std::nullopt);
    m.setState(operation.priorAppState);
    m.setPendingTakeID(operation.priorPendingTakeID);
    if (!released.isEmpty())
        m.collectOrphanTakeFiles();
    const QString output = fileName(result.outputURL);
    m.logApp(QStringLiteral("[tail] joined — %1 %2s").arg(output).arg(result.duration, 0, 'f', 2));
    m.m_sessionLog.append(QStringLiteral("record tail joined — ") + output);
    m.runPendingExternalAction();
}

QCoro::Task<> TailJoin::retryTailJoin()
{
    if (!m.m_tailOperation)
        co_return;
    const std::optional<TailFailure> failure = m.m_tailOperation->failure();
    if (!failure || failure->kind != TailFailure::Kind::transient)
        co_return;
    TailOperation operation = *m.m_tailOperation;
    QFile::remove(operation.stagedOutputURL);
    operation.phase = TailOperation::Joining{};
    m.setTailOperation(operation);
    m.setState(AppState::reviewing);
    m.logApp(QStringLiteral("[tail] retry join — ") + fileName(operation.tailURL));
    AppStateManager::TailBeginJoin begin = m.tailBeginJoin();
    auto joining = begin(handoffFor(operation));
    co_await joining;
}

QCoro::Task<> TailJoin::recordTailAgain()
{
    if (!m.m_tailOperation)
        co_return;
    const std::optional<TailFailure> failure = m.m_tailOperation->failure();
    if (!failure || failure->kind != TailFailure::Kind::deterministic || !m.m_tailOperation->capturePlan)
        co_return;
    TailOperation operation = *m.m_tailOperation;
    QFile::remove(operation.tailURL);
    QFile::remove(operation.stagedOutputURL);
    const QDir folder = QFileInfo(operation.tailURL).absoluteDir();
    const QString stem = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    operation.tailURL = folder.filePath(stem + QStringLiteral(".tail.mov"));
    operation.stagedOutputURL = folder.filePath(stem + QStringLiteral(".joining.mov"));
    operation.captureAttemptID = QUuid::createUuid();
    const TailOperation::Attempt attempt = TailOperation::RecordAgain{*failure};
    operation.phase = TailOperation::Preparing{attempt};
    m.setTailOperation(operation);
    m.m_tailFinalizer.reset();
    m.logApp(QStringLiteral("[tail] record again — ") + fileName(operation.tailURL));
    auto capturing = m.startTailCapture(operation, *operation.capturePlan, attempt);
    co_await capturing;
}

void TailJoin::discardTail()
{
    if (!m.m_tailOperation || !m.m_tailOperation->failure())
        return;
    const TailOperation operation = *m.m_tailOperation;
    m.logApp(QStringLiteral("[tail] discard — ") + fileName(operation.tailURL));
    endTailOperation(operation);
}

void TailJoin::endTailOperation(const TailOperation &operation)
{
    QFile::remove(operation.tailURL);
    QFile::remove(operation.stagedOutputURL);
    m.m_tailFinalizer.reset();
    m.setTailOperation(std::nullopt);
    m.m_inFlightTakeFilename.reset();
    m.clearTakeOverlays();
    m.setState(operation.priorAppState);
    m.setPendingTakeID(operation.priorPendingTakeID);
    m.setPreviewedTake(operation.previewedTakeID, false);
    m.runPendingExternalAction();
}

std::optional<double> TailJoin::tailJoinProgress() const
{
    if (!m.m_tailOperation)
        return std::nullopt;
    if (const auto *joining = std::get_if<TailOperation::Joining>(&m.m_tailOperation->phase))
        return joining->progress;
    return std::nullopt;
}

std::optional<TailFailure> TailJoin::currentTailFailure() const
{
    return m.m_tailOperation ? m.m_tailOperation->failure() : std::nullopt;
}

bool TailJoin::isTailSheetPresented() const
{
    return m.m_tailOperation && (m.m_tailOperation->isJoining() || m.m_tailOperation->failure());
}

AppStateManager::TailBeginJoin TailJoin::defaultBeginJoin()
{
    return [weak = QPointer<AppStateManager>(&m)](TailJoinHandoff handoff) {
        return joinThroughManager(weak, std::move(handoff));
    };
}

AppStateManager::TailJoinPerform TailJoin::defaultJoinPerform()
{
    return [](take_joiner::JoinRequest request, take_joiner::ProgressCallback progress) {
        return take_joiner::join(std::move(request), std::move(progress));
    };
}

AppStateManager::TailPersistStaged TailJoin::defaultPersistStaged()
{
    return [weak = QPointer<AppStateManager>(&m)](const Session &session) {
        if (!weak)
            return;
        if (weak->m_saveTask) {
            weak->m_saveTask->cancel();
            weak->m_saveTask.reset();
        }
        if (!weak->m_folderFollower->follow())
            throw Error(weak->m_folderFollower->goneText());
        // Written where the recording's folder is now.
        Session placed = session;
        if (weak->m_currentSession) {
            placed.scratchURL = weak->m_currentSession->scratchURL;
            placed.bundleURL = weak->m_currentSession->bundleURL;
        }
        try {
            weak->services().store->writeManifest(placed, weak->heldTakeFilenames());
        } catch (...) {
            // The session in memory keeps the old take; a later save may still get through.
            weak->scheduleSave();
            throw;
        }
    };
}

AppStateManager::TailReport TailJoin::defaultReport(AlertStyle style)
{
    return [weak = QPointer<AppStateManager>(&m), style](const QString &title, const QString &message) {
        if (weak)
            weak->presentAlert(title, message, style);
    };
}

AppStateManager::TerminationReply TailJoin::defaultTerminationReply()
{
    return [weak = QPointer<AppStateManager>(&m)](bool terminate) {
        if (weak)
            weak->services().application->replyToTermination(terminate);
    };
}

} // namespace lumacast
