#pragma once

#include "platform/audio/PulseAudio.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace lumacast {

// Captured sound owned by the receiver: interleaved 32-bit float frames.
struct AudioPacket {
    std::vector<float> samples;
    int sampleRate = 0;
    int channels = 0;
    qint64 monotonicNs = 0; // capture time of the first frame, CLOCK_MONOTONIC

    std::size_t frameCount() const { return channels > 0 ? samples.size() / std::size_t(channels) : 0; }
};

// Runs a piece of work on the serial queue that receives every sample of a take. Absent means
// the work runs at once on the sound server's event thread.
using SampleQueueDispatch = std::function<void(std::function<void()>)>;

// Captures one PulseAudio source and hands each packet to a callback on the sample queue. The
// callback may be set, replaced or cleared at any time from any thread; a packet already queued
// uses the callback that is set when it runs, so clearing it from the queue itself is a barrier.
class PulseCapture {
public:
    using SampleCallback = std::function<void(const AudioPacket &)>;

    explicit PulseCapture(SampleQueueDispatch queue);
    ~PulseCapture();
    PulseCapture(const PulseCapture &) = delete;
    PulseCapture &operator=(const PulseCapture &) = delete;

    // The capture's own connection, opened on first use and opened again when the server went
    // away; the caller shares it, so a reopening elsewhere cannot pull it away. Throws
    // pulse::PulseError.
    std::shared_ptr<pulse::PulseConnection> connection();

    // Starts capturing at the source's own rate and channel count. Throws pulse::PulseError; a
    // running capture is stopped first.
    void start(const pulse::SourceInfo &source);
    // Safe in any state and from any thread but the server's event thread; after it returns
    // nothing more is queued.
    void stop();
    bool isRunning() const;

    // (sample rate in Hz, channel count) of the running or last started capture.
    std::optional<std::pair<double, int>> inputFormat() const;
    QString sourceName() const;

    void setOnSample(SampleCallback callback);
    // Told (with the server's reason, from the server's event thread) when the running capture
    // fails: the sound server went away or the source was removed. Set, replaced or cleared at
    // any time from any thread.
    void setOnFailure(std::function<void(const QString &reason)> callback);

private:
    struct Delivery {
        std::mutex mutex;
        SampleCallback callback;
        std::function<void(const QString &reason)> failure;
    };

    SampleQueueDispatch m_queue;
    std::shared_ptr<Delivery> m_delivery = std::make_shared<Delivery>();
    std::shared_ptr<pulse::PulseConnection> m_connection;
    // Shared so that isRunning() can ask it outside m_mutex; stopping it twice is harmless.
    std::shared_ptr<pulse::SourceStream> m_stream;
    mutable std::mutex m_mutex; // guards m_connection, m_stream and the fields below
    std::uint64_t m_stops = 0;  // stop() calls so far, so that start() sees one made meanwhile
    std::optional<std::pair<double, int>> m_format;
    QString m_sourceName;
};

} // namespace lumacast
