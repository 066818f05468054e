#include "platform/audio/PulseAudio.h"

#include "model/LogCategories.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace lumacast::pulse {

namespace {

// The threaded main loop has no timed wait. The waits here are short hand-offs to the event
// thread, so polling with the lock released is simple and keeps a stuck server from hanging us.
constexpr auto kPollStep = std::chrono::milliseconds(2);
constexpr int kOperationTimeoutMs = 5000;

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop *loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(m_loop); }
    LoopLock(const LoopLock &) = delete;
    LoopLock &operator=(const LoopLock &) = delete;

private:
    pa_threaded_mainloop *m_loop;
};

// Waits, with the loop's lock held on entry and on return, until `done` holds or time runs out.
template <typename Predicate>
bool waitLocked(pa_threaded_mainloop *loop, int timeoutMs, Predicate done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        pa_threaded_mainloop_unlock(loop);
        std::this_thread::sleep_for(kPollStep);
        pa_threaded_mainloop_lock(loop);
    }
    return true;
}

QString text(const char *s) { return s ? QString::fromUtf8(s) : QString(); }

SourceInfo toSourceInfo(const pa_source_info *i)
{
    SourceInfo info;
    info.name = text(i->name);
    info.description = text(i->description);
    if (info.description.isEmpty())
        info.description = info.name;
    info.isMonitor = i->monitor_of_sink != PA_INVALID_INDEX;
    info.unplugged = i->active_port && i->active_port->available == PA_PORT_AVAILABLE_NO;
    info.sampleRate = int(i->sample_spec.rate);
    info.channels = int(i->sample_spec.channels);
    return info;
}

} // namespace

qint64 monotonicNanoseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

struct PulseConnection::Impl {
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    std::function<void()> onSourcesChanged; // touched only under the loop's lock

    ~Impl()
    {
        if (!loop)
            return;
        if (context) {
            {
                LoopLock lock(loop);
                pa_context_set_state_callback(context, nullptr, nullptr);
                pa_context_set_subscribe_callback(context, nullptr, nullptr);
                onSourcesChanged = nullptr;
                pa_context_disconnect(context);
                pa_context_unref(context);
                context = nullptr;
            }
        }
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    QString lastError() const { return text(pa_strerror(pa_context_errno(context))); }
    int lastErrno() const { return pa_context_errno(context); }

    bool good() const { return context && PA_CONTEXT_IS_GOOD(pa_context_get_state(context)); }

    // Runs one server operation to its end; the lock is held by the caller.
    void finish(pa_operation *op, const char *what)
    {
        if (!op)
            throw PulseError(QStringLiteral("PulseAudio: %1 failed: %2").arg(QLatin1String(what), lastError()), lastErrno());
        const bool done = waitLocked(loop, kOperationTimeoutMs, [&] {
            return pa_operation_get_state(op) != PA_OPERATION_RUNNING || !good();
        });
        if (pa_operation_get_state(op) == PA_OPERATION_RUNNING)
            pa_operation_cancel(op);
        pa_operation_unref(op);
        if (!done)
            throw PulseError(QStringLiteral("PulseAudio: %1 timed out").arg(QLatin1String(what)));
        if (!good())
            throw PulseError(QStringLiteral("PulseAudio: connection lost during %1").arg(QLatin1String(what)));
    }

    struct ServerNames {
        QString defaultSink;
        QString defaultSource;
    };

    ServerNames serverNames()
    {
        ServerNames names;
        LoopLock lock(loop);
        finish(pa_context_get_server_info(
                   context,
                   [](pa_context *, const pa_server_info *i, void *userdata) {
                       if (!i)
                           return;
                       auto *n = static_cast<ServerNames *>(userdata);
                       n->defaultSink = text(i->default_sink_name);
                       n->defaultSource = text(i->default_source_name);
                   },
                   &names),
               "reading the server defaults");
        return names;
    }

    static void onContextState(pa_context *c, void *userdata)
    {
        auto *self = static_cast<Impl *>(userdata);
        const pa_context_state_t state = pa_context_get_state(c);
        if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && self->onSourcesChanged)
            self->onSourcesChanged(); // every source is gone as far as we can tell
    }

    static void onSubscription(pa_context *, pa_subscription_event_type_t, uint32_t, void *userdata)
    {
        auto *self = static_cast<Impl *>(userdata);
        if (self->onSourcesChanged)
            self->onSourcesChanged();
    }
};

PulseConnection::PulseConnection(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
PulseConnection::~PulseConnection() = default;

std::shared_ptr<PulseConnection> PulseConnection::open(int timeoutMs, const char *threadName)
{
    auto impl = std::make_unique<Impl>();
    impl->loop = pa_threaded_mainloop_new();
    if (!impl->loop)
        throw PulseError(QStringLiteral("PulseAudio: could not create the event loop"));
    pa_threaded_mainloop_set_name(impl->loop, threadName);
    pa_proplist *props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Lumacast");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, kApplicationIdentifier);
    impl->context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(impl->loop), "Lumacast", props);
    pa_proplist_free(props);
    if (!impl->context)
        throw PulseError(QStringLiteral("PulseAudio: could not create a context"));
    pa_context_set_state_callback(impl->context, &Impl::onContextState, impl.get());

    // No autospawn: whether a server answers is itself a question we ask (the microphone check).
    if (pa_context_connect(impl->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        throw PulseError(QStringLiteral("PulseAudio: ") + impl->lastError(), impl->lastErrno());
    if (pa_threaded_mainloop_start(impl->loop) < 0)
        throw PulseError(QStringLiteral("PulseAudio: could not start the event loop"));

    QString failure;
    {
        LoopLock lock(impl->loop);
        const bool settled = waitLocked(impl->loop, timeoutMs, [&] {
            const pa_context_state_t s = pa_context_get_state(impl->context);
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        });
        if (!settled)
            failure = QStringLiteral("PulseAudio: the server did not answer within %1 ms").arg(timeoutMs);
        else if (pa_context_get_state(impl->context) != PA_CONTEXT_READY)
            failure = QStringLiteral("PulseAudio: %1").arg(impl->lastError());
    }
    if (!failure.isEmpty())
        throw PulseError(failure);
    return std::shared_ptr<PulseConnection>(new PulseConnection(std::move(impl)));
}

bool PulseConnection::isAlive() const
{
    LoopLock lock(d->loop);
    return pa_context_get_state(d->context) == PA_CONTEXT_READY;
}

std::vector<SourceInfo> PulseConnection::sources()
{
    struct Collect {
        std::vector<SourceInfo> list;
    } collect;
    LoopLock lock(d->loop);
    d->finish(pa_context_get_source_info_list(
                  d->context,
                  [](pa_context *, const pa_source_info *i, int eol, void *userdata) {
                      if (eol == 0 && i)
                          static_cast<Collect *>(userdata)->list.push_back(toSourceInfo(i));
                  },
                  &collect),
              "listing sources");
    return collect.list;
}

std::optional<SourceInfo> PulseConnection::source(const QString &name)
{
    std::optional<SourceInfo> found;
    const QByteArray utf8 = name.toUtf8();
    LoopLock lock(d->loop);
    d->finish(pa_context_get_source_info_by_name(
                  d->context, utf8.constData(),
                  [](pa_context *, const pa_source_info *i, int eol, void *userdata) {
                      if (eol == 0 && i)
                          *static_cast<std::optional<SourceInfo> *>(userdata) = toSourceInfo(i);
                  },
                  &found),
              "looking up a source");
    return found;
}

QString PulseConnection::defaultSourceName() { return d->serverNames().defaultSource; }
QString PulseConnection::defaultSinkName() { return d->serverNames().defaultSink; }

QString PulseConnection::defaultSinkMonitorName()
{
    const QString sink = defaultSinkName();
    if (sink.isEmpty())
        throw PulseError(QStringLiteral("PulseAudio: there is no default output device"));
    QString monitor;
    const QByteArray utf8 = sink.toUtf8();
    {
        LoopLock lock(d->loop);
        d->finish(pa_context_get_sink_info_by_name(
                      d->context, utf8.constData(),
                      [](pa_context *, const pa_sink_info *i, int eol, void *userdata) {
                          if (eol == 0 && i)
                              *static_cast<QString *>(userdata) = text(i->monitor_source_name);
                      },
                      &monitor),
                  "looking up the default output device");
    }
    if (monitor.isEmpty())
        throw PulseError(QStringLiteral("PulseAudio: the output device %1 has no monitor").arg(sink));
    return monitor;
}

void PulseConnection::watchSources(std::function<void()> onChange)
{
    LoopLock lock(d->loop);
    d->onSourcesChanged = std::move(onChange);
    pa_context_set_subscribe_callback(d->context, &Impl::onSubscription, d.get());
    d->finish(pa_context_subscribe(
                  d->context, pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
                  nullptr, nullptr),
              "subscribing to source events");
}

bool serverAnswers(int timeoutMs)
{
    try {
        return PulseConnection::open(timeoutMs, "pulse check")->isAlive();
    } catch (const PulseError &) {
        return false;
    }
}

// ---------------------------------------------------------------------------------------------

struct SourceStream::State {
    pa_threaded_mainloop *loop = nullptr;
    pa_stream *stream = nullptr; // touched only under the loop's lock
    Handler handler;
    FailureHandler onFailure;
    QString sourceName;
    int sampleRate = 0;
    int channels = 0;
    bool failureLogged = false;
    std::weak_ptr<State> weakSelf;
    // Chunks are dated by counting frames from an anchor, so that the reading from each chunk's
    // arrival cannot make the stamps wobble. That reading is late by up to one fragment: the
    // server sends a fragment in pieces, and a piece is read before the ones behind it have
    // arrived. A reading that strays further than that (a hole, a clock drifting apart) becomes
    // the new anchor.
    std::optional<qint64> anchorNs;
    qint64 framesSinceAnchor = 0;
    static constexpr qint64 kReanchorNs = 20'000'000;
    qint64 reanchorNs = kReanchorNs; // kReanchorNs plus the stream's fragment

    qint64 stamp(qint64 measuredNs, std::size_t frames)
    {
        if (anchorNs) {
            const qint64 expected = *anchorNs + framesSinceAnchor * 1'000'000'000 / sampleRate;
            if (std::llabs(measuredNs - expected) <= reanchorNs) {
                framesSinceAnchor += qint64(frames);
                return expected;
            }
        }
        anchorNs = measuredNs;
        framesSinceAnchor = qint64(frames);
        return measuredNs;
    }

    // The source's own buffering (a device's hardware buffer; nothing for a monitor) as the
    // server last reported it. libpulse's stream latency is not used to date chunks: its clock
    // runs from the moment the stream connects, so a source that first delivers later (a null
    // sink finishing a long block, a device waking up) makes it read that delay too long for
    // every later chunk, until a timing update seconds later pulls it back.
    static qint64 sourceLatencyNs(pa_stream *s)
    {
        const pa_timing_info *timing = pa_stream_get_timing_info(s);
        return timing ? qint64(std::min<pa_usec_t>(timing->source_usec, kMaxSourceLatencyUs)) * 1000 : 0;
    }
    static constexpr pa_usec_t kMaxSourceLatencyUs = 500'000; // past this the report is not believed

    static void onRead(pa_stream *s, size_t, void *userdata)
    {
        auto *self = static_cast<State *>(userdata);
        // A handler may stop the capture and drop its owner; the state stays until we are done.
        const std::shared_ptr<State> keepAlive = self->weakSelf.lock();
        const std::size_t frameBytes = sizeof(float) * std::size_t(self->channels);
        for (;;) {
            // Everything not yet read, this chunk included, arrived before now; its last frame
            // left the source that source's own latency before that.
            const size_t unread = pa_stream_readable_size(s);
            if (unread == 0 || unread == size_t(-1))
                return;
            const void *data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0)
                return;
            // A hole (no data, but a length) is skipped; the next chunk's timestamp tells the
            // writer where the sound resumes.
            if (data && self->handler) {
                AudioChunk chunk;
                chunk.samples = static_cast<const float *>(data);
                chunk.frameCount = bytes / frameBytes;
                chunk.sampleRate = self->sampleRate;
                chunk.channels = self->channels;
                if (chunk.frameCount > 0) {
                    const qint64 unreadNs = qint64(unread / frameBytes) * 1'000'000'000 / self->sampleRate;
                    chunk.monotonicNs = self->stamp(monotonicNanoseconds() - unreadNs - sourceLatencyNs(s),
                                                    chunk.frameCount);
                    self->handler(chunk);
                    if (self->stream != s)
                        return; // the handler stopped the capture: the stream is gone
                }
            }
            pa_stream_drop(s);
        }
    }

    static void onState(pa_stream *s, void *userdata)
    {
        auto *self = static_cast<State *>(userdata);
        const pa_stream_state_t state = pa_stream_get_state(s);
        // `release` unhooks this callback before it ends a stream itself: a terminated stream
        // here was ended by the server.
        if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && !self->failureLogged) {
            self->failureLogged = true;
            const QString reason = QString::fromUtf8(pa_strerror(pa_context_errno(pa_stream_get_context(s))));
            qCWarning(lumacast::log::recorder(), "audio capture from %s failed: %s",
                      qUtf8Printable(self->sourceName), qUtf8Printable(reason));
            if (self->onFailure)
                self->onFailure(reason);
        }
    }

    // Lock held by the caller.
    void release()
    {
        if (!stream)
            return;
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }
};

SourceStream::SourceStream(std::shared_ptr<PulseConnection> connection, Handler handler,
                           FailureHandler onFailure)
    : m_connection(std::move(connection)), m_state(std::make_shared<State>())
{
    m_state->onFailure = std::move(onFailure);
    m_state->loop = m_connection->d->loop;
    m_state->weakSelf = m_state;
    m_state->handler = std::move(handler);
}

SourceStream::~SourceStream() { stop(); }

void SourceStream::start(const SourceInfo &source)
{
    auto *d = m_connection->d.get();
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = uint32_t(source.sampleRate);
    spec.channels = uint8_t(source.channels);
    if (!pa_sample_spec_valid(&spec))
        throw PulseError(QStringLiteral("PulseAudio: the source %1 reports an unusable format (%2 Hz, %3 channels)")
                             .arg(source.name)
                             .arg(source.sampleRate)
                             .arg(source.channels));

    QString failure;
    {
        LoopLock lock(d->loop);
        if (m_state->stream)
            throw PulseError(QStringLiteral("PulseAudio: the capture stream is already running"));
        m_state->sourceName = source.name;
        m_state->sampleRate = source.sampleRate;
        m_state->channels = source.channels;
        m_state->failureLogged = false;
        m_state->anchorNs.reset();
        m_state->framesSinceAnchor = 0;
        pa_stream *stream = pa_stream_new(d->context, "Lumacast capture", &spec, nullptr);
        if (!stream)
            throw PulseError(QStringLiteral("PulseAudio: ") + d->lastError(), d->lastErrno());
        m_state->stream = stream;
        pa_stream_set_read_callback(stream, &State::onRead, m_state.get());
        pa_stream_set_state_callback(stream, &State::onState, m_state.get());

        pa_buffer_attr attr;
        attr.maxlength = uint32_t(-1);
        attr.tlength = uint32_t(-1);
        attr.prebuf = uint32_t(-1);
        attr.minreq = uint32_t(-1);
        attr.fragsize = uint32_t(pa_usec_to_bytes(20 * PA_USEC_PER_MSEC, &spec)); // 20 ms pieces
        const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE);
        const QByteArray name = source.name.toUtf8();
        if (pa_stream_connect_record(stream, name.constData(), &attr, flags) < 0) {
            failure = d->lastError();
        } else {
            const bool settled = waitLocked(d->loop, kOperationTimeoutMs, [&] {
                const pa_stream_state_t s = pa_stream_get_state(stream);
                return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s) || !d->good();
            });
            if (!settled)
                failure = QStringLiteral("the server did not start the stream in time");
            else if (pa_stream_get_state(stream) != PA_STREAM_READY)
                failure = d->lastError();
        }
        m_state->reanchorNs = State::kReanchorNs;
        if (const pa_buffer_attr *granted = failure.isEmpty() ? pa_stream_get_buffer_attr(stream) : nullptr)
            m_state->reanchorNs += qint64(pa_bytes_to_usec(granted->fragsize, &spec)) * 1000;
        if (!failure.isEmpty())
            m_state->release();
    }
    if (!failure.isEmpty())
        throw PulseError(QStringLiteral("PulseAudio: cannot capture from %1: %2").arg(source.name, failure));
    m_sampleRate = source.sampleRate;
    m_channels = source.channels;
}

void SourceStream::stop()
{
    if (!m_state)
        return;
    // From inside the handler the event thread already holds the lock (and may not take it).
    if (pa_threaded_mainloop_in_thread(m_state->loop)) {
        m_state->release();
        return;
    }
    LoopLock lock(m_state->loop);
    m_state->release();
}

bool SourceStream::isRunning() const
{
    auto running = [&] { return m_state->stream && pa_stream_get_state(m_state->stream) == PA_STREAM_READY; };
    if (pa_threaded_mainloop_in_thread(m_state->loop))
        return running();
    LoopLock lock(m_state->loop);
    return running();
}

} // namespace lumacast::pulse
