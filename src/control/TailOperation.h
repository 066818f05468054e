#pragma once

#include "capture/AudioEncodingPlan.h"
#include "control/AppState.h"
#include "model/Session.h"

#include <QString>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>
#include <variant>

namespace lumacast {

// Why a tail operation stopped, and what the user is offered: a `deterministic` failure cannot
// be helped by joining again (Record Again or Discard Tail only), a `transient` one may.
struct TailFailure {
    enum class Kind { deterministic, transient };
    Kind kind = Kind::transient;
    QString message; // shown to the user

    friend bool operator==(const TailFailure &, const TailFailure &) = default;
    static QString kindName(Kind kind); // "deterministic" or "transient"
};

// The one live tail operation: a new ending recorded for a take and joined to its kept part.
// A plain value; the state manager holds it while the operation is live and republishes every
// change. Only `captureAttemptID`, the two working files, `phase` and `capturePlan` change after
// creation. All paths are absolute file paths.
struct TailOperation {
    // Which capture attempt a preparing or recording phase belongs to.
    struct Initial {
        friend bool operator==(const Initial &, const Initial &) = default;
    };
    struct RecordAgain {
        TailFailure previousFailure; // the failure that was shown when Record Again was chosen
        friend bool operator==(const RecordAgain &, const RecordAgain &) = default;
    };
    using Attempt = std::variant<RecordAgain, Initial>;

    struct Preparing {
        Attempt attempt;
        friend bool operator==(const Preparing &, const Preparing &) = default;
    };
    struct Recording {
        Attempt attempt;
        friend bool operator==(const Recording &, const Recording &) = default;
    };
    struct Joining {
        std::optional<double> progress; // 0...1; absent before the first report
        friend bool operator==(const Joining &, const Joining &) = default;
    };
    struct Failed {
        TailFailure failure;
        friend bool operator==(const Failed &, const Failed &) = default;
    };
    using Phase = std::variant<Preparing, Recording, Joining, Failed>;

    QUuid id;
    QUuid captureAttemptID;
    QUuid sceneID;
    QUuid targetTakeID;
    std::optional<QUuid> previewedTakeID;
    Take originalTake;
    QString originalURL;
    double frozenTrimStart = 0; // seconds
    double frozenTrimEnd = 0;   // seconds; the splice point of the join
    AppState priorAppState = AppState::idle;
    std::optional<QUuid> priorPendingTakeID;
    QString tailURL;         // "<stem>.tail.mov" in the session's "takes" folder
    QString stagedOutputURL; // "<stem>.joining.mov" beside it, same stem
    Phase phase = Preparing{Initial{}};
    std::optional<AudioEncodingPlan> capturePlan;

    // The failure of a failed phase, else nothing.
    std::optional<TailFailure> failure() const;
    bool isJoining() const { return std::holds_alternative<Joining>(phase); }
};

// What starting a tail capture receives.
struct TailCaptureRequest {
    QString outputURL;   // the operation's tailURL
    QString originalURL; // the take's movie
    AudioEncodingPlan plan;
    int expectedWidth = 0;  // pixels; 0 when the take's size could not be read
    int expectedHeight = 0; // pixels
};

struct TailCaptureStartResult {
    enum class Kind { refused, failed, started, cancelled };
    Kind kind = Kind::started;
    QString message; // refused and failed: the text shown to the user

    static TailCaptureStartResult refused(QString text) { return {Kind::refused, std::move(text)}; }
    static TailCaptureStartResult failed(QString text) { return {Kind::failed, std::move(text)}; }
    static TailCaptureStartResult started() { return {Kind::started, {}}; }
    static TailCaptureStartResult cancelled() { return {Kind::cancelled, {}}; }

    friend bool operator==(const TailCaptureStartResult &, const TailCaptureStartResult &) = default;
};

// Which operation and capture attempt a stop finaliser belongs to.
struct TailFinalizerKey {
    QUuid operationID;
    QUuid captureAttemptID;
    friend bool operator==(const TailFinalizerKey &, const TailFinalizerKey &) = default;
};

enum class TailFinalizationOutcome { notATail, stale, initialAbort, usable, failedUnresolved };

// The stop finaliser in progress. The task never fails; it is shared so that a second stop
// request can wait for the one already running.
struct TailFinalizerSlot {
    TailFinalizerKey key;
    QUuid token;
    std::shared_ptr<QCoro::Task<TailFinalizationOutcome>> task;
};

// What the join step receives; ignored unless both ids still name the live operation.
struct TailJoinHandoff {
    QUuid operationID;
    QUuid captureAttemptID;
    QString originalURL;
    double trimEnd = 0; // seconds: the splice point
    QString tailURL;
    QString stagedOutputURL;
    friend bool operator==(const TailJoinHandoff &, const TailJoinHandoff &) = default;
};

// A close or quit asked for while a tail operation is live, carried out when it ends.
enum class PendingExternalAction { close, quit };
QString caseName(PendingExternalAction action); // "close" or "quit"

// The user's choice on a failed operation: "Retry", "Record Again", "Discard Tail".
enum class TailFailureAction { retry, recordAgain, discard };

} // namespace lumacast
