#pragma once

#include "model/Session.h"

#include <QUuid>

#include <qcoro/qcorotask.h>

#include <optional>

namespace lumacast::review {

// The state manager's take, tail, document and close operations that the review window calls,
// named and meaning as the state manager's own. `ManagerReviewCommands` implements them on the
// state manager; tests may hand in their own.
//
// Main thread only. Every operation refuses by itself when it cannot run now (a live tail
// operation, a take being recorded) and reports its own failures; none of them throws except
// `startRecording`, whose error the caller discards. The tasks are started by the caller on the
// event loop and neither kept nor cancelled.
class ReviewCommands {
public:
    virtual ~ReviewCommands() = default;

    // The take under review and the take road.
    virtual void approve() = 0;
    // Discards the take under review.
    virtual void retake() = 0;
    // Approves a take under review and leaves review; nothing when none is under review.
    virtual void autoApprove() = 0;
    // Makes the next scene current, appending an empty one at the end.
    virtual void advanceToScene() = 0;
    // Starts a take in the current scene. May throw; the state manager alerts by itself.
    virtual QCoro::Task<> startRecording() = 0;

    // Tails.
    virtual bool canRecordTail(const QUuid &sceneID, const QUuid &takeID) const = 0;
    // `playhead` in seconds, absent when no player stood anywhere.
    virtual QCoro::Task<> recordTail(QUuid sceneID, QUuid takeID, std::optional<double> playhead) = 0;
    virtual QCoro::Task<> retryTailJoin() = 0;
    virtual QCoro::Task<> recordTailAgain() = 0;
    virtual void discardTail() = 0;

    // Documents (the start screen).
    virtual QCoro::Task<> guardedNewSession() = 0;
    virtual void guardedOpenSession() = 0;
    virtual void guardedResumeSession(const Session &session) = 0;
    virtual void discardRecoveredSession(const Session &session) = 0;

    // The review window.
    // Asked when the user closes the window; true: close now. A live tail operation defers the
    // close (false) until it resolves.
    virtual bool reviewWindowShouldClose() = 0;
    // An unapproved just-recorded take is to be discarded as the window closes.
    virtual bool hasPendingTakeOnReviewClose() const = 0;
    virtual void rememberViewedTake(const std::optional<QUuid> &takeID) = 0;
};

} // namespace lumacast::review
