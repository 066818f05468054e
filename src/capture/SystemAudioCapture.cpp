#include "capture/SystemAudioCapture.h"

namespace lumacast {

SystemAudioCapture::SystemAudioCapture(SampleQueueDispatch sampleQueue) : m_capture(std::move(sampleQueue)) {}

void SystemAudioCapture::start()
{
    const auto connection = m_capture.connection();
    const QString monitor = connection->defaultSinkMonitorName();
    const auto source = connection->source(monitor);
    if (!source)
        throw pulse::PulseError(QStringLiteral("PulseAudio: the output monitor %1 has gone").arg(monitor));
    m_capture.start(*source);
}

} // namespace lumacast
