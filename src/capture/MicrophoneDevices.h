#pragma once

#include "capture/AudioRecorder.h"

#include <QList>
#include <QObject>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <memory>

namespace lumacast {

// Follows microphones being plugged in and out, and the sound server itself: while none answers
// (it went away, or restarts) the list is empty, and every two seconds a connection is tried
// again on a thread of its own, so that the list follows a server that comes back. Lives on the
// main thread; `microphonesChanged` is emitted there, only when the list of microphones really
// differs.
class MicrophoneDevices : public QObject {
    Q_OBJECT
public:
    explicit MicrophoneDevices(QObject *parent = nullptr);
    ~MicrophoneDevices() override;

    QList<MicOption> microphones() const { return m_microphones; }

signals:
    void microphonesChanged();

private:
    // Watches the sources of a connection just opened; throws pulse::PulseError.
    void follow(std::shared_ptr<pulse::PulseConnection> connection);
    void refresh();
    void retryLater();
    QCoro::Task<> reconnect();

    std::shared_ptr<pulse::PulseConnection> m_connection;
    QList<MicOption> m_microphones;
    bool m_refreshQueued = false;
    QTimer m_retry;
    bool m_reconnecting = false;
};

} // namespace lumacast
