#pragma once

#include "model/Error.h"

#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>

namespace lumacast {

// What the capture layer needs of the state manager. The state manager implements it; tests
// put a double in its place. Everything here is called on the main thread.
class StateManagerCallbacks {
public:
    virtual ~StateManagerCallbacks() = default;
    // Ends the take that the failure interrupted and shows the alert "Recording interrupted".
    virtual QCoro::Task<> endTakeAfterStreamError(QString description) = 0;
    // The platform's video effect started (true) or stopped (false): show or hide the webcam
    // overlay accordingly.
    virtual void updateWebcamOverlayVisibility(bool videoEffectActive) = 0;
};

// The closures the state manager installs as the screen recorder's `onStreamError` and
// `onVideoEffectChanged`. The recorder calls them on whatever thread it reports from and relies
// on them to move the work to the main thread and to ignore a second stream error while the
// first is still being handled. Lives on the main thread; closures that outlive it do nothing.
class RecorderCallbackRelay : public QObject {
    Q_OBJECT
public:
    explicit RecorderCallbackRelay(StateManagerCallbacks &target, QObject *parent = nullptr);
    ~RecorderCallbackRelay() override;

    std::function<void(const Error &)> onStreamErrorCallback();
    std::function<void(bool)> onVideoEffectChangedCallback();

    bool isHandlingStreamError() const { return m_handlingStreamError; }

private:
    QCoro::Task<> handleStreamError(QString description);

    StateManagerCallbacks &m_target;
    bool m_handlingStreamError = false;
};

} // namespace lumacast
