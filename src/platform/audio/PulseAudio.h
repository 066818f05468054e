#pragma once

#include "model/Error.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

// The application's only door to the sound server. Everything here speaks the plain libpulse
// protocol, so PipeWire's PulseAudio server answers the same way as PulseAudio itself.
namespace lumacast::pulse {

// A failure reported by the sound server or by libpulse: domain "PulseAudio", libpulse's error
// number as the code (0 when the failure is ours, such as a time-out), its text in the
// description.
class PulseError : public Error {
public:
    explicit PulseError(const QString &description, int code = 0)
        : Error(QStringLiteral("PulseAudio"), code, description)
    {
    }
};

// One capture source as the server describes it.
struct SourceInfo {
    QString name;        // stable identifier ("alsa_input.usb-…", "mic", "speaker.monitor")
    QString description; // what the user sees ("Built-in Microphone")
    bool isMonitor = false;  // the monitor of a sink: what the sink plays, not a microphone
    bool unplugged = false;  // the active port says nothing is plugged in
    int sampleRate = 0;
    int channels = 0;
};

// The monotonic clock (CLOCK_MONOTONIC) in nanoseconds: the clock screen frames are stamped on.
qint64 monotonicNanoseconds();

// One connection to the sound server with its own event thread. Every call may be made from any
// thread except the connection's own event thread.
class PulseConnection {
public:
    // Connects without spawning a server; throws PulseError when none answers within the time.
    // `threadName` (a string literal, 15 characters at most) names the event thread.
    static std::shared_ptr<PulseConnection> open(int timeoutMs = 3000, const char *threadName = "pulse events");
    ~PulseConnection();
    PulseConnection(const PulseConnection &) = delete;
    PulseConnection &operator=(const PulseConnection &) = delete;

    // False once the server has gone away or dropped the connection.
    bool isAlive() const;

    std::vector<SourceInfo> sources();
    std::optional<SourceInfo> source(const QString &name);
    QString defaultSourceName();
    QString defaultSinkName();
    // The source that carries what the default sink plays. Throws when there is no default sink.
    QString defaultSinkMonitorName();

    // Calls `onChange` on the connection's event thread whenever a source appears, disappears or
    // changes, and when the server's defaults change. Keep it short: post the news elsewhere.
    void watchSources(std::function<void()> onChange);

private:
    struct Impl;
    explicit PulseConnection(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
    friend class SourceStream;
};

// Whether a sound server answers at all.
bool serverAnswers(int timeoutMs = 2000);

// Captured samples as they come off the server: interleaved 32-bit float frames at the source's
// own rate and channel count. Valid only during the handler call.
struct AudioChunk {
    const float *samples = nullptr;
    std::size_t frameCount = 0;
    int sampleRate = 0;
    int channels = 0;
    // When the first frame was captured: its arrival, less what was still unread then and the
    // source's own latency.
    qint64 monotonicNs = 0;
};

// A record stream on one source, at the source's native rate and channel layout. The handler
// runs on the connection's event thread. `stop` may be called in any state, any number of times;
// once it returns the handler is never called again.
class SourceStream {
public:
    using Handler = std::function<void(const AudioChunk &)>;
    // Called once, on the event thread, when a running stream fails (the server went away, the
    // source was removed), with the server's reason; never after `stop`.
    using FailureHandler = std::function<void(const QString &reason)>;

    SourceStream(std::shared_ptr<PulseConnection> connection, Handler handler,
                 FailureHandler onFailure = {});
    ~SourceStream();
    SourceStream(const SourceStream &) = delete;
    SourceStream &operator=(const SourceStream &) = delete;

    // Opens the stream and waits until the server runs it; throws PulseError otherwise.
    void start(const SourceInfo &source);
    void stop();
    bool isRunning() const;

    int sampleRate() const { return m_sampleRate; }
    int channels() const { return m_channels; }

private:
    struct State;
    std::shared_ptr<PulseConnection> m_connection;
    std::shared_ptr<State> m_state;
    int m_sampleRate = 0;
    int m_channels = 0;
};

} // namespace lumacast::pulse
