#include "platform/pipewire/PipeWireFrameSource.h"

#include "model/LogCategories.h"
#include "platform/pipewire/WindowEdges.h"

#include <QMargins>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace lumacast::pipewire {

namespace {

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void initOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

int clampedRate(int framesPerSecond)
{
    return std::clamp(framesPerSecond, 1, 60);
}

constexpr size_t kPoolSize = 6; // copied pictures in flight to the writer before more are allocated

// Room for the pointer's metadata with a sprite of up to `side` pixels square, 32 bits a pixel.
constexpr int cursorMetaSize(int side)
{
    return int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + side * side * 4;
}

// A picture buffer nobody but `pool` holds, or a new one (kept while the pool has room).
std::shared_ptr<std::vector<uint8_t>> unusedBuffer(std::vector<std::shared_ptr<std::vector<uint8_t>>> &pool,
                                                   size_t bytes)
{
    for (auto &b : pool) {
        if (b.use_count() == 1) {
            b->resize(bytes);
            return b;
        }
    }
    auto fresh = std::make_shared<std::vector<uint8_t>>(bytes);
    if (pool.size() < kPoolSize)
        pool.push_back(fresh);
    return fresh;
}
// Buffers asked of the compositor: one lent out as the last picture, one or two on their way to
// the writer, and still one or two to draw the next pictures in.
constexpr int kBuffersWanted = 6;
constexpr int kBuffersAtLeast = 4;
constexpr int kBuffersAtMost = 16;
} // namespace

// PipeWire's buffers lent out as frames. A holder may let go on any thread; the buffer is queued
// back to the stream on the loop thread, woken by `event`. Shared with every lent frame, so that
// one let go after the stream is gone finds it gone.
struct PipeWireFrameSource::Lender {
    std::mutex mutex;
    std::condition_variable allBack;
    int outstanding = 0;
    std::vector<pw_buffer *> returned; // back from their holders, not yet queued to the stream
    pw_loop *loop = nullptr;           // with `event`, null once the stream is being taken down
    spa_source *event = nullptr;

    std::shared_ptr<const void> lend(const std::shared_ptr<Lender> &self, pw_buffer *buffer, const void *data)
    {
        {
            std::lock_guard lock(mutex);
            ++outstanding;
        }
        return std::shared_ptr<const void>(data, [self, buffer](const void *) { self->giveBack(buffer); });
    }

    void giveBack(pw_buffer *buffer)
    {
        std::lock_guard lock(mutex);
        --outstanding;
        if (event) {
            returned.push_back(buffer);
            pw_loop_signal_event(loop, event);
        }
        allBack.notify_all();
    }

    // Waits until every lent buffer is back; false when some holder kept one past `timeout`.
    bool waitAllBack(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex);
        return allBack.wait_for(lock, timeout, [this] { return outstanding == 0; });
    }

    std::vector<pw_buffer *> takeReturned()
    {
        std::lock_guard lock(mutex);
        return std::exchange(returned, {});
    }
};

struct PipeWireFrameSource::State {
    PipeWireFrameSource *owner = nullptr;
    pw_thread_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;
    pw_stream *stream = nullptr;
    pw_registry *registry = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_hook streamListener{};
    std::shared_ptr<Lender> lender = std::make_shared<Lender>();
    int sourceWidth = 0; // the negotiated picture size
    int sourceHeight = 0;
    bool streaming = false;
    QPoint cropOrigin;     // loop thread only: where the last picture began in its buffer
    WindowEdges edges; // loop thread only: a window's, left out of every picture
    int buffers = 0;       // loop thread only: PipeWire's buffers the stream has now
    std::vector<std::shared_ptr<std::vector<uint8_t>>> pool; // loop thread only

    static void onCoreError(void *data, uint32_t id, int, int res, const char *message)
    {
        auto *self = static_cast<State *>(data);
        if (id == PW_ID_CORE)
            self->owner->fail(QStringLiteral("PipeWire ended the screen cast: %1 (%2)")
                                  .arg(QString::fromUtf8(message), QString::fromUtf8(spa_strerror(res))));
    }

    // The cast's node removed: its compositor or portal backend went away. The stream itself only
    // pauses then, waiting for a node that never comes back.
    static void onGlobalRemoved(void *data, uint32_t id)
    {
        auto *self = static_cast<State *>(data);
        if (id == self->owner->m_config.nodeId)
            self->owner->fail(QStringLiteral("The desktop's screen sharing ended: its stream is gone"));
    }

    static void onStateChanged(void *data, pw_stream_state, pw_stream_state state, const char *error)
    {
        auto *self = static_cast<State *>(data);
        qCInfo(log::recorder(), "screen cast stream: %s (%d buffers)", pw_stream_state_as_string(state), self->buffers);
        if (state == PW_STREAM_STATE_STREAMING)
            self->streaming = true;
        else if (state == PW_STREAM_STATE_ERROR)
            self->owner->fail(QStringLiteral("The screen cast stream failed: %1").arg(QString::fromUtf8(error ? error : "")));
        else if (state == PW_STREAM_STATE_UNCONNECTED && self->streaming)
            self->owner->fail(QStringLiteral("The desktop's screen sharing ended the stream"));
    }

    static void onParamChanged(void *data, uint32_t id, const spa_pod *param)
    {
        auto *self = static_cast<State *>(data);
        if (!param || id != SPA_PARAM_Format)
            return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0)
            return;
        self->sourceWidth = int(info.size.width);
        self->sourceHeight = int(info.size.height);
        self->edges.setAlphaKnown(info.format == SPA_VIDEO_FORMAT_BGRA);
        qCInfo(log::recorder(), "screen cast format: %s %dx%d", info.format == SPA_VIDEO_FORMAT_BGRA ? "BGRA" : "BGRx",
               self->sourceWidth, self->sourceHeight);
        uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod *params[3];
        uint32_t count = 0;
        params[count++] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(kBuffersWanted, kBuffersAtLeast, kBuffersAtMost), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
        // Where the picture lies in the buffer: a window's cast may come in monitor-sized buffers.
        params[count++] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
            SPA_PARAM_META_size, SPA_POD_Int(int(sizeof(spa_meta_region)))));
        if (self->owner->m_config.cursorMetadata)
            params[count++] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
                SPA_PARAM_META_size,
                SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64), cursorMetaSize(1), cursorMetaSize(512))));
        pw_stream_update_params(self->stream, params, count);
    }

    static void onProcess(void *data)
    {
        auto *self = static_cast<State *>(data);
        // The newest picture only: older ones waiting behind it are given back.
        pw_buffer *newest = nullptr;
        while (pw_buffer *b = pw_stream_dequeue_buffer(self->stream)) {
            // Every buffer's pointer is read: a new sprite comes once, maybe on one skipped here.
            if (self->owner->m_config.cursorMetadata)
                self->readCursor(b);
            if (newest) {
                pw_stream_queue_buffer(self->stream, newest);
                self->owner->m_skipped.fetch_add(1);
            }
            newest = b;
        }
        if (newest && !self->handOn(newest))
            pw_stream_queue_buffer(self->stream, newest);
    }

    // The pointer is placed in the buffer; a buffer without a picture (the pointer alone) may carry
    // a stale crop region, so the last picture's origin stands for it.
    void readCursor(pw_buffer *buffer)
    {
        if (const auto region = pictureRegion(buffer))
            cropOrigin = region->rect.topLeft();
        if (const spa_meta *meta = spa_buffer_find_meta(buffer->buffer, SPA_META_Cursor))
            owner->updateCursor(meta->data, meta->size, cropOrigin);
    }

    // Lent out buffers come back here, on the loop thread.
    static void onReturned(void *data, uint64_t)
    {
        auto *self = static_cast<State *>(data);
        for (pw_buffer *b : self->lender->takeReturned())
            pw_stream_queue_buffer(self->stream, b);
    }

    // PipeWire takes its buffers back (a new format, or the end): none may still be lent out,
    // nor be queued back to the stream afterwards.
    static void onAddBuffer(void *data, pw_buffer *)
    {
        ++static_cast<State *>(data)->buffers;
    }

    static void onRemoveBuffer(void *data, pw_buffer *buffer)
    {
        auto *self = static_cast<State *>(data);
        --self->buffers;
        self->owner->forgetLast();
        if (!self->lender->waitAllBack(std::chrono::seconds(5)))
            qCWarning(log::recorder(), "screen cast: a picture was held past its buffer's removal");
        std::lock_guard lock(self->lender->mutex);
        auto &returned = self->lender->returned;
        returned.erase(std::remove(returned.begin(), returned.end(), buffer), returned.end());
    }

    // Where a buffer's picture lies: its rows from `data` on, `stride` bytes apart, and its part of
    // them. Nothing for a buffer without a picture, or whose picture cannot be read whole.
    struct Region {
        const uint8_t *data = nullptr;
        int stride = 0;
        QRect rect;
        QSize cropSize; // the desktop's region, unclamped, its unpainted edges included
        bool cropInside = true; // the desktop's region lies wholly in the buffer
    };
    std::optional<Region> pictureRegion(pw_buffer *buffer) const { return pictureRegion(buffer, edges.margins()); }
    std::optional<Region> pictureRegion(pw_buffer *buffer, const QMargins &leftOut) const
    {
        const spa_data &plane = buffer->buffer->datas[0];
        if (!plane.data || !plane.chunk || plane.chunk->size == 0 || (plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)
            || sourceWidth <= 0 || sourceHeight <= 0)
            return std::nullopt;
        const int stride = plane.chunk->stride > 0 ? plane.chunk->stride : sourceWidth * 4;
        // A chunk that reaches past the mapped buffer is not read; nor are pixels past its rows.
        if (std::uint64_t(plane.chunk->offset) + plane.chunk->size > plane.maxsize)
            return std::nullopt;
        const int rows = std::min<int64_t>(sourceHeight, plane.chunk->size / uint32_t(stride));
        const QRect whole(0, 0, std::min(sourceWidth, stride / 4), rows);
        // In 64 bits: the desktop's numbers are not trusted to fit.
        int64_t left = 0;
        int64_t top = 0;
        int64_t right = whole.width();
        int64_t bottom = whole.height();
        if (const auto *crop = static_cast<const spa_meta_region *>(
                spa_buffer_find_meta_data(buffer->buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
            crop && spa_meta_region_is_valid(crop)) {
            left = crop->region.position.x;
            top = crop->region.position.y;
            right = left + crop->region.size.width;
            bottom = top + crop->region.size.height;
        }
        const QSize cropSize(int(std::clamp<int64_t>(right - left, 0, INT_MAX)),
                             int(std::clamp<int64_t>(bottom - top, 0, INT_MAX)));
        const bool cropInside = left >= 0 && top >= 0 && right <= whole.width() && bottom <= whole.height();
        // The window's unpainted edges stay out wherever the region moves; then the region is
        // clamped to the buffer.
        left = std::clamp<int64_t>(left + leftOut.left(), 0, whole.width());
        top = std::clamp<int64_t>(top + leftOut.top(), 0, whole.height());
        right = std::clamp<int64_t>(right - leftOut.right(), left, whole.width());
        bottom = std::clamp<int64_t>(bottom - leftOut.bottom(), top, whole.height());
        const QRect rect(int(left), int(top), int(right - left), int(bottom - top));
        if (rect.isEmpty())
            return std::nullopt;
        return Region{static_cast<const uint8_t *>(plane.data) + plane.chunk->offset, stride, rect, cropSize, cropInside};
    }

    // Delivers the buffer's picture; false when it had none, or was copied, and goes straight back.
    bool handOn(pw_buffer *buffer)
    {
        // A window's edges, looked for in the whole region, move where the picture begins.
        if (owner->m_config.sizeFromPicture && lookForEdges(buffer) && owner->m_config.cursorMetadata)
            readCursor(buffer);
        const std::optional<Region> region = pictureRegion(buffer);
        if (!region)
            return false;
        owner->m_received.fetch_add(1);
        owner->settleSizeFrom(region->rect.size());
        const int width = owner->m_config.width; // fixed from here on; written on this thread only
        const int height = owner->m_config.height;
        const uint8_t *source =
            region->data + size_t(region->rect.y()) * size_t(region->stride) + size_t(region->rect.x()) * 4;
        Picture picture; // numbered as it is delivered
        if (region->rect.width() >= width && region->rect.height() >= height) {
            picture.data = source;
            picture.stride = region->stride;
            picture.keep = lender->lend(lender, buffer, source);
            owner->deliver(picture);
            return true;
        }
        auto pixels = copyOut(source, region->stride, region->rect.size());
        picture.data = pixels->data();
        picture.stride = width * 4;
        picture.keep = std::move(pixels);
        owner->deliver(picture);
        return false;
    }

    // True when the window's edges changed with this buffer's picture.
    bool lookForEdges(pw_buffer *buffer)
    {
        const auto whole = pictureRegion(buffer, QMargins());
        if (!whole)
            return false;
        WindowEdges::Picture picture;
        picture.pixels = whole->data + size_t(whole->rect.y()) * size_t(whole->stride) + size_t(whole->rect.x()) * 4;
        picture.stride = whole->stride;
        picture.size = whole->rect.size();
        picture.region = whole->cropSize;
        picture.whole = whole->cropInside;
        return edges.update(picture);
    }

    // A picture of another size than the take's, cropped or padded with black into a buffer of
    // our own, top-left.
    std::shared_ptr<std::vector<uint8_t>> copyOut(const uint8_t *source, int stride, QSize size)
    {
        const int width = owner->m_config.width;
        const int height = owner->m_config.height;
        auto pixels = unusedBuffer(pool, size_t(width) * height * 4);
        const int copyRows = std::min(size.height(), height);
        const int copyBytes = std::min(size.width(), width) * 4;
        for (int y = 0; y < copyRows; ++y) {
            uint8_t *row = pixels->data() + size_t(y) * width * 4;
            std::memcpy(row, source + size_t(y) * stride, size_t(copyBytes));
            if (copyBytes < width * 4)
                std::memset(row + copyBytes, 0, size_t(width * 4 - copyBytes));
        }
        if (copyRows < height)
            std::memset(pixels->data() + size_t(copyRows) * width * 4, 0, size_t(height - copyRows) * width * 4);
        return pixels;
    }
};

PipeWireFrameSource::PipeWireFrameSource(StreamConfig config)
    : m_config(config),
      d(std::make_unique<State>()),
      m_repeats(1000000000 / clampedRate(config.framesPerSecond), config.longestHoldNs)
{
    d->owner = this;
    m_showsCursor.store(m_config.showsCursor);
    m_config.framesPerSecond = clampedRate(m_config.framesPerSecond);
}

PipeWireFrameSource::~PipeWireFrameSource()
{
    stop();
    if (m_config.pipeWireFd >= 0)
        ::close(m_config.pipeWireFd);
}

void PipeWireFrameSource::setFrameHandler(FrameHandler handler)
{
    std::lock_guard lock(m_deliverMutex); // a source `settleSize` started delivers already
    m_onFrame = std::move(handler);
}

void PipeWireFrameSource::setErrorHandler(ErrorHandler handler)
{
    std::lock_guard lock(m_deliverMutex);
    m_onError = std::move(handler);
}

void PipeWireFrameSource::start()
{
    if (d->loop) {
        std::lock_guard lock(m_deliverMutex);
        if (m_failed)
            throw PortalError(PortalError::Kind::stream, m_failure);
        return;
    }
    if (m_config.pipeWireFd < 0 || m_config.width <= 0 || m_config.height <= 0)
        throw PortalError(PortalError::Kind::stream, QStringLiteral("The screen cast has no PipeWire stream to record"));
    initOnce();
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = &State::onCoreError;
        return e;
    }();
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global_remove = &State::onGlobalRemoved;
        return e;
    }();
    static const pw_stream_events streamEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &State::onStateChanged;
        e.param_changed = &State::onParamChanged;
        e.process = &State::onProcess;
        e.add_buffer = &State::onAddBuffer;
        e.remove_buffer = &State::onRemoveBuffer;
        return e;
    }();

    d->loop = pw_thread_loop_new("lumacast-cast", nullptr);
    d->context = d->loop ? pw_context_new(pw_thread_loop_get_loop(d->loop), nullptr, 0) : nullptr;
    if (!d->context) {
        stop();
        throw PortalError(PortalError::Kind::stream, QStringLiteral("PipeWire could not be set up for the screen cast"));
    }
    if (pw_thread_loop_start(d->loop) < 0) {
        stop();
        throw PortalError(PortalError::Kind::stream, QStringLiteral("PipeWire's thread could not be started"));
    }
    pw_thread_loop_lock(d->loop);
    d->lender->loop = pw_thread_loop_get_loop(d->loop);
    d->lender->event = pw_loop_add_event(d->lender->loop, &State::onReturned, d.get());
    const int fd = m_config.pipeWireFd;
    m_config.pipeWireFd = -1; // PipeWire closes it from here on
    d->core = pw_context_connect_fd(d->context, fd, nullptr, 0);
    if (!d->core) {
        const int error = errno;
        pw_thread_loop_unlock(d->loop);
        stop();
        throw PortalError(PortalError::Kind::stream, QStringLiteral("PipeWire refused the screen cast connection: %1")
                                                         .arg(QString::fromUtf8(strerror(error))));
    }
    pw_core_add_listener(d->core, &d->coreListener, &coreEvents, d.get());
    d->registry = pw_core_get_registry(d->core, PW_VERSION_REGISTRY, 0);
    if (d->registry)
        pw_registry_add_listener(d->registry, &d->registryListener, &registryEvents, d.get());
    d->stream = pw_stream_new(d->core, "Lumacast screen cast",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    pw_stream_add_listener(d->stream, &d->streamListener, &streamEvents, d.get());

    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_rectangle size = SPA_RECTANGLE(uint32_t(m_config.width), uint32_t(m_config.height));
    const spa_rectangle minSize = SPA_RECTANGLE(1, 1);
    const spa_rectangle maxSize = SPA_RECTANGLE(16384, 16384);
    const spa_fraction rate = SPA_FRACTION(uint32_t(m_config.framesPerSecond), 1);
    const spa_fraction minRate = SPA_FRACTION(0, 1);
    const spa_fraction maxRate = SPA_FRACTION(1000, 1);
    // 32 bits a pixel in shared memory: the take keeps no alpha, which a desktop may leave 0 on
    // opaque pixels; it is read only to find a window's unpainted edges, so a window's cast asks
    // for BGRA first, whose fourth byte is known to be alpha.
    const uint32_t preferred = m_config.sizeFromPicture ? SPA_VIDEO_FORMAT_BGRA : SPA_VIDEO_FORMAT_BGRx;
    const uint32_t other = m_config.sizeFromPicture ? SPA_VIDEO_FORMAT_BGRx : SPA_VIDEO_FORMAT_BGRA;
    const spa_pod *params[1];
    params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, preferred, preferred, other),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate)));
    const int connected = pw_stream_connect(
        d->stream, PW_DIRECTION_INPUT, m_config.nodeId,
        pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    pw_thread_loop_unlock(d->loop);
    if (connected < 0) {
        stop();
        throw PortalError(PortalError::Kind::stream, QStringLiteral("PipeWire refused the screen cast stream: %1")
                                                         .arg(QString::fromUtf8(spa_strerror(connected))));
    }
    {
        std::lock_guard lock(m_wakeMutex);
        m_stopRequested = false;
    }
    m_repeater = std::thread([this] { repeatLoop(); });
}

void PipeWireFrameSource::stop()
{
    {
        std::lock_guard lock(m_wakeMutex);
        m_stopRequested = true;
    }
    m_wake.notify_all();
    if (m_repeater.joinable())
        m_repeater.join();
    if (d->loop) {
        // No new picture from here on, so that the wait below can end.
        pw_thread_loop_lock(d->loop);
        if (d->stream)
            spa_hook_remove(&d->streamListener);
        pw_thread_loop_unlock(d->loop);
    }
    {
        std::lock_guard lock(m_deliverMutex);
        if (m_last.keep)
            for (const int64_t date : m_repeats.endAt(monotonicNs()))
                deliverLocked(m_last, Delivery::hold, date);
    }
    forgetLast();
    if (!d->lender->waitAllBack(std::chrono::seconds(5))) {
        // Taking the stream down would unmap pixels that are still being read: it is left
        // open, unheard, instead: a leak rather than a crash.
        qCWarning(log::recorder(), "screen cast: pictures still held at the stop; its PipeWire stream is left open");
        pw_thread_loop_lock(d->loop);
        if (d->registry)
            spa_hook_remove(&d->registryListener);
        if (d->core)
            spa_hook_remove(&d->coreListener);
        pw_thread_loop_unlock(d->loop);
        (void)d.release();
        d = std::make_unique<State>();
        d->owner = this;
        return;
    }
    if (d->loop) {
        pw_thread_loop_lock(d->loop);
        // Every buffer goes back to the stream before it is disconnected, as PipeWire lent it.
        if (d->stream)
            State::onReturned(d.get(), 0);
        {
            std::lock_guard lock(d->lender->mutex);
            if (d->lender->event)
                pw_loop_destroy_source(d->lender->loop, d->lender->event);
            d->lender->event = nullptr;
            d->lender->loop = nullptr;
            d->lender->returned.clear();
        }
        if (d->stream) {
            pw_stream_disconnect(d->stream);
            pw_stream_destroy(d->stream);
            d->stream = nullptr;
        }
        if (d->registry) {
            spa_hook_remove(&d->registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy *>(d->registry));
            d->registry = nullptr;
        }
        if (d->core) {
            spa_hook_remove(&d->coreListener);
            pw_core_disconnect(d->core);
            d->core = nullptr;
        }
        pw_thread_loop_unlock(d->loop);
        pw_thread_loop_stop(d->loop);
    }
    if (d->context) {
        pw_context_destroy(d->context);
        d->context = nullptr;
    }
    if (d->loop) {
        pw_thread_loop_destroy(d->loop);
        d->loop = nullptr;
    }
}

QSize PipeWireFrameSource::settleSize(std::chrono::milliseconds bound)
{
    start();
    std::unique_lock lock(m_deliverMutex);
    m_sizeKnown.wait_for(lock, bound, [this] { return m_sizeSettled || m_failed || !m_config.sizeFromPicture; });
    if (m_failed)
        throw PortalError(PortalError::Kind::stream, m_failure);
    if (!m_sizeSettled && m_config.sizeFromPicture)
        qCWarning(log::recorder(), "screen cast: no picture within %lld ms; the take keeps the desktop's size %dx%d",
                  static_cast<long long>(bound.count()), m_config.width, m_config.height);
    m_sizeSettled = true;
    return QSize(m_config.width, m_config.height);
}

void PipeWireFrameSource::settleSizeFrom(QSize picture)
{
    std::lock_guard lock(m_deliverMutex);
    if (m_sizeSettled)
        return;
    m_sizeSettled = true;
    if (m_config.sizeFromPicture) {
        // Even sides, as the encoder's chroma wants them: a last odd column or row is left out.
        m_config.width = std::max(2, picture.width() & ~1);
        m_config.height = std::max(2, picture.height() & ~1);
        qCInfo(log::recorder(), "screen cast: the take is the size of its first picture, %dx%d", m_config.width,
               m_config.height);
    }
    m_sizeKnown.notify_all();
}

void PipeWireFrameSource::handOnAgain()
{
    std::lock_guard lock(m_deliverMutex);
    if (m_last.keep)
        deliverLocked(m_last, Delivery::rewrite, monotonicNs());
}

void PipeWireFrameSource::deliver(const Picture &picture)
{
    std::lock_guard lock(m_deliverMutex);
    deliverLocked(picture, Delivery::picture, monotonicNs());
}

void PipeWireFrameSource::pause(int64_t monotonicNs)
{
    std::lock_guard lock(m_deliverMutex);
    if (const auto date = m_last.keep ? m_repeats.holdBefore(monotonicNs) : std::nullopt)
        deliverLocked(m_last, Delivery::hold, *date);
    m_repeats.pause();
}

void PipeWireFrameSource::resume(int64_t monotonicNs)
{
    {
        std::lock_guard lock(m_deliverMutex);
        m_repeats.resume(monotonicNs);
        if (m_last.keep)
            deliverLocked(m_last, Delivery::hold, monotonicNs);
    }
    // The rewrite the pause put off may be due before the repeat thread would look again.
    std::lock_guard lock(m_wakeMutex);
    m_wake.notify_all();
}

void PipeWireFrameSource::deliverLocked(const Picture &incoming, Delivery delivery, int64_t date)
{
    if (m_failed)
        return;
    const bool fresh = delivery == Delivery::picture;
    Picture picture = incoming;
    if (fresh)
        picture.number = ++m_numbers;
    if (m_config.cursorMetadata)
        picture = withCursor(picture, fresh);
    // A repeat the pointer changed is a new picture to the writer.
    if (picture.number != incoming.number)
        delivery = Delivery::picture;
    // Dates only move forward, whichever thread delivers.
    date = std::max(date, m_repeats.lastDelivery() + 1);
    m_last = picture;
    m_repeats.delivered(date, delivery);
    if (!m_onFrame)
        return;
    Frame frame;
    frame.data = picture.data;
    frame.width = m_config.width;
    frame.height = m_config.height;
    frame.stride = picture.stride;
    frame.timestampNs = date;
    frame.repeated = delivery != Delivery::picture;
    frame.picture = picture.number;
    frame.buffer = picture.keep;
    m_onFrame(frame);
    m_delivered.fetch_add(1);
}

std::optional<QPointF> PipeWireFrameSource::cursorPosition() const
{
    std::lock_guard lock(m_deliverMutex);
    if (const auto at = m_cursor.position())
        return QPointF(*at);
    return std::nullopt;
}

void PipeWireFrameSource::updateCursor(const void *meta, size_t size, QPoint origin)
{
    std::lock_guard lock(m_deliverMutex);
    m_cursor.update(meta, size, origin);
}

// Under m_deliverMutex. The pointer is drawn on a copy of our own: a new picture lies in the
// compositor's buffer, and a repeated one may still be on its way to the writer. A repeat is drawn
// again only where the pointer moved, changed or was switched: the copy of the last picture gets
// its pointer taken off and drawn where it is now, and a number of its own.
PipeWireFrameSource::Picture PipeWireFrameSource::withCursor(const Picture &picture, bool fresh)
{
    const CastCursor::Stamp wanted = m_cursor.stamp(m_showsCursor.load());
    const int width = m_config.width;
    const int height = m_config.height;
    if (fresh) {
        m_lastStamp = wanted;
        m_lastPatch = {};
        if (!wanted.shown)
            return picture;
        Picture drawn = copied(picture);
        m_lastPatch = m_cursor.draw(const_cast<uint8_t *>(drawn.data), width, height, drawn.stride);
        return drawn;
    }
    if (wanted == m_lastStamp)
        return picture;
    Picture drawn = copied(picture);
    drawn.number = ++m_numbers;
    CastCursor::restore(const_cast<uint8_t *>(drawn.data), drawn.stride, m_lastPatch);
    m_lastPatch = wanted.shown ? m_cursor.draw(const_cast<uint8_t *>(drawn.data), width, height, drawn.stride)
                               : CastCursor::Patch{};
    m_lastStamp = wanted;
    return drawn;
}

// Under m_deliverMutex: the picture in a buffer of our own, rows packed.
PipeWireFrameSource::Picture PipeWireFrameSource::copied(const Picture &picture)
{
    const size_t row = size_t(m_config.width) * 4;
    auto pixels = unusedBuffer(m_drawn, row * size_t(m_config.height));
    for (int y = 0; y < m_config.height; ++y)
        std::memcpy(pixels->data() + y * row, picture.data + size_t(y) * size_t(picture.stride), row);
    Picture copy;
    copy.data = pixels->data();
    copy.stride = int(row);
    copy.number = picture.number;
    copy.keep = std::move(pixels);
    return copy;
}

// Under m_deliverMutex: whether the pointer drawn on the last picture is no longer where, what
// or whether it is to be drawn.
bool PipeWireFrameSource::pointerChanged() const
{
    return m_config.cursorMetadata && !(m_cursor.stamp(m_showsCursor.load()) == m_lastStamp);
}

// Lets go of the last picture, so that its buffer can go back; no repeats until a new one.
void PipeWireFrameSource::forgetLast()
{
    Picture last;
    {
        std::lock_guard lock(m_deliverMutex);
        std::swap(last, m_last);
        m_repeats.forget();
    }
}

void PipeWireFrameSource::fail(const QString &message)
{
    ErrorHandler onError;
    {
        std::lock_guard lock(m_deliverMutex);
        if (m_failed)
            return;
        m_failed = true;
        m_failure = message;
        onError = m_onError;
        m_sizeKnown.notify_all();
    }
    qCWarning(log::recorder(), "%s", qUtf8Printable(message));
    if (onError)
        onError(PortalError(PortalError::Kind::stream, message));
}

void PipeWireFrameSource::repeatLoop()
{
    pthread_setname_np(pthread_self(), "lumacast-repeat");
    std::unique_lock wakeLock(m_wakeMutex);
    int64_t sleepNs = 0;
    while (!m_stopRequested) {
        m_wake.wait_for(wakeLock, std::chrono::nanoseconds(sleepNs));
        if (m_stopRequested)
            break;
        std::lock_guard lock(m_deliverMutex);
        const int64_t now = monotonicNs();
        if (m_last.keep) {
            if (const auto date = m_repeats.rewriteDue(now))
                deliverLocked(m_last, Delivery::rewrite, *date);
            else if (const auto at = pointerChanged() ? m_repeats.pointerRepeatDue(now) : std::nullopt)
                deliverLocked(m_last, Delivery::hold, *at);
        }
        sleepNs = m_repeats.sleepAt(now, m_config.cursorMetadata);
    }
}

} // namespace lumacast::pipewire
