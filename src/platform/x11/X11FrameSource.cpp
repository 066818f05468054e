#include "platform/x11/X11FrameSource.h"

#include "model/LogCategories.h"
#include "platform/x11/BufferPool.h"
#include "platform/x11/ExclusionRepair.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Content.h"
#include "threads/ThreadBridge.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <QRect>

#include <libyuv/scale_argb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>

namespace lumacast::x11 {

namespace {

int64_t monotonicNow()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void logNoCompositeOnce()
{
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true))
        qCWarning(lumacast::log::recorder(),
                  "X server has no Composite extension: recording the screen as shown, without leaving windows out");
}

} // namespace

QRect fittedRect(QSize picture, QSize frame)
{
    if (picture.isEmpty() || frame.isEmpty())
        return QRect();
    const double scale = std::min(double(frame.width()) / picture.width(), double(frame.height()) / picture.height());
    const int w = std::clamp(int(std::lround(picture.width() * scale)), 1, frame.width());
    const int h = std::clamp(int(std::lround(picture.height() * scale)), 1, frame.height());
    return QRect((frame.width() - w) / 2, (frame.height() - h) / 2, w, h);
}

struct FrameSource::State {
    CaptureConfig config;
    std::unique_ptr<Connection> conn;
    std::shared_ptr<BufferPool> pool;
    std::shared_ptr<PixelBuffer> scratch; // sub-rectangle grabs, never handed out
    int width = 0;
    int height = 0;
    QSize screenSize;            // the root window's, as the server last said
    QRect displayRect;           // display capture: the display's rectangle now
    // A display whose size is not the frame's is grabbed into a canvas of its own size and
    // fitted into the frame; its pieces need a scratch buffer of that size too.
    std::shared_ptr<BufferPool> displayPool;
    std::shared_ptr<PixelBuffer> canvas;
    xcb_window_t topLevel = 0;   // window capture: the root child holding the window
    // Display capture leaving windows out, with the Composite extension at hand.
    std::unique_ptr<ExclusionRepair> repair;

    // Packed rows of BGRX pixels: a frame, or the canvas a display is grabbed into.
    struct Surface {
        uint8_t *data = nullptr;
        int width = 0;
        int height = 0;
    };
    Surface frameSurface(PixelBuffer &buffer) const { return Surface{buffer.data, width, height}; }

    // A picture request on its way: sent at once, answered later, so that several requests
    // (the screen and the pieces that repair it) share one round trip.
    struct PendingGrab {
        PixelBuffer *into = nullptr;
        size_t offset = 0; // where in `into` the pixels land, packed rows of w pixels
        int w = 0;
        int h = 0;
        bool shared = false;
        xcb_shm_get_image_cookie_t shmCookie{};
        xcb_get_image_cookie_t plainCookie{};
    };
    PendingGrab sendGrab(xcb_drawable_t drawable, int x, int y, int w, int h, PixelBuffer &into, size_t offset = 0);
    // Whether the picture arrived; false when the server refused it or the connection broke.
    bool receiveGrab(const PendingGrab &pending);
    // The grab steps below throw X11Error, with the connection's error as its code.
    void awaitGrab(const PendingGrab &pending);
    void grab(xcb_drawable_t drawable, int x, int y, int w, int h, PixelBuffer &into);
    QString grabFailureText() const;
    X11Error failure(const QString &description) const { return X11Error(description, conn->connectionError()); }
    void paintPieces(const Surface &surface, const std::vector<RepairPiece> &pieces, const PendingGrab *screen);
    void copyIn(const Surface &dest, int dx, int dy, const uint8_t *src, int w, int h);
    void grabFrame(Frame &frame, bool withCursor);
    bool grabPicture(PixelBuffer &buffer, bool withCursor, Reply<xcb_xfixes_get_cursor_image_reply_t> &cursor);
    void holdHiddenWindow(Frame &frame, int64_t timestamp);
    Surface grabDisplay(PixelBuffer &buffer);
    void fitDisplay(const Surface &canvas, PixelBuffer &buffer);
    void grabWindow(PixelBuffer &buffer, bool &empty, QPoint &origin);
    void fill(const Surface &dest, const QRect &r);
    void readScreenSize();
    void resolveDisplay();
    void sizeDisplayBuffers();
    void pollServerEvents(bool &displayChanged);
    void followDisplay();
    QRect capturedArea(QPoint origin) const;
    void drawCursor(const Surface &surface, QPoint origin, const xcb_xfixes_get_cursor_image_reply_t &cursor);

    // With the Damage extension the screen or window is grabbed again only once the server
    // reported damage since the last grab, when the pointer drawn into it moved or changed, or
    // when a captured window moved.
    struct PointerLook {
        int16_t x = 0, y = 0;
        uint32_t serial = 0; // the server's number for the cursor image
        bool drawn = false;
        bool operator==(const PointerLook &) const = default;
    };
    PointerLook lookOf(const xcb_xfixes_get_cursor_image_reply_t *cursor, QPoint origin) const;
    xcb_damage_damage_t damage = XCB_NONE;
    bool damaged = true;
    uint64_t pictures = 0;
    Frame last; // the last frame grabbed, its buffer held so that it can be delivered again
    PointerLook lastLook;
    QPoint lastOrigin; // of the last frame, in root coordinates
    bool lastFrameHolds(bool withCursor, Reply<xcb_xfixes_get_cursor_image_reply_t> &cursor, bool &hidden);
    // The frame's cursor request: wanted, then sent along with the frame's first picture request.
    bool cursorWanted = false;
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursorCookie;
    void sendCursorRequestIfWanted()
    {
        if (cursorWanted && !cursorCookie)
            cursorCookie = xcb_xfixes_get_cursor_image(conn->get());
    }
};

FrameSource::FrameSource(CaptureConfig config) : d(std::make_unique<State>()), m_showsCursor(config.showsCursor)
{
    config.framesPerSecond = std::clamp(config.framesPerSecond, 1, 60);
    d->config = std::move(config);
}

FrameSource::~FrameSource()
{
    stop();
    if (d) {
        d->last = Frame{};
        d->scratch.reset();
        d->canvas.reset();
        d->displayPool.reset();
        d->pool.reset();
        d->repair.reset();
        d->conn.reset();
    }
}

int FrameSource::frameWidth() const { return d->width; }
int FrameSource::frameHeight() const { return d->height; }
bool FrameSource::isComposited() const { return d->conn && d->conn->hasComposite(); }
void FrameSource::setFrameHandler(FrameHandler handler) { m_onFrame = std::move(handler); }
void FrameSource::setErrorHandler(ErrorHandler handler) { m_onError = std::move(handler); }
void FrameSource::setShowsCursor(bool shows) { m_showsCursor.store(shows); }
uint64_t FrameSource::framesDelivered() const { return m_delivered.load(); }

void FrameSource::open()
{
    if (d->conn)
        return;
    d->conn = Connection::open(true);
    if (!d->conn->hasComposite())
        logNoCompositeOnce();

    const CaptureConfig &cfg = d->config;
    // The screen's size and its displays change under a capture (a monitor plugged in, a
    // resolution chosen): the root's own configure events say so, also for monitors set up by
    // hand, which RandR announces no other way.
    uint32_t rootEvents = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    d->readScreenSize();
    if (cfg.kind == CaptureConfig::Kind::Display) {
        try {
            d->resolveDisplay();
        } catch (...) {
            d->conn.reset();
            throw;
        }
        if (d->conn->hasRandr())
            xcb_randr_select_input(d->conn->get(), d->conn->root(),
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
        d->width = cfg.width > 0 ? cfg.width : d->displayRect.width();
        d->height = cfg.height > 0 ? cfg.height : d->displayRect.height();
        const bool leavesWindowsOut = !cfg.excludedPids.empty() || !cfg.excludedWindows.empty();
        if (leavesWindowsOut && d->conn->hasComposite()) {
            d->repair = std::make_unique<ExclusionRepair>(*d->conn, cfg);
            d->repair->screenResized(d->screenSize);
            rootEvents |= ExclusionRepair::kRootEvents;
        }
    } else {
        const auto top = topLevelAncestor(*d->conn, cfg.windowId);
        Reply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(
            d->conn->get(), xcb_get_geometry(d->conn->get(), cfg.windowId), nullptr));
        if (!top || !geo) {
            const int code = d->conn->connectionError();
            d->conn.reset();
            throw X11Error(QStringLiteral("The window 0x%1 does not exist").arg(cfg.windowId, 0, 16), code);
        }
        d->topLevel = *top;
        d->width = cfg.width > 0 ? cfg.width : geo->width;
        d->height = cfg.height > 0 ? cfg.height : geo->height;
    }
    xcb_change_window_attributes(d->conn->get(), d->conn->root(), XCB_CW_EVENT_MASK, &rootEvents);
    if (d->conn->hasDamage()) {
        // Dies with the connection, or with the captured window.
        d->damage = xcb_generate_id(d->conn->get());
        xcb_damage_create(d->conn->get(), d->damage, cfg.kind == CaptureConfig::Kind::Display ? d->conn->root() : cfg.windowId,
                          XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    }
    const size_t bytes = size_t(d->width) * size_t(d->height) * 4;
    d->pool = std::make_shared<BufferPool>(*d->conn, bytes);
    d->pool->setUseSharedMemory(d->conn->hasShm());
    d->scratch = d->pool->acquire();
    try {
        if (!d->scratch)
            throw X11Error(QStringLiteral("Cannot allocate capture buffers"));
        d->sizeDisplayBuffers();
    } catch (...) {
        d->scratch.reset();
        d->canvas.reset();
        d->displayPool.reset();
        d->pool.reset();
        d->repair.reset();
        d->conn.reset();
        throw;
    }
}

void FrameSource::captureFrame(Frame &frame)
{
    if (!d->conn)
        throw X11Error(QStringLiteral("The capture is not open"));
    d->grabFrame(frame, m_showsCursor.load());
}

void FrameSource::State::grabFrame(Frame &frame, bool withCursor)
{
    frame = Frame{};
    if (conn->failed())
        throw failure(QStringLiteral("The connection to the X server was lost"));
    withCursor = withCursor && conn->hasXFixes();
    const int64_t timestamp = monotonicNow();
    Reply<xcb_xfixes_get_cursor_image_reply_t> cursor;
    if (config.kind == CaptureConfig::Kind::Display) {
        followDisplay();
    } else {
        bool ignored = false;
        pollServerEvents(ignored);
    }
    bool hidden = false;
    if (lastFrameHolds(withCursor, cursor, hidden)) {
        frame = last;
        frame.timestampNs = timestamp;
        return;
    }
    if (!hidden) {
        std::shared_ptr<PixelBuffer> buffer = pool->acquire();
        if (!buffer) {
            // Every buffer is still held downstream: this interval yields no frame.
            return;
        }
        if (grabPicture(*buffer, withCursor, cursor)) {
            frame.data = buffer->data;
            frame.width = width;
            frame.height = height;
            frame.stride = width * 4;
            frame.timestampNs = timestamp;
            frame.buffer = std::shared_ptr<const void>(buffer);
            frame.picture = ++pictures;
            // A window capture keeps its last frame also without the Damage extension: it is
            // held while the window is not shown.
            if (damage != XCB_NONE || config.kind == CaptureConfig::Kind::Window)
                last = frame;
            return;
        }
    }
    holdHiddenWindow(frame, timestamp);
}

// Grabs the display or the window into `buffer` and draws the pointer into it; false when the
// captured window is not shown whole (nothing was grabbed then).
bool FrameSource::State::grabPicture(PixelBuffer &buffer, bool withCursor,
                                     Reply<xcb_xfixes_get_cursor_image_reply_t> &cursor)
{
    xcb_connection_t *c = conn->get();
    // The cursor is asked for right behind the first picture request of the frame (see `grab`),
    // so that both answers come back together instead of costing a wake-up each.
    struct CursorRequest {
        State &s;
        ~CursorRequest()
        {
            if (s.cursorCookie)
                xcb_discard_reply(s.conn->get(), s.cursorCookie->sequence);
            s.cursorCookie.reset();
            s.cursorWanted = false;
        }
    } cursorRequest{*this};
    cursorWanted = withCursor && !cursor;
    if (damage != XCB_NONE) {
        // Ahead of the grab in the server's order: what is drawn after it is reported anew.
        xcb_damage_subtract(c, damage, XCB_NONE, XCB_NONE);
        damaged = false;
    }
    QPoint origin;
    Surface surface = frameSurface(buffer);
    if (config.kind == CaptureConfig::Kind::Display) {
        surface = grabDisplay(buffer);
        origin = displayRect.topLeft();
    } else {
        bool empty = false;
        grabWindow(buffer, empty, origin);
        if (empty)
            return false;
    }
    sendCursorRequestIfWanted(); // when nothing was grabbed from the server this time
    if (cursorCookie) {
        const auto request = *cursorCookie;
        cursorCookie.reset();
        cursor.reset(xcb_xfixes_get_cursor_image_reply(c, request, nullptr));
    }
    if (cursor)
        drawCursor(surface, origin, *cursor);
    if (surface.data != buffer.data)
        fitDisplay(surface, buffer);
    lastLook = lookOf(cursor.get(), origin);
    lastOrigin = origin;
    return true;
}

// A captured window that is not shown (minimised, unmapped by its program, or cut by its frame
// while a window manager animates it) holds its last picture, delivered again under its number
// as a still window's is, until it shows again: the take goes on, its picture as long as its
// sound. Before it was ever shown the held picture is black.
void FrameSource::State::holdHiddenWindow(Frame &frame, int64_t timestamp)
{
    damaged = true; // its return is grabbed, whatever damage the server reports for it
    if (!last.data) {
        std::shared_ptr<PixelBuffer> buffer = pool->acquire();
        if (!buffer)
            return;
        fill(frameSurface(*buffer), QRect(0, 0, width, height));
        last.data = buffer->data;
        last.width = width;
        last.height = height;
        last.stride = width * 4;
        last.buffer = std::shared_ptr<const void>(buffer);
        last.picture = ++pictures;
    }
    frame = last;
    frame.timestampNs = timestamp;
}

// Whether the last frame still shows what is captured: no damage reported since it was grabbed,
// the pointer drawn as it was, and a captured window where it was. `cursor` keeps the pointer
// asked for here, for the grab that follows otherwise; `hidden` tells a window not viewable now.
bool FrameSource::State::lastFrameHolds(bool withCursor, Reply<xcb_xfixes_get_cursor_image_reply_t> &cursor,
                                        bool &hidden)
{
    if (damage == XCB_NONE || damaged || !last.data)
        return false;
    xcb_connection_t *c = conn->get();
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursorRequest;
    if (withCursor)
        cursorRequest = xcb_xfixes_get_cursor_image(c);
    QPoint origin = displayRect.topLeft();
    bool known = true;
    if (config.kind == CaptureConfig::Kind::Window) {
        const auto attrCookie = xcb_get_window_attributes(c, config.windowId);
        const auto rootPosCookie = xcb_translate_coordinates(c, config.windowId, conn->root(), 0, 0);
        Reply<xcb_get_window_attributes_reply_t> attr(xcb_get_window_attributes_reply(c, attrCookie, nullptr));
        Reply<xcb_translate_coordinates_reply_t> rootPos(xcb_translate_coordinates_reply(c, rootPosCookie, nullptr));
        if (!attr || !rootPos)
            known = false; // gone: the grab reports it
        else if (attr->map_state != XCB_MAP_STATE_VIEWABLE)
            hidden = true;
        else
            origin = QPoint(rootPos->dst_x, rootPos->dst_y);
    }
    if (cursorRequest)
        cursor.reset(xcb_xfixes_get_cursor_image_reply(c, *cursorRequest, nullptr));
    return known && !hidden && origin == lastOrigin && lookOf(cursor.get(), origin) == lastLook;
}

// A pointer outside the frame (on another display, beside a captured window) is not drawn: its
// moves there change nothing.
FrameSource::State::PointerLook FrameSource::State::lookOf(const xcb_xfixes_get_cursor_image_reply_t *cursor,
                                                           QPoint origin) const
{
    if (!cursor)
        return PointerLook{};
    const QRect image(cursor->x - cursor->xhot, cursor->y - cursor->yhot, cursor->width, cursor->height);
    if (!image.intersects(capturedArea(origin)))
        return PointerLook{};
    return PointerLook{cursor->x, cursor->y, cursor->cursor_serial, true};
}

FrameSource::State::PendingGrab FrameSource::State::sendGrab(xcb_drawable_t drawable, int x, int y, int w, int h,
                                                            PixelBuffer &into, size_t offset)
{
    xcb_connection_t *c = conn->get();
    PendingGrab pending;
    pending.into = &into;
    pending.offset = offset;
    pending.w = w;
    pending.h = h;
    pending.shared = into.shared;
    if (into.shared)
        pending.shmCookie = xcb_shm_get_image(c, drawable, int16_t(x), int16_t(y), uint16_t(w), uint16_t(h), ~0u,
                                              XCB_IMAGE_FORMAT_Z_PIXMAP, into.segment, uint32_t(offset));
    else
        pending.plainCookie =
            xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, int16_t(x), int16_t(y), uint16_t(w), uint16_t(h), ~0u);
    sendCursorRequestIfWanted();
    return pending;
}

bool FrameSource::State::receiveGrab(const PendingGrab &pending)
{
    xcb_connection_t *c = conn->get();
    if (pending.shared) {
        Reply<xcb_shm_get_image_reply_t> r(xcb_shm_get_image_reply(c, pending.shmCookie, nullptr));
        if (r)
            return true;
    } else {
        Reply<xcb_get_image_reply_t> r(xcb_get_image_reply(c, pending.plainCookie, nullptr));
        if (r) {
            const size_t room = pending.into->size - std::min(pending.offset, pending.into->size);
            const size_t n = std::min<size_t>(size_t(xcb_get_image_data_length(r.get())), room);
            std::memcpy(pending.into->data + pending.offset, xcb_get_image_data(r.get()), n);
            return true;
        }
    }
    return false;
}

QString FrameSource::State::grabFailureText() const
{
    return conn->failed() ? QStringLiteral("The connection to the X server was lost")
                          : QStringLiteral("The X server refused to hand out the picture");
}

void FrameSource::State::awaitGrab(const PendingGrab &pending)
{
    if (!receiveGrab(pending))
        throw failure(grabFailureText());
}

void FrameSource::State::grab(xcb_drawable_t drawable, int x, int y, int w, int h, PixelBuffer &into)
{
    awaitGrab(sendGrab(drawable, x, y, w, h, into));
}

void FrameSource::State::copyIn(const Surface &dest, int dx, int dy, const uint8_t *src, int w, int h)
{
    const int dstStride = dest.width * 4;
    for (int row = 0; row < h; ++row)
        std::memcpy(dest.data + size_t(dy + row) * dstStride + size_t(dx) * 4, src + size_t(row) * w * 4,
                    size_t(w) * 4);
}

void FrameSource::State::fill(const Surface &dest, const QRect &r)
{
    const QRect clipped = r.intersected(QRect(0, 0, dest.width, dest.height));
    if (clipped.isEmpty())
        return;
    const int dstStride = dest.width * 4;
    for (int row = clipped.top(); row <= clipped.bottom(); ++row) {
        uint32_t *p = reinterpret_cast<uint32_t *>(dest.data + size_t(row) * dstStride) + clipped.left();
        std::fill(p, p + clipped.width(), 0xff000000u);
    }
}

// The connection's own record of the screen is the size it had when the connection was made.
void FrameSource::State::readScreenSize()
{
    xcb_connection_t *c = conn->get();
    Reply<xcb_get_geometry_reply_t> root(xcb_get_geometry_reply(c, xcb_get_geometry(c, conn->root()), nullptr));
    screenSize = root ? QSize(root->width, root->height)
                      : QSize(conn->screen()->width_in_pixels, conn->screen()->height_in_pixels);
}

void FrameSource::State::resolveDisplay()
{
    const auto displays = listDisplays(*conn);
    for (const auto &disp : displays) {
        if (disp.id == config.displayId) {
            displayRect = disp.geometry;
            return;
        }
    }
    if (!displays.empty())
        throw X11Error(QStringLiteral("The display %1 is not connected").arg(config.displayId));
    throw X11Error(QStringLiteral("The X server lists no display"));
}

// Throws X11Error when the buffers a display of another size needs cannot be had.
void FrameSource::State::sizeDisplayBuffers()
{
    if (config.kind != CaptureConfig::Kind::Display)
        return;
    const size_t displayBytes = size_t(displayRect.width()) * size_t(displayRect.height()) * 4;
    const bool fitted = displayRect.size() != QSize(width, height);
    if (scratch->size >= displayBytes && (!fitted || (canvas && canvas->size >= displayBytes)))
        return;
    canvas.reset();
    scratch.reset();
    displayPool = std::make_shared<BufferPool>(*conn, std::max(displayBytes, size_t(width) * size_t(height) * 4));
    displayPool->setUseSharedMemory(conn->hasShm());
    scratch = displayPool->acquire();
    if (fitted)
        canvas = displayPool->acquire();
    if (!scratch || (fitted && !canvas))
        throw failure(QStringLiteral("Cannot allocate capture buffers"));
}

void FrameSource::State::pollServerEvents(bool &displayChanged)
{
    while (xcb_generic_event_t *e = xcb_poll_for_event(conn->get())) {
        const uint8_t type = e->response_type & 0x7f;
        if (conn->hasRandr() && (type == conn->randrEventBase() + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                 type == conn->randrEventBase() + XCB_RANDR_NOTIFY))
            displayChanged = true;
        if (type == XCB_CONFIGURE_NOTIFY) {
            const auto *configure = reinterpret_cast<const xcb_configure_notify_event_t *>(e);
            if (configure->window == conn->root()) {
                screenSize = QSize(configure->width, configure->height);
                displayChanged = true;
            }
        }
        // An error may have been a refused request of the last grab.
        if (type == 0 || (conn->hasDamage() && type == conn->damageEventBase() + XCB_DAMAGE_NOTIFY))
            damaged = true;
        if (repair && repair->noteEvent(type))
            damaged = true;
        std::free(e);
    }
}

// The display is followed wherever the layout puts it, at whatever size; only a display that is
// gone ends the capture.
void FrameSource::State::followDisplay()
{
    bool changed = false;
    pollServerEvents(changed);
    if (!changed)
        return;
    damaged = true;
    const QRect before = displayRect;
    try {
        readScreenSize();
        resolveDisplay();
    } catch (const X11Error &) {
        throw failure(conn->failed() ? QStringLiteral("The connection to the X server was lost")
                                     : QStringLiteral("The captured display is no longer available"));
    }
    if (repair)
        repair->screenResized(screenSize);
    if (displayRect == before)
        return;
    sizeDisplayBuffers();
    const QRect fitted = fittedRect(displayRect.size(), QSize(width, height));
    qCInfo(lumacast::log::recorder(), "captured display %u is now %dx%d at %d,%d; recorded at %dx%d in the %dx%d frame",
           config.displayId, displayRect.width(), displayRect.height(), displayRect.x(), displayRect.y(), fitted.width(),
           fitted.height(), width, height);
}

QRect FrameSource::State::capturedArea(QPoint origin) const
{
    return config.kind == CaptureConfig::Kind::Display ? displayRect : QRect(origin, QSize(width, height));
}

// The display as the screen shows it now: into the frame when it has the frame's size, else into
// the canvas, which is then fitted into the frame. Returns where it went.
FrameSource::State::Surface FrameSource::State::grabDisplay(PixelBuffer &buffer)
{
    const bool fitted = displayRect.size() != QSize(width, height);
    const Surface surface = fitted ? Surface{canvas->data, displayRect.width(), displayRect.height()}
                                   : frameSurface(buffer);
    // A display the layout has not yet put wholly inside the screen shows black where it is not.
    const QRect source = displayRect.intersected(QRect(QPoint(0, 0), screenSize));
    if (source.isEmpty())
        throw failure(QStringLiteral("The captured display is no longer available"));
    std::vector<RepairPiece> pieces;
    if (repair)
        pieces = repair->pieces(displayRect);
    if (source == displayRect) {
        // The screen straight into the surface; the repair's requests follow it before any
        // answer is waited for. The server answers in order, so every repair piece arrives after
        // the screen is in place, and is copied over it.
        const PendingGrab screen =
            sendGrab(conn->root(), source.x(), source.y(), source.width(), source.height(), fitted ? *canvas : buffer);
        paintPieces(surface, pieces, &screen);
    } else {
        grab(conn->root(), source.x(), source.y(), source.width(), source.height(), *scratch);
        fill(surface, QRect(0, 0, surface.width, surface.height));
        copyIn(surface, source.x() - displayRect.x(), source.y() - displayRect.y(), scratch->data, source.width(),
               source.height());
        paintPieces(surface, pieces, nullptr);
    }
    if (conn->failed())
        throw failure(QStringLiteral("The connection to the X server was lost"));
    return surface;
}

// A display whose size changed during the take: the whole of it, scaled to fit the frame with
// its aspect kept, centred between black bars.
void FrameSource::State::fitDisplay(const Surface &canvas, PixelBuffer &buffer)
{
    const Surface frame = frameSurface(buffer);
    const QRect into = fittedRect(QSize(canvas.width, canvas.height), QSize(width, height));
    fill(frame, QRect(0, 0, width, height));
    libyuv::ARGBScale(canvas.data, canvas.width * 4, canvas.width, canvas.height,
                      frame.data + size_t(into.y()) * width * 4 + size_t(into.x()) * 4, width * 4, into.width(),
                      into.height(), libyuv::kFilterBox);
}

// `screen`, when given, is the frame's own picture request, sent before the pieces: it is awaited
// first, and its refusal thrown only once every piece request sent has been answered.
void FrameSource::State::paintPieces(const Surface &surface, const std::vector<RepairPiece> &pieces, const PendingGrab *screen)
{
    struct Sent {
        const RepairPiece *piece;
        std::optional<PendingGrab> grab;
    };
    std::vector<Sent> sent;
    size_t next = 0;
    bool screenAwaited = screen == nullptr;
    std::optional<QString> screenRefused;
    do {
        // As many pieces as the scratch buffer holds are requested at once, then their answers
        // are read and copied in, in painting order.
        sent.clear();
        size_t used = 0;
        for (; next < pieces.size(); ++next) {
            const RepairPiece &p = pieces[next];
            if (p.from == XCB_NONE) {
                sent.push_back(Sent{&p, std::nullopt});
                continue;
            }
            const size_t bytes = size_t(p.source.width()) * size_t(p.source.height()) * 4;
            if (used + bytes > scratch->size && used > 0)
                break;
            sent.push_back(Sent{&p, sendGrab(p.from, p.source.x(), p.source.y(), p.source.width(), p.source.height(),
                                             *scratch, used)});
            used += bytes;
        }
        if (!screenAwaited) {
            if (!receiveGrab(*screen))
                screenRefused = grabFailureText();
            screenAwaited = true;
        }
        for (const Sent &s : sent) {
            const RepairPiece &p = *s.piece;
            if (s.grab && receiveGrab(*s.grab)) {
                copyIn(surface, p.to.x(), p.to.y(), scratch->data + s.grab->offset, p.source.width(), p.source.height());
            } else if (p.isWindow) {
                repair->windowRefused(); // look again at the next frame
                damaged = true;
            } else {
                fill(surface, QRect(p.to, p.source.size()));
            }
        }
    } while (next < pieces.size());
    if (screenRefused)
        throw failure(*screenRefused);
}

void FrameSource::State::grabWindow(PixelBuffer &buffer, bool &empty, QPoint &origin)
{
    xcb_connection_t *c = conn->get();
    const xcb_window_t window = config.windowId;
    auto gone = [&] {
        return failure(conn->failed() ? QStringLiteral("The connection to the X server was lost")
                                      : QStringLiteral("The captured window is no longer available"));
    };
    auto geoCookie = xcb_get_geometry(c, window);
    auto attrCookie = xcb_get_window_attributes(c, window);
    auto rootPosCookie = xcb_translate_coordinates(c, window, conn->root(), 0, 0);
    Reply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(c, geoCookie, nullptr));
    Reply<xcb_get_window_attributes_reply_t> attr(xcb_get_window_attributes_reply(c, attrCookie, nullptr));
    Reply<xcb_translate_coordinates_reply_t> rootPos(xcb_translate_coordinates_reply(c, rootPosCookie, nullptr));
    if (!geo || !attr || !rootPos)
        throw gone();
    if (attr->map_state != XCB_MAP_STATE_VIEWABLE) {
        empty = true; // minimised or hidden: nothing new to show
        return;
    }
    origin = QPoint(rootPos->dst_x, rootPos->dst_y);
    const int w = std::min<int>(geo->width, width);
    const int h = std::min<int>(geo->height, height);
    const bool exact = w == width && h == height;
    PixelBuffer &target = exact ? buffer : *scratch;

    if (conn->hasComposite()) {
        // A window manager may have reparented the window since the last frame.
        Reply<xcb_translate_coordinates_reply_t> inTop(xcb_translate_coordinates_reply(
            c, xcb_translate_coordinates(c, window, topLevel, 0, 0), nullptr));
        Reply<xcb_query_tree_reply_t> topTree(xcb_query_tree_reply(c, xcb_query_tree(c, topLevel), nullptr));
        if (!inTop || !topTree || topTree->parent != conn->root()) {
            const auto top = topLevelAncestor(*conn, window);
            if (!top)
                throw gone();
            topLevel = *top;
            inTop.reset(xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, topLevel, 0, 0), nullptr));
            if (!inTop)
                throw gone();
        }
        Reply<xcb_get_geometry_reply_t> topGeo(xcb_get_geometry_reply(c, xcb_get_geometry(c, topLevel), nullptr));
        if (!topGeo)
            throw gone();
        const xcb_pixmap_t p = xcb_generate_id(c);
        const auto named = xcb_composite_name_window_pixmap_checked(c, topLevel, p);
        // The named pixmap keeps the size the top-level had then, whatever it does next.
        const auto pixmapGeoCookie = xcb_get_geometry(c, p);
        if (xcb_generic_error_t *e = xcb_request_check(c, named)) {
            std::free(e);
            xcb_discard_reply(c, pixmapGeoCookie.sequence);
            if (conn->failed())
                throw gone();
            empty = true; // unmapped between the two requests
            return;
        }
        Reply<xcb_get_geometry_reply_t> pixmapGeo(xcb_get_geometry_reply(c, pixmapGeoCookie, nullptr));
        const QRect inPixmap(inTop->dst_x + topGeo->border_width, inTop->dst_y + topGeo->border_width, w, h);
        if (!pixmapGeo || !QRect(0, 0, pixmapGeo->width, pixmapGeo->height).contains(inPixmap)) {
            // Cut by its frame, which a window manager shrinks while it animates a minimise or a
            // restore (or shades the window): what lies outside is drawn nowhere.
            xcb_free_pixmap(c, p);
            if (conn->failed())
                throw gone();
            empty = true;
            return;
        }
        try {
            grab(p, inTop->dst_x + topGeo->border_width, inTop->dst_y + topGeo->border_width, w, h, target);
        } catch (const X11Error &) {
            xcb_free_pixmap(c, p);
            throw;
        }
        xcb_free_pixmap(c, p);
        if (!exact) {
            fill(frameSurface(buffer), QRect(0, 0, width, height));
            copyIn(frameSurface(buffer), 0, 0, target.data, w, h);
        }
    } else {
        // Without Composite only what the screen shows can be read: the window's visible rectangle.
        const QRect onScreen = QRect(origin, QSize(w, h)).intersected(QRect(QPoint(0, 0), screenSize));
        fill(frameSurface(buffer), QRect(0, 0, width, height));
        if (!onScreen.isEmpty()) {
            grab(conn->root(), onScreen.x(), onScreen.y(), onScreen.width(), onScreen.height(), *scratch);
            copyIn(frameSurface(buffer), onScreen.x() - origin.x(), onScreen.y() - origin.y(), scratch->data,
                   onScreen.width(), onScreen.height());
        }
    }
}

void FrameSource::State::drawCursor(const Surface &surface, QPoint origin, const xcb_xfixes_get_cursor_image_reply_t &cursor)
{
    const auto *cur = &cursor;
    const uint32_t *pixels = xcb_xfixes_get_cursor_image_cursor_image(cur);
    const int left = cur->x - cur->xhot - origin.x();
    const int top = cur->y - cur->yhot - origin.y();
    for (int row = 0; row < cur->height; ++row) {
        const int y = top + row;
        if (y < 0 || y >= surface.height)
            continue;
        uint32_t *dst = reinterpret_cast<uint32_t *>(surface.data + size_t(y) * surface.width * 4);
        for (int col = 0; col < cur->width; ++col) {
            const int x = left + col;
            if (x < 0 || x >= surface.width)
                continue;
            const uint32_t s = pixels[row * cur->width + col];
            const uint32_t a = s >> 24;
            if (a == 0)
                continue;
            const uint32_t d0 = dst[x];
            // The cursor image is premultiplied: out = src + dst * (1 - alpha).
            auto channel = [&](int shift) {
                const uint32_t sc = (s >> shift) & 0xff;
                const uint32_t dc = (d0 >> shift) & 0xff;
                return std::min<uint32_t>(255, sc + (dc * (255 - a) + 127) / 255) << shift;
            };
            dst[x] = 0xff000000u | channel(16) | channel(8) | channel(0);
        }
    }
}

void FrameSource::start()
{
    if (m_thread.joinable())
        return;
    open();
    {
        std::lock_guard lock(m_wakeMutex);
        m_stopRequested = false;
    }
    m_thread = std::thread([this] {
        nameCurrentThread("x11 frames");
        run();
    });
}

void FrameSource::stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_wakeMutex);
        m_stopRequested = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void FrameSource::run()
{
    using clock = std::chrono::steady_clock;
    const auto interval = std::chrono::nanoseconds(1000000000LL / d->config.framesPerSecond);
    auto next = clock::now();
    for (;;) {
        {
            std::lock_guard lock(m_wakeMutex);
            if (m_stopRequested)
                return;
        }
        Frame frame;
        try {
            captureFrame(frame);
        } catch (const X11Error &error) {
            if (m_onError)
                m_onError(error);
            return;
        }
        if (frame.data) {
            ++m_delivered;
            if (m_onFrame)
                m_onFrame(frame);
        }
        next += interval;
        const auto now = clock::now();
        if (now >= next) {
            // Behind schedule: skip the intervals already past instead of grabbing in a burst.
            next += interval * ((now - next) / interval + 1);
        }
        std::unique_lock lock(m_wakeMutex);
        m_wake.wait_until(lock, next, [this] { return m_stopRequested; });
        if (m_stopRequested)
            return;
    }
}

} // namespace lumacast::x11
