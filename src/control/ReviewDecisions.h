#pragma once

#include "control/TailOperation.h"

#include <qcoro/qcorotask.h>

namespace lumacast {

class AppStateManager;

// The decisions around a take under review and between takes and scenes: approve (by hand or
// automatically), leave review, retake, approve and go on (new take or next scene), open a new
// scene, end the take and go on to a new scene, start a new session; plus the deferral of close
// and quit while a tail operation is live and the pause of a running take while the tray menu
// is open. Works on the manager's fields; the manager owns it and forwards its public
// operations here.
//
// Main thread only. Refusals are silent (no log, no alert); starting a take afterwards is a
// posted task that reports its own failures.
class ReviewDecisions {
public:
    explicit ReviewDecisions(AppStateManager &manager);

    bool checkReviewedTake() const;
    void markApproved();
    void leaveReview();
    void approve();
    void autoApprove();
    void approveAndNewTake();
    void retake();
    void approveAndNextScene();
    void advanceToScene();
    QCoro::Task<> endTakeAndNextScene();
    QCoro::Task<> newSession(); // throws the scratch folder's error
    bool deferWhileTailPending(PendingExternalAction action);
    void menuDidOpen();
    void menuDidClose();

    // Starts a take from a posted task, never inline (the caller may be a hot key or a menu).
    void startRecordingSoon();

private:
    QString reviewedFileName() const;
    // A take is starting, running or paused: nothing may start another or move its scene.
    bool takeUnderWay() const;

    AppStateManager &m;
};

} // namespace lumacast
