#pragma once

#include "capture/AudioRecorder.h"

#include <QList>
#include <QObject>

#include <memory>

namespace lumacast {

// Follows microphones being plugged in and out. Lives on the main thread; `microphonesChanged`
// is emitted there, only when the list of microphones really differs.
class MicrophoneDevices : public QObject {
    Q_OBJECT
public:
    explicit MicrophoneDevices(QObject *parent = nullptr);
    ~MicrophoneDevices() override;

    QList<MicOption> microphones() const { return m_microphones; }

signals:
    void microphonesChanged();

private:
    void refresh();

    std::shared_ptr<pulse::PulseConnection> m_connection;
    QList<MicOption> m_microphones;
    bool m_refreshQueued = false;
};

} // namespace lumacast
