#include "platform/audio/PulseCapture.h"

namespace lumacast {

PulseCapture::PulseCapture(SampleQueueDispatch queue) : m_queue(std::move(queue)) {}

PulseCapture::~PulseCapture() { stop(); }

// m_mutex is never held while the server's loop lock is taken: the event thread holds that lock
// while it runs a handler, and a handler may stop the capture, which takes m_mutex.

std::shared_ptr<pulse::PulseConnection> PulseCapture::connection()
{
    std::shared_ptr<pulse::PulseConnection> current;
    {
        std::lock_guard lock(m_mutex);
        current = m_connection;
    }
    if (current && current->isAlive())
        return current;
    auto fresh = pulse::PulseConnection::open(3000, "audio capture");
    std::lock_guard lock(m_mutex);
    m_connection = fresh;
    return fresh;
}

void PulseCapture::start(const pulse::SourceInfo &source)
{
    stop();
    std::shared_ptr<pulse::PulseConnection> server = connection();
    std::uint64_t stopsBefore = 0;
    {
        std::lock_guard lock(m_mutex);
        stopsBefore = m_stops;
    }
    // The handler runs on the server's event thread: copy the chunk out and move on.
    auto handler = [queue = m_queue, delivery = m_delivery](const pulse::AudioChunk &chunk) {
        AudioPacket packet;
        packet.samples.assign(chunk.samples, chunk.samples + chunk.frameCount * std::size_t(chunk.channels));
        packet.sampleRate = chunk.sampleRate;
        packet.channels = chunk.channels;
        packet.monotonicNs = chunk.monotonicNs;
        auto run = [delivery, packet = std::move(packet)] {
            SampleCallback callback;
            {
                std::lock_guard guard(delivery->mutex);
                callback = delivery->callback;
            }
            if (callback)
                callback(packet);
        };
        if (queue)
            queue(std::move(run));
        else
            run();
    };
    auto failed = [delivery = m_delivery](const QString &reason) {
        std::function<void(const QString &)> callback;
        {
            std::lock_guard guard(delivery->mutex);
            callback = delivery->failure;
        }
        if (callback)
            callback(reason);
    };
    auto stream = std::make_unique<pulse::SourceStream>(std::move(server), std::move(handler), std::move(failed));
    stream->start(source);
    {
        std::lock_guard lock(m_mutex);
        m_format = std::make_pair(double(stream->sampleRate()), stream->channels());
        m_sourceName = source.name;
        // A stop that came while the stream started (a handler's, say) stops it now.
        if (m_stops == stopsBefore) {
            m_stream = std::move(stream);
            return;
        }
    }
    stream->stop();
}

void PulseCapture::stop()
{
    std::shared_ptr<pulse::SourceStream> stream;
    {
        std::lock_guard lock(m_mutex);
        stream = std::move(m_stream);
        ++m_stops;
    }
    if (stream)
        stream->stop();
}

bool PulseCapture::isRunning() const
{
    std::shared_ptr<pulse::SourceStream> stream;
    {
        std::lock_guard lock(m_mutex);
        stream = m_stream;
    }
    return stream && stream->isRunning();
}

std::optional<std::pair<double, int>> PulseCapture::inputFormat() const
{
    std::lock_guard lock(m_mutex);
    return m_format;
}

QString PulseCapture::sourceName() const
{
    std::lock_guard lock(m_mutex);
    return m_sourceName;
}

void PulseCapture::setOnSample(SampleCallback callback)
{
    std::lock_guard guard(m_delivery->mutex);
    m_delivery->callback = std::move(callback);
}

void PulseCapture::setOnFailure(std::function<void(const QString &reason)> callback)
{
    std::lock_guard guard(m_delivery->mutex);
    m_delivery->failure = std::move(callback);
}

} // namespace lumacast
