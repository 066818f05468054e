#pragma once

#include "platform/audio/PulseCapture.h"

#include <optional>
#include <utility>

namespace lumacast {

// Records what the system plays: the monitor of the default output, for the take's second audio
// track. Packets go to the sample callback on the recorder's sample queue.
class SystemAudioCapture {
public:
    using SampleCallback = PulseCapture::SampleCallback;

    explicit SystemAudioCapture(SampleQueueDispatch sampleQueue);

    // Throws pulse::PulseError when there is no server, no default output or it cannot be read.
    void start();
    // Safe in every state.
    void stop() { m_capture.stop(); }
    bool isRunning() const { return m_capture.isRunning(); }

    std::optional<std::pair<double, int>> inputFormat() const { return m_capture.inputFormat(); }
    QString sourceName() const { return m_capture.sourceName(); }

    void setOnSample(SampleCallback callback) { m_capture.setOnSample(std::move(callback)); }

private:
    PulseCapture m_capture;
};

} // namespace lumacast
