#pragma once

#include "control/AppStateManager.h"

#include <QPointer>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <optional>

namespace lumacast {

// The end of a tail capture, whatever ends it (the end-take command, a stream error, closing or
// quitting): exactly one finalisation per capture attempt stops the recorder, checks the movie
// and either hands a usable tail to the join, abandons the operation, returns it to its earlier
// failure, or recognises the completion as stale. Works on the manager's fields; the manager owns
// it and forwards to it.
//
// Main thread only. The stop runs as a task of its own posted to the event loop, keyed by the
// operation's id and capture attempt plus a token of its own; a completion whose key or token no
// longer matches the manager's slot logs "[tail] stale stop completion ignored" and changes
// nothing.
class TailFinalizer {
public:
    explicit TailFinalizer(AppStateManager &manager);

    QCoro::Task<TailFinalizationOutcome> waitForTailFinalizer();
    TailFinalizationOutcome finalizeTailStop(const std::optional<RecorderService::Recording> &candidate,
                                             const TailFinalizerKey &key, const QUuid &token);

    AppStateManager::TailUsabilityCheck defaultUsabilityCheck();

private:
    static QCoro::Task<TailFinalizationOutcome> stopTask(QPointer<AppStateManager> weak, TailFinalizerKey key,
                                                         QUuid token);
    bool isStale(const TailFinalizerKey &key, const QUuid &token) const;
    // `keptApart`: the tail's folder went while it was recorded and the tail was kept apart.
    TailFinalizationOutcome finish(const std::optional<RecorderService::Recording> &candidate,
                                   const TailFinalizerKey &key, const QUuid &token, bool keptApart);

    AppStateManager &m;
};

} // namespace lumacast
