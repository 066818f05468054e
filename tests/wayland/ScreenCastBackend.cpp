// A ScreenCast backend for the portal frontend, of the test's own: it offers monitors and windows
// and every cursor mode, writes what each SelectSources asked for to the file given with --log
// ("types=<u> cursor_mode=<u>" a line), and answers Start with a PipeWire node it produces
// itself: BGRx pictures in shared memory, with the pointer as cursor metadata.
//
// The picture: a grey ground with a counter in twelve squares of 24 pixels at (16 + 32 * bit,
// 16), bit 11 on the left, white for 1, and the same squares inverted at y 56. It counts one step
// every --step-ms (0: a still screen, sent once) from the moment the stream runs. A window is
// --window WxH, a monitor --monitor WxH; --resize-at-ms N --resize-to WxH changes the size
// mid-stream as a resized window does. With --window-in-monitor a window comes as a compositor
// may send it: in monitor-sized buffers (light grey 160 around it) with the window's part marked
// as the crop region, which moves, shrinks, grows and at last reaches past the buffer's edge
// (`cropAt`); a buffer without a picture carries a stale region of no meaning. With
// --unpainted-edges besides, the region also holds unpainted edges around the window as GNOME's
// sends them (--edges L,T,R,B, 10,8,10,10 unless told: see-through black, premultiplied, its
// alpha falling away from the window), and the window is opaque, its outermost kMargin pixels
// black as a dark terminal's. With --late-layout, the first picture after the window grows shows
// it as GNOME's may: at its new size squeezed into its old region, the rest of the new one
// unpainted. With --stretch the window only moves and then shrinks, and the first picture after the
// shrink shows it at its new size stretched to the old one, cut off at the new region's sides; the
// next comes 1.2 s later, as from a still window. With --translucent the window's rows from
// kSeeThroughFrom down are see-through black, as a terminal's see-through background, where a white
// box (kBox) shows from kBoxAt ms on. With --dark-outline the edges are empty (alpha 0, as a tiled
// window's) and the window's outermost line is a see-through light grey, as GNOME's dark style
// draws it. --bgra offers BGRA before BGRx, as a desktop that sends alpha.
//
// The pointer: a red square of kSprite pixels, hotspot (4, 4), its picture sent only at first
// and then once a second, as desktops send it when it changes. With --pointer-script it moves
// kPointerStep pixels right every 100 ms until kRestAt ms, rests until kMoveAgainAt ms, then
// moves again; each move is a buffer with the pointer and no picture, as on a still screen.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QFile>
#include <QHash>
#include <QMargins>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QVariantMap>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kSprite = 24;
constexpr int kPointerStep = 12;
constexpr int kRestAt = 1500;
constexpr int kMoveAgainAt = 4500;
constexpr int kMargin = 3;
constexpr int kSeeThroughFrom = 360;
constexpr QRect kBox(300, 370, 40, 40);
constexpr int kBoxAt = 3000;
constexpr int kStretchHoldMs = 1200;

constexpr int cursorMetaSize(int side)
{
    return int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + side * side * 4;
}

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct StreamInfo {
    uint node = 0;
    QVariantMap properties;
};

struct Pair {
    int a = 0;
    int b = 0;
};

} // namespace

Q_DECLARE_METATYPE(StreamInfo)
Q_DECLARE_METATYPE(Pair)

QDBusArgument &operator<<(QDBusArgument &argument, const StreamInfo &stream)
{
    argument.beginStructure();
    argument << stream.node << stream.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, StreamInfo &stream)
{
    argument.beginStructure();
    argument >> stream.node >> stream.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const Pair &pair)
{
    argument.beginStructure();
    argument << pair.a << pair.b;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Pair &pair)
{
    argument.beginStructure();
    argument >> pair.a >> pair.b;
    argument.endStructure();
    return argument;
}

namespace {

struct Script {
    QSize size;
    int stepMs = 50;
    int resizeAtMs = -1;
    QSize resizeTo;
    bool pointerScript = false;
    bool cropScript = false;
    bool unpaintedEdges = false;
    QMargins edges{10, 8, 10, 10};
    bool lateLayout = false;
    bool stretch = false;
    bool translucent = false;
    bool darkOutline = false;
    bool bgra = false;
};

// The window's part of a monitor-sized buffer (the crop region, less any unpainted edges), `ms`
// after the start:
// moved, then shrunk, grown, then partly past the buffer's right and bottom edges; or, with
// `stretch`, moved, then shrunk from 1500 ms on.
QRect cropAt(int64_t ms, QSize buffer, bool stretch)
{
    if (ms < 1000)
        return QRect(100, 50, 640, 480);
    if (ms < (stretch ? 1500 : 2000))
        return QRect(300, 120, 640, 480);
    if (stretch || ms < 2500)
        return QRect(300, 120, 480, 360);
    if (ms < 3000)
        return QRect(300, 120, 800, 520);
    return QRect(buffer.width() - 420, buffer.height() - 420, 640, 480);
}

// The node: its own PipeWire loop thread produces every buffer.
class Producer {
public:
    explicit Producer(Script script) : m_script(script), m_size(script.size), m_crop(cropAt(0, script.size, script.stretch)) {}
    ~Producer() { stop(); }

    // Connects and waits until PipeWire has given the node its id; 0 when it did not.
    uint start()
    {
        m_loop = pw_thread_loop_new("test-cast", nullptr);
        m_context = pw_context_new(pw_thread_loop_get_loop(m_loop), nullptr, 0);
        pw_thread_loop_start(m_loop);
        pw_thread_loop_lock(m_loop);
        m_core = pw_context_connect(m_context, nullptr, 0);
        if (!m_core) {
            pw_thread_loop_unlock(m_loop);
            return 0;
        }
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &Producer::onState;
            e.param_changed = &Producer::onParam;
            e.process = &Producer::onProcess;
            return e;
        }();
        m_stream = pw_stream_new(m_core, "lumacast test cast",
                                 pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr));
        pw_stream_add_listener(m_stream, &m_listener, &events, this);
        uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod *format = enumFormat(b, m_size, m_script.bgra);
        pw_stream_connect(m_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                          pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), &format, 1);
        m_timer = pw_loop_add_timer(pw_thread_loop_get_loop(m_loop), &Producer::onTick, this);
        timespec interval{0, 10 * 1000 * 1000};
        pw_loop_update_timer(pw_thread_loop_get_loop(m_loop), m_timer, &interval, &interval, false);
        for (int i = 0; i < 50 && pw_stream_get_node_id(m_stream) == SPA_ID_INVALID; ++i)
            pw_thread_loop_timed_wait(m_loop, 1);
        const uint node = pw_stream_get_node_id(m_stream);
        pw_thread_loop_unlock(m_loop);
        return node == SPA_ID_INVALID ? 0 : node;
    }

    void stop()
    {
        if (!m_loop)
            return;
        pw_thread_loop_lock(m_loop);
        if (m_timer)
            pw_loop_destroy_source(pw_thread_loop_get_loop(m_loop), m_timer);
        if (m_stream)
            pw_stream_destroy(m_stream);
        if (m_core)
            pw_core_disconnect(m_core);
        pw_thread_loop_unlock(m_loop);
        pw_thread_loop_stop(m_loop);
        pw_context_destroy(m_context);
        pw_thread_loop_destroy(m_loop);
        m_loop = nullptr;
    }

private:
    static const spa_pod *enumFormat(spa_pod_builder &b, QSize size, bool bgra)
    {
        const uint32_t first = bgra ? SPA_VIDEO_FORMAT_BGRA : SPA_VIDEO_FORMAT_BGRx;
        const spa_rectangle rect = SPA_RECTANGLE(uint32_t(size.width()), uint32_t(size.height()));
        const spa_fraction variable = SPA_FRACTION(0, 1);
        const spa_fraction most = SPA_FRACTION(60, 1);
        const spa_fraction least = SPA_FRACTION(1, 1);
        return static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(3, first, first, SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&rect),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variable), SPA_FORMAT_VIDEO_maxFramerate,
            SPA_POD_CHOICE_RANGE_Fraction(&most, &least, &most)));
    }

    static void onState(void *data, pw_stream_state, pw_stream_state state, const char *)
    {
        auto *self = static_cast<Producer *>(data);
        if (state == PW_STREAM_STATE_STREAMING && self->m_startedMs == 0)
            self->m_startedMs = nowMs();
        pw_thread_loop_signal(self->m_loop, false);
    }

    static void onParam(void *data, uint32_t id, const spa_pod *param)
    {
        auto *self = static_cast<Producer *>(data);
        if (!param || id != SPA_PARAM_Format)
            return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0)
            return;
        self->m_size = QSize(int(info.size.width), int(info.size.height));
        self->m_pictureDue = 3; // a new size: the picture at that size
        const int stride = self->m_size.width() * 4;
        uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod *params[3];
        params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
            SPA_POD_Int(stride * self->m_size.height()), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride),
            SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
        params[1] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(cursorMetaSize(64), cursorMetaSize(1), cursorMetaSize(512))));
        params[2] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
            SPA_PARAM_META_size, SPA_POD_Int(int(sizeof(spa_meta_region)))));
        pw_stream_update_params(self->m_stream, params, 3);
    }

    // Every 10 ms: whether the counter, the size or the pointer changed; a change is sent.
    static void onTick(void *data, uint64_t)
    {
        auto *self = static_cast<Producer *>(data);
        if (self->m_startedMs == 0)
            return;
        const int64_t elapsed = nowMs() - self->m_startedMs;
        const Script &script = self->m_script;
        if (elapsed < self->m_holdUntilMs)
            return; // a still window
        if (script.resizeAtMs >= 0 && elapsed >= script.resizeAtMs && !self->m_resized) {
            self->m_resized = true;
            uint8_t storage[1024];
            spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
            const spa_pod *format = enumFormat(b, script.resizeTo, script.bgra);
            pw_stream_update_params(self->m_stream, &format, 1);
            return;
        }
        if (script.cropScript && cropAt(elapsed, self->m_size, script.stretch) != self->m_crop) {
            const QSize before = self->region().size();
            self->m_crop = cropAt(elapsed, self->m_size, script.stretch);
            const QSize after = self->region().size();
            const bool grew = after.width() >= before.width() && after.height() >= before.height();
            if (after != before && ((script.lateLayout && grew) || (script.stretch && !grew)))
                self->m_drawnAt = before;
            self->m_pictureDue = std::max(self->m_pictureDue, 1);
        }
        const int counter = script.stepMs > 0 ? int(elapsed / script.stepMs) : 0;
        if (counter != self->m_counter) {
            self->m_counter = counter;
            self->m_pictureDue = std::max(self->m_pictureDue, 1);
        }
        const bool moving = script.pointerScript && (elapsed < kRestAt || elapsed >= kMoveAgainAt);
        if (moving && elapsed - self->m_lastMoveMs >= 100) {
            self->m_lastMoveMs = elapsed;
            self->m_pointer.rx() += kPointerStep;
            if (self->m_pointer.x() > self->m_size.width() - 100)
                self->m_pointer.setX(100);
            self->m_pointerDue = true;
        }
        if (elapsed - self->m_spriteSentMs >= 1000)
            self->m_pointerDue = true;
        if (self->m_pictureDue > 0 || self->m_pointerDue)
            pw_stream_trigger_process(self->m_stream);
    }

    static void onProcess(void *data)
    {
        auto *self = static_cast<Producer *>(data);
        pw_buffer *b = pw_stream_dequeue_buffer(self->m_stream);
        if (!b)
            return;
        spa_buffer *buffer = b->buffer;
        spa_data &plane = buffer->datas[0];
        const int width = self->m_size.width();
        const int height = self->m_size.height();
        const bool picture = self->m_pictureDue > 0 && plane.data && plane.maxsize >= uint32_t(width * height * 4);
        plane.chunk->offset = 0;
        plane.chunk->stride = width * 4;
        plane.chunk->size = picture ? uint32_t(width * height * 4) : 0;
        if (picture) {
            self->paint(static_cast<uint8_t *>(plane.data));
            if (self->m_drawnAt.isValid()) {
                self->drawAtOldSize(static_cast<uint8_t *>(plane.data));
                if (self->m_script.stretch)
                    self->m_holdUntilMs = nowMs() - self->m_startedMs + kStretchHoldMs;
            }
            --self->m_pictureDue;
        }
        self->m_pointerDue = false;
        if (auto *crop = static_cast<spa_meta_region *>(
                spa_buffer_find_meta_data(buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)))) {
            const QRect r = !self->m_script.cropScript ? QRect(QPoint(0, 0), self->m_size)
                            : picture                  ? self->region()
                                                       : QRect(0, 0, 7, 7);
            crop->region = SPA_REGION(r.x(), r.y(), uint32_t(r.width()), uint32_t(r.height()));
        }
        if (auto *cursor = static_cast<spa_meta_cursor *>(
                spa_buffer_find_meta_data(buffer, SPA_META_Cursor, uint32_t(cursorMetaSize(kSprite)))))
            self->describePointer(cursor);
        pw_stream_queue_buffer(self->m_stream, b);
    }

    // The window at its place in the buffer: the whole buffer, or the crop region in a light grey
    // ground.
    QRect window() const { return m_script.cropScript ? m_crop : QRect(QPoint(0, 0), m_size); }
    // The crop region: the window, and its unpainted edges where it has them.
    QRect region() const { return m_script.unpaintedEdges ? m_crop.marginsAdded(m_script.edges) : m_crop; }

    // The region's picture drawn at `m_drawnAt` at its top left, nearest pixel: squeezed into it,
    // the rest of the region unpainted, or stretched over it and cut off at the region's sides; once.
    void drawAtOldSize(uint8_t *pixels)
    {
        const QRect r = region() & QRect(QPoint(0, 0), m_size);
        const QSize into = m_drawnAt;
        m_drawnAt = QSize();
        const size_t stride = size_t(m_size.width()) * 4;
        std::vector<uint8_t> was(size_t(r.width()) * r.height() * 4);
        for (int y = 0; y < r.height(); ++y) {
            uint8_t *row = pixels + size_t(r.y() + y) * stride + size_t(r.x()) * 4;
            std::memcpy(was.data() + size_t(y) * r.width() * 4, row, size_t(r.width()) * 4);
            std::memset(row, 0, size_t(r.width()) * 4);
        }
        for (int y = 0; y < std::min(into.height(), r.height()); ++y)
            for (int x = 0; x < std::min(into.width(), r.width()); ++x)
                std::memcpy(pixels + size_t(r.y() + y) * stride + size_t(r.x() + x) * 4,
                            was.data() + (size_t(y * r.height() / into.height()) * r.width()
                                          + size_t(x * r.width() / into.width())) * 4,
                            4);
    }

    void paint(uint8_t *pixels) const
    {
        const int width = m_size.width();
        const QRect area = window();
        const QRect buffer(QPoint(0, 0), m_size);
        const auto put = [&](int x, int y, uint8_t grey, uint8_t alpha) {
            uint8_t *p = pixels + (size_t(y) * width + x) * 4;
            p[0] = p[1] = p[2] = grey;
            p[3] = alpha;
        };
        // The window's pixels: the fourth byte is the grey again, or opaque beside unpainted edges
        // unless told.
        const auto fill = [&](int x0, int y0, int w, int h, uint8_t grey, int alpha = -1) {
            const QRect r = QRect(x0 + area.x(), y0 + area.y(), w, h) & area & buffer;
            for (int y = r.top(); y <= r.bottom(); ++y)
                for (int x = r.left(); x <= r.right(); ++x)
                    put(x, y, grey, alpha >= 0 ? alpha : m_script.unpaintedEdges ? 255 : grey);
        };
        if (m_script.cropScript)
            std::memset(pixels, 160, size_t(width) * m_size.height() * 4);
        if (m_script.unpaintedEdges) {
            const QRect edges = region() & buffer;
            for (int y = edges.top(); y <= edges.bottom(); ++y)
                for (int x = edges.left(); x <= edges.right(); ++x) {
                    const int away = std::max({area.left() - x, x - area.right(), area.top() - y, y - area.bottom()});
                    if (away > 0)
                        put(x, y, 0, m_script.darkOutline ? 0 : uint8_t(std::max(0, 70 - 7 * away)));
                }
            fill(0, 0, area.width(), area.height(), 0);
            if (m_script.darkOutline) { // premultiplied: a light grey at 15%
                fill(0, 0, area.width(), area.height(), 38, 38);
                fill(1, 1, area.width() - 2, area.height() - 2, 0);
            }
            fill(kMargin, kMargin, area.width() - 2 * kMargin, area.height() - 2 * kMargin, 64);
        } else {
            fill(0, 0, area.width(), area.height(), 64);
        }
        for (int bit = 0; bit < 12; ++bit) {
            const bool set = (m_counter >> (11 - bit)) & 1;
            fill(16 + 32 * bit, 16, 24, 24, set ? 255 : 0);
            fill(16 + 32 * bit, 56, 24, 24, set ? 0 : 255);
        }
        if (m_script.translucent) {
            fill(0, kSeeThroughFrom, area.width(), std::max(0, area.height() - kSeeThroughFrom), 0, 153);
            if (nowMs() - m_startedMs >= kBoxAt)
                fill(kBox.x(), kBox.y(), kBox.width(), kBox.height(), 255);
        }
    }

    void describePointer(spa_meta_cursor *cursor)
    {
        cursor->id = 1;
        cursor->flags = 0;
        cursor->position = SPA_POINT(m_pointer.x() + window().x(), m_pointer.y() + window().y());
        cursor->hotspot = SPA_POINT(4, 4);
        const int64_t elapsed = nowMs() - m_startedMs;
        if (elapsed - m_spriteSentMs < 1000) {
            cursor->bitmap_offset = 0;
            return;
        }
        m_spriteSentMs = elapsed;
        cursor->bitmap_offset = sizeof(spa_meta_cursor);
        auto *bitmap = SPA_PTROFF(cursor, cursor->bitmap_offset, spa_meta_bitmap);
        bitmap->format = SPA_VIDEO_FORMAT_RGBA;
        bitmap->size = SPA_RECTANGLE(kSprite, kSprite);
        bitmap->stride = kSprite * 4;
        bitmap->offset = sizeof(spa_meta_bitmap);
        auto *rgba = SPA_PTROFF(bitmap, bitmap->offset, uint8_t);
        for (int i = 0; i < kSprite * kSprite; ++i) {
            rgba[i * 4] = 255;
            rgba[i * 4 + 1] = 0;
            rgba[i * 4 + 2] = 0;
            rgba[i * 4 + 3] = 255;
        }
    }

    Script m_script;
    QSize m_size;
    pw_thread_loop *m_loop = nullptr;
    pw_context *m_context = nullptr;
    pw_core *m_core = nullptr;
    pw_stream *m_stream = nullptr;
    spa_hook m_listener{};
    spa_source *m_timer = nullptr;
    std::atomic<int64_t> m_startedMs{0};
    bool m_resized = false;
    int m_counter = -1;
    int m_pictureDue = 0;
    bool m_pointerDue = false;
    int64_t m_lastMoveMs = -1000;
    int64_t m_spriteSentMs = -1000;
    QPoint m_pointer{100, 200}; // in the window
    QRect m_crop;
    QSize m_drawnAt; // the region's size before it changed, for its next picture
    int64_t m_holdUntilMs = 0; // no picture is sent before
};

class Session : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.Session")
public:
    std::unique_ptr<Producer> producer;
    uint types = 1;

public Q_SLOTS:
    void Close() { producer.reset(); }
};

class Backend : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.ScreenCast")
    Q_PROPERTY(uint AvailableSourceTypes READ sourceTypes)
    Q_PROPERTY(uint AvailableCursorModes READ cursorModes)
    Q_PROPERTY(uint version READ version)
public:
    Backend(QString log, Script monitor, Script window) : m_log(std::move(log)), m_monitor(monitor), m_window(window) {}
    uint sourceTypes() const { return 1 | 2; }
    uint cursorModes() const { return 1 | 2 | 4; }
    uint version() const { return 4; }

public Q_SLOTS:
    uint CreateSession(const QDBusObjectPath &, const QDBusObjectPath &session, const QString &, const QVariantMap &,
                       QVariantMap &results)
    {
        auto *object = new Session;
        object->setParent(this);
        QDBusConnection::sessionBus().registerObject(session.path(), object, QDBusConnection::ExportAllSlots);
        m_sessions[session.path()] = object;
        results.insert(QStringLiteral("session_id"), session.path());
        return 0;
    }

    uint SelectSources(const QDBusObjectPath &, const QDBusObjectPath &session, const QString &,
                       const QVariantMap &options, QVariantMap &)
    {
        const uint types = options.value(QStringLiteral("types"), 1u).toUInt();
        QFile log(m_log);
        log.open(QIODevice::Append);
        log.write(QStringLiteral("types=%1 cursor_mode=%2\n")
                      .arg(types)
                      .arg(options.value(QStringLiteral("cursor_mode"), 0u).toUInt())
                      .toUtf8());
        if (Session *s = m_sessions.value(session.path()))
            s->types = types;
        return 0;
    }

    uint Start(const QDBusObjectPath &, const QDBusObjectPath &session, const QString &, const QString &,
               const QVariantMap &, QVariantMap &results)
    {
        Session *s = m_sessions.value(session.path());
        if (!s)
            return 2;
        const bool window = s->types & 2;
        const Script &script = window ? m_window : m_monitor;
        s->producer = std::make_unique<Producer>(script);
        const uint node = s->producer->start();
        if (node == 0) {
            std::fprintf(stderr, "screen cast backend: PipeWire gave the node no id\n");
            return 2;
        }
        StreamInfo stream;
        stream.node = node;
        stream.properties.insert(QStringLiteral("size"),
                                 QVariant::fromValue(Pair{script.size.width(), script.size.height()}));
        stream.properties.insert(QStringLiteral("source_type"), window ? 2u : 1u);
        results.insert(QStringLiteral("streams"), QVariant::fromValue(QList<StreamInfo>{stream}));
        return 0;
    }

private:
    QString m_log;
    Script m_monitor;
    Script m_window;
    QHash<QString, Session *> m_sessions;
};

QSize parseSize(const QString &text, QSize fallback)
{
    const QStringList parts = text.split(QLatin1Char('x'));
    return parts.size() == 2 ? QSize(parts[0].toInt(), parts[1].toInt()) : fallback;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    pw_init(&argc, &argv);
    QCommandLineParser parser;
    parser.addOptions({{QStringLiteral("log"), QStringLiteral("file"), QStringLiteral("path")},
                       {QStringLiteral("monitor"), QStringLiteral("size"), QStringLiteral("WxH"), QStringLiteral("1280x720")},
                       {QStringLiteral("window"), QStringLiteral("size"), QStringLiteral("WxH"), QStringLiteral("640x480")},
                       {QStringLiteral("step-ms"), QStringLiteral("ms"), QStringLiteral("ms"), QStringLiteral("50")},
                       {QStringLiteral("resize-at-ms"), QStringLiteral("ms"), QStringLiteral("ms"), QStringLiteral("-1")},
                       {QStringLiteral("resize-to"), QStringLiteral("size"), QStringLiteral("WxH"), QStringLiteral("0x0")},
                       {QStringLiteral("pointer-script"), QStringLiteral("the pointer moves, rests and moves")},
                       {QStringLiteral("window-in-monitor"), QStringLiteral("a window in monitor-sized buffers")},
                       {QStringLiteral("unpainted-edges"), QStringLiteral("unpainted edges around that window")},
                       {QStringLiteral("edges"), QStringLiteral("their depth"), QStringLiteral("L,T,R,B"), QStringLiteral("10,8,10,10")},
                       {QStringLiteral("late-layout"), QStringLiteral("a grown window squeezed in its first picture")},
                       {QStringLiteral("stretch"), QStringLiteral("a shrunk window stretched in its first picture, then still")},
                       {QStringLiteral("translucent"), QStringLiteral("a window with a see-through lower part")},
                       {QStringLiteral("dark-outline"), QStringLiteral("empty edges round a dark style's outline")},
                       {QStringLiteral("bgra"), QStringLiteral("BGRA offered first")}});
    parser.process(app);
    qDBusRegisterMetaType<StreamInfo>();
    qDBusRegisterMetaType<QList<StreamInfo>>();
    qDBusRegisterMetaType<Pair>();

    Script base;
    base.stepMs = parser.value(QStringLiteral("step-ms")).toInt();
    base.resizeAtMs = parser.value(QStringLiteral("resize-at-ms")).toInt();
    base.resizeTo = parseSize(parser.value(QStringLiteral("resize-to")), QSize());
    base.pointerScript = parser.isSet(QStringLiteral("pointer-script"));
    Script monitor = base;
    monitor.size = parseSize(parser.value(QStringLiteral("monitor")), QSize(1280, 720));
    monitor.resizeAtMs = -1; // monitors keep their size
    Script window = base;
    window.size = parseSize(parser.value(QStringLiteral("window")), QSize(640, 480));
    if (parser.isSet(QStringLiteral("window-in-monitor"))) {
        window.size = monitor.size;
        window.cropScript = true;
        window.unpaintedEdges = parser.isSet(QStringLiteral("unpainted-edges"));
        const QStringList edges = parser.value(QStringLiteral("edges")).split(QLatin1Char(','));
        if (edges.size() == 4)
            window.edges = QMargins(edges[0].toInt(), edges[1].toInt(), edges[2].toInt(), edges[3].toInt());
        window.lateLayout = parser.isSet(QStringLiteral("late-layout"));
        window.stretch = parser.isSet(QStringLiteral("stretch"));
        window.translucent = parser.isSet(QStringLiteral("translucent"));
        window.darkOutline = parser.isSet(QStringLiteral("dark-outline"));
        window.bgra = parser.isSet(QStringLiteral("bgra"));
        window.resizeAtMs = -1;
    }

    Backend backend(parser.value(QStringLiteral("log")), monitor, window);
    QDBusConnection bus = QDBusConnection::sessionBus();
    const auto exported = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties;
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &backend, exported)
        || !bus.registerService(QStringLiteral("org.freedesktop.impl.portal.desktop.lumacastcast"))) {
        std::fprintf(stderr, "screen cast backend: cannot register on the bus\n");
        return 1;
    }
    return app.exec();
}

#include "ScreenCastBackend.moc"
