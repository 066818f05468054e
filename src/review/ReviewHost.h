#pragma once

#include "model/Session.h"

#include <QSet>
#include <QString>
#include <QUuid>

#include <optional>

namespace lumacast::review {

// What the review player, its playback rules, the player pane and the trim bar read and call of
// the application's state manager. The application implements it on the state manager with a
// thin adapter; tests implement it on a plain record.
//
// Main thread only. Operations on an unknown scene or take change nothing; none of them throws.
// Paths are local file paths.
class ReviewHost {
public:
    virtual ~ReviewHost() = default;

    // Published state ---------------------------------------------------------------------------
    // The open session, or null. The pointer stays valid until the next call of any operation.
    virtual const Session *currentSession() const = 0;
    // The movie of the take under review.
    virtual std::optional<QString> currentTakeURL() const = 0;
    // The take the review window should preview.
    virtual std::optional<QUuid> previewedTakeID() const = 0;
    // The take just recorded and not yet approved or deleted.
    virtual std::optional<QUuid> pendingTakeID() const = 0;
    // A tail operation is live (`tailOperation` present).
    virtual bool hasTailOperation() const = 0;
    // Volume of a take's system-audio track in the preview, 0 to 1.
    virtual double systemAudioMixLevel() const = 0;
    // Set by the state manager when the next load must not store the outgoing take's playhead;
    // the loader clears it.
    virtual bool skipOutgoingPlayheadSave() const = 0;
    virtual void setSkipOutgoingPlayheadSave(bool skip) = 0;

    // Trimming ------------------------------------------------------------------------------------
    // Live trim during a drag: clamps into 0...duration and publishes, no undo step, no save.
    virtual void setTrimLive(const QUuid &sceneID, const QUuid &takeID, double start, double end) = 0;
    // Committed trim: "Trim" undo checkpoint (merged within 1 s), clamps, publishes, autosaves.
    virtual void setTakeTrim(const QUuid &sceneID, const QUuid &takeID, double start, double end) = 0;
    // Records an undo checkpoint; returns the take file names only dropped history referred to.
    virtual QSet<QString> checkpoint(const QString &actionName) = 0;
    virtual void collectOrphanTakeFiles() = 0;
    // The debounced autosave (0.3 s after the last call).
    virtual void scheduleSave() = 0;

    // Playback bookkeeping --------------------------------------------------------------------------
    // Stores where the player stood in a take (seconds); no undo step, autosaves.
    virtual void setTakePlayhead(double position, const QUuid &sceneID, const QUuid &takeID) = 0;
    // Corrects a take's stored duration (seconds) to its movie's; a trim end at the old
    // duration follows it.
    virtual void correctTakeDuration(double duration, const QUuid &sceneID, const QUuid &takeID) = 0;
    virtual void setCurrentScene(const QUuid &sceneID) = 0;

    // Tails and review close -------------------------------------------------------------------------
    virtual bool canRecordTail(const QUuid &sceneID, const QUuid &takeID) const = 0;
    // Starts the tail operation for the take (asynchronous; reports its own failures).
    virtual void recordTail(const QUuid &sceneID, const QUuid &takeID, std::optional<double> playhead) = 0;
    virtual bool hasPendingTakeOnReviewClose() const = 0;
    // Discards the take under review.
    virtual void retake() = 0;
};

} // namespace lumacast::review
