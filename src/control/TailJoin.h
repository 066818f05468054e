#pragma once

#include "control/AppStateManager.h"

#include <QUuid>

#include <qcoro/qcorotask.h>

namespace lumacast {

// The join of an accepted tail and the resolution of the operation: the join engine writes
// "<stem>.joining.mov" with progress; on success the take's movie is replaced (same id, name,
// recording date and trim start), the manifest is written at once and "Record Tail" becomes
// undoable; on failure the operation waits in the failed phase for Retry (transient), Record
// Again (deterministic) or Discard Tail. Ending an operation restores what it changed and carries
// out a close or quit deferred meanwhile. Works on the manager's fields; the manager owns it and
// forwards to it.
//
// Main thread only. A join is current while the live operation has the handoff's id and capture
// attempt and is joining; a result, error or progress report that is no longer current is dropped
// (a stale output file deleted). Failed file deletions are ignored throughout.
class TailJoin {
public:
    explicit TailJoin(AppStateManager &manager);

    QCoro::Task<> beginTailJoin(TailJoinHandoff handoff);
    bool tailJoinIsCurrent(const QUuid &operationID, const QUuid &captureAttemptID) const;
    void handleTailJoinFailure(TailFailure::Kind kind, const QString &message);
    void completeTailJoin(const take_joiner::JoinResult &result);
    QCoro::Task<> retryTailJoin();
    QCoro::Task<> recordTailAgain();
    void discardTail();
    void endTailOperation(const TailOperation &operation);

    std::optional<double> tailJoinProgress() const;
    std::optional<TailFailure> currentTailFailure() const;
    bool isTailSheetPresented() const;

    // The default bodies of the seams of this road; each holds the manager weakly.
    AppStateManager::TailBeginJoin defaultBeginJoin();
    AppStateManager::TailJoinPerform defaultJoinPerform();
    AppStateManager::TailPersistStaged defaultPersistStaged();
    AppStateManager::TailReport defaultReport(AlertStyle style);
    AppStateManager::TerminationReply defaultTerminationReply();

private:
    void reportProgress(const QUuid &operationID, const QUuid &captureAttemptID, double fraction);
    static TailJoinHandoff handoffFor(const TailOperation &operation);

    AppStateManager &m;
};

} // namespace lumacast
