#pragma once

#include "control/AppStateManager.h"

#include <QPointer>
#include <QString>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <optional>

namespace lumacast {

// The way of a tail from the user's request to a running capture: the eligibility check, the
// operation's creation, the take's audio plan read back, the destructive-tail warning (once per
// open recording), and one capture attempt with the take's audio plan and a check that the
// capture has the take's pixel size. Also the two ways an attempt without a tail ends, and the
// queries the windows follow the operation by. Works on the manager's fields; the manager owns
// it and forwards to it.
//
// Main thread only. Each continuation after a suspension checks that the live operation still
// has the id (and, after the size probe and the capture start, the capture attempt) it started
// from; a stale continuation logs and changes nothing. Failures are reported by log lines and
// through `tailReportFailure`, never thrown.
class TailRecording {
public:
    explicit TailRecording(AppStateManager &manager);

    bool canRecordTail(const QUuid &sceneID, const QUuid &takeID) const;
    QCoro::Task<> recordTail(QUuid sceneID, QUuid takeID, std::optional<double> playheadPosition);
    QCoro::Task<> startTailCapture(TailOperation operation, AudioEncodingPlan plan, TailOperation::Attempt attempt);
    void abortInitialTail(const std::optional<QString> &message);
    void failRecordAgain(TailFailure::Kind previousKind, const QString &previousMessage, const QString &message);

    std::optional<QString> tailTargetLabel() const;
    bool tailSystemAudioIndicator() const;

    // The default bodies of the four seams of this road; each holds the manager weakly.
    AppStateManager::TailDecision defaultWarningDecision();
    AppStateManager::TailDecision defaultWarningPresenter();
    AppStateManager::TailCaptureStart defaultCaptureStart();
    AppStateManager::TailRecorderStop defaultRecorderStop();

private:
    static QCoro::Task<TailCaptureStartResult> captureStart(QPointer<AppStateManager> weak,
                                                            TailCaptureRequest request);
    // The live operation has this id (and this capture attempt when one is given).
    bool isLive(const QUuid &operationID, const std::optional<QUuid> &captureAttemptID = std::nullopt) const;
    void logApp(const QString &message) const;

    AppStateManager &m;
};

} // namespace lumacast
