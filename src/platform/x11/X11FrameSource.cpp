#include "platform/x11/X11FrameSource.h"

#include "model/LogCategories.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Content.h"

#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <QRect>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

namespace lumacast::x11 {

namespace {

int64_t monotonicNow()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// A frame-sized pixel buffer: a shared-memory segment the server writes into, or plain memory
// when the server cannot share memory with us (a remote display).
struct PixelBuffer {
    uint8_t *data = nullptr;
    size_t size = 0;
    xcb_shm_seg_t segment = 0;
    bool shared = false;
    std::vector<uint8_t> heap;

    ~PixelBuffer()
    {
        if (shared && data)
            shmdt(data);
    }
};

// Buffers in flight with frame holders come back here when the last holder lets go; a buffer
// that comes back after the pool is gone is simply released.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
public:
    BufferPool(Connection &c, size_t size) : m_conn(c), m_size(size) {}

    ~BufferPool()
    {
        for (auto &b : m_free) {
            if (b->shared && !m_conn.failed())
                xcb_shm_detach(m_conn.get(), b->segment);
        }
        if (!m_conn.failed())
            xcb_flush(m_conn.get());
    }

    // Only the capture thread acquires (it talks to the server); any thread may release.
    std::shared_ptr<PixelBuffer> acquire()
    {
        std::unique_ptr<PixelBuffer> buffer;
        {
            std::lock_guard lock(m_mutex);
            if (!m_free.empty()) {
                buffer = std::move(m_free.back());
                m_free.pop_back();
            }
        }
        if (!buffer) {
            if (m_allocated >= kMaxBuffers)
                return nullptr;
            buffer = allocate();
            if (!buffer)
                return nullptr;
            ++m_allocated;
        }
        std::weak_ptr<BufferPool> pool = weak_from_this();
        return std::shared_ptr<PixelBuffer>(buffer.release(), [pool](PixelBuffer *b) {
            if (auto p = pool.lock())
                p->giveBack(b);
            else
                delete b;
        });
    }

    bool usesSharedMemory() const { return m_useShm; }
    void setUseSharedMemory(bool use) { m_useShm = use; }

private:
    static constexpr int kMaxBuffers = 8;

    void giveBack(PixelBuffer *b)
    {
        std::lock_guard lock(m_mutex);
        m_free.emplace_back(b);
    }

    std::unique_ptr<PixelBuffer> allocate()
    {
        auto b = std::make_unique<PixelBuffer>();
        b->size = m_size;
        if (m_useShm) {
            const int id = shmget(IPC_PRIVATE, m_size, IPC_CREAT | 0600);
            if (id >= 0) {
                void *addr = shmat(id, nullptr, 0);
                if (addr != reinterpret_cast<void *>(-1)) {
                    const xcb_shm_seg_t seg = xcb_generate_id(m_conn.get());
                    xcb_generic_error_t *e =
                        xcb_request_check(m_conn.get(), xcb_shm_attach_checked(m_conn.get(), seg, uint32_t(id), 0));
                    // Marked for removal at once: the segment goes away with its last user.
                    shmctl(id, IPC_RMID, nullptr);
                    if (!e) {
                        b->data = static_cast<uint8_t *>(addr);
                        b->segment = seg;
                        b->shared = true;
                        return b;
                    }
                    std::free(e);
                    shmdt(addr);
                } else {
                    shmctl(id, IPC_RMID, nullptr);
                }
            }
            // The server is not on this machine (or refuses the segment): plain requests from now on.
            m_useShm = false;
        }
        b->heap.resize(m_size);
        b->data = b->heap.data();
        return b;
    }

    Connection &m_conn;
    size_t m_size;
    bool m_useShm = true;
    int m_allocated = 0;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<PixelBuffer>> m_free;
};

struct TopLevel {
    xcb_window_t id = 0;
    QRect outer; // including the border, root coordinates
    bool viewable = false;
    bool drawable = false; // InputOutput with a 32-bit-per-pixel depth
};

struct Identity {
    std::optional<uint32_t> pid;
    std::vector<xcb_window_t> ids; // the top-level and, below a frame, its client
};

void logNoCompositeOnce()
{
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true))
        qCWarning(lumacast::log::recorder(),
                  "X server has no Composite extension: recording the screen as shown, without leaving windows out");
}

} // namespace

struct FrameSource::State {
    CaptureConfig config;
    std::unique_ptr<Connection> conn;
    std::shared_ptr<BufferPool> pool;
    std::shared_ptr<PixelBuffer> scratch; // sub-rectangle grabs, never handed out
    int width = 0;
    int height = 0;
    QRect displayRect;           // display capture: the output's rectangle
    xcb_window_t topLevel = 0;   // window capture: the root child holding the window
    std::unordered_map<xcb_window_t, Identity> identities;
    bool exclusionActive = false;
    // The stacking order and the windows' pixmaps change only with structure events on the
    // root: both are kept between frames until one arrives.
    bool treeDirty = true;
    std::vector<TopLevel> tops;
    std::map<xcb_window_t, xcb_pixmap_t> pixmaps;
    xcb_pixmap_t rootBackground = XCB_NONE; // the desktop picture a background setter left on the root
    bool backgroundDirty = true;

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
    // One rectangle of a repair: painted from `from` (black when it is none, or when a desktop
    // picture refuses; skipped when a window refuses), at `to` in the frame.
    struct Piece {
        xcb_drawable_t from = XCB_NONE;
        QRect source; // in `from`'s coordinates
        QPoint to;
        bool isWindow = false;
    };
    PendingGrab sendGrab(xcb_drawable_t drawable, int x, int y, int w, int h, PixelBuffer &into, size_t offset = 0);
    bool awaitGrab(const PendingGrab &pending, QString *error);
    bool grab(xcb_drawable_t drawable, int x, int y, int w, int h, PixelBuffer &into, QString *error);
    std::vector<Piece> repairPieces();
    void paintPieces(PixelBuffer &buffer, const std::vector<Piece> &pieces, const PendingGrab *screen, bool &screenOk,
                     QString *error);
    void copyIn(PixelBuffer &dest, int dx, int dy, const uint8_t *src, int w, int h);
    bool grabFrame(Frame &frame, bool withCursor, QString *error);
    bool grabDisplay(PixelBuffer &buffer, QString *error);
    bool grabWindow(PixelBuffer &buffer, bool &empty, QPoint &origin, QString *error);
    void copyIn(PixelBuffer &dest, int dx, int dy, const PixelBuffer &src, int w, int h);
    void fill(PixelBuffer &dest, const QRect &r);
    void resolveDisplay();
    void pollServerEvents(bool &displayChanged);
    std::vector<TopLevel> topLevels();
    const Identity &identityOf(xcb_window_t top);
    bool isExcluded(xcb_window_t top);
    void forgetPixmaps();
    xcb_pixmap_t readRootBackground();
    void drawCursor(PixelBuffer &buffer, QPoint origin, xcb_xfixes_get_cursor_image_cookie_t request);
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
        d->scratch.reset();
        d->pool.reset();
        d->conn.reset();
    }
}

int FrameSource::frameWidth() const { return d->width; }
int FrameSource::frameHeight() const { return d->height; }
bool FrameSource::isComposited() const { return d->conn && d->conn->hasComposite(); }
void FrameSource::setFrameHandler(FrameHandler handler) { m_onFrame = std::move(handler); }
void FrameSource::setErrorHandler(ErrorHandler handler) { m_onError = std::move(handler); }
void FrameSource::setShowsCursor(bool shows) { m_showsCursor.store(shows); }
bool FrameSource::showsCursor() const { return m_showsCursor.load(); }
uint64_t FrameSource::framesDelivered() const { return m_delivered.load(); }
uint64_t FrameSource::intervalsMissed() const { return m_missed.load(); }

void FrameSource::open()
{
    if (d->conn)
        return;
    d->conn = Connection::open(true);
    if (!d->conn->hasComposite())
        logNoCompositeOnce();

    const CaptureConfig &cfg = d->config;
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
        d->exclusionActive = !cfg.excludedPids.empty() || !cfg.excludedWindows.empty();
        if (d->exclusionActive && d->conn->hasComposite()) {
            const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
            xcb_change_window_attributes(d->conn->get(), d->conn->root(), XCB_CW_EVENT_MASK, &mask);
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
    const size_t bytes = size_t(d->width) * size_t(d->height) * 4;
    d->pool = std::make_shared<BufferPool>(*d->conn, bytes);
    d->pool->setUseSharedMemory(d->conn->hasShm());
    d->scratch = d->pool->acquire();
    if (!d->scratch) {
        d->pool.reset();
        d->conn.reset();
        throw X11Error(QStringLiteral("Cannot allocate capture buffers"));
    }
}

void FrameSource::captureFrame(Frame &frame)
{
    if (!d->conn)
        throw X11Error(QStringLiteral("The capture is not open"));
    // The grab's steps still hand their text up through `error`; it becomes the one X11Error here.
    QString error;
    if (!d->grabFrame(frame, m_showsCursor.load(), &error))
        throw X11Error(error, d->conn->connectionError());
}

bool FrameSource::State::grabFrame(Frame &frame, bool withCursor, QString *error)
{
    frame = Frame{};
    if (conn->failed()) {
        if (error)
            *error = QStringLiteral("The connection to the X server was lost");
        return false;
    }
    std::shared_ptr<PixelBuffer> buffer = pool->acquire();
    if (!buffer) {
        // Every buffer is still held downstream: this interval yields no frame.
        return true;
    }
    const int64_t timestamp = monotonicNow();
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
    } cursor{*this};
    cursorWanted = withCursor && conn->hasXFixes();
    QPoint origin;
    bool empty = false;
    if (config.kind == CaptureConfig::Kind::Display) {
        if (!grabDisplay(*buffer, error))
            return false;
        origin = displayRect.topLeft();
    } else {
        if (!grabWindow(*buffer, empty, origin, error))
            return false;
        if (empty)
            return true;
    }
    sendCursorRequestIfWanted(); // when nothing was grabbed from the server this time
    if (cursorCookie) {
        const auto request = *cursorCookie;
        cursorCookie.reset();
        drawCursor(*buffer, origin, request);
    }
    frame.data = buffer->data;
    frame.width = width;
    frame.height = height;
    frame.stride = width * 4;
    frame.timestampNs = timestamp;
    frame.buffer = std::shared_ptr<const void>(buffer);
    return true;
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

bool FrameSource::State::awaitGrab(const PendingGrab &pending, QString *error)
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
    if (error)
        *error = conn->failed() ? QStringLiteral("The connection to the X server was lost")
                                : QStringLiteral("The X server refused to hand out the picture");
    return false;
}

bool FrameSource::State::grab(xcb_drawable_t drawable, int x, int y, int w, int h, PixelBuffer &into, QString *error)
{
    return awaitGrab(sendGrab(drawable, x, y, w, h, into), error);
}

void FrameSource::State::copyIn(PixelBuffer &dest, int dx, int dy, const PixelBuffer &src, int w, int h)
{
    copyIn(dest, dx, dy, src.data, w, h);
}

void FrameSource::State::copyIn(PixelBuffer &dest, int dx, int dy, const uint8_t *src, int w, int h)
{
    const int dstStride = width * 4;
    for (int row = 0; row < h; ++row)
        std::memcpy(dest.data + size_t(dy + row) * dstStride + size_t(dx) * 4, src + size_t(row) * w * 4,
                    size_t(w) * 4);
}

void FrameSource::State::fill(PixelBuffer &dest, const QRect &r)
{
    const QRect clipped = r.intersected(QRect(0, 0, width, height));
    if (clipped.isEmpty())
        return;
    const int dstStride = width * 4;
    for (int row = clipped.top(); row <= clipped.bottom(); ++row) {
        uint32_t *p = reinterpret_cast<uint32_t *>(dest.data + size_t(row) * dstStride) + clipped.left();
        std::fill(p, p + clipped.width(), 0xff000000u);
    }
}

void FrameSource::State::resolveDisplay()
{
    const auto displays = listDisplays();
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

void FrameSource::State::pollServerEvents(bool &displayChanged)
{
    while (xcb_generic_event_t *e = xcb_poll_for_event(conn->get())) {
        const uint8_t type = e->response_type & 0x7f;
        if (conn->hasRandr() && (type == conn->randrEventBase() + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                 type == conn->randrEventBase() + XCB_RANDR_NOTIFY))
            displayChanged = true;
        switch (type) {
        case 0: // an error: most likely a pixmap that went stale
        case XCB_CREATE_NOTIFY:
        case XCB_DESTROY_NOTIFY:
        case XCB_MAP_NOTIFY:
        case XCB_UNMAP_NOTIFY:
        case XCB_CONFIGURE_NOTIFY:
        case XCB_REPARENT_NOTIFY:
        case XCB_CIRCULATE_NOTIFY:
        case XCB_GRAVITY_NOTIFY:
            treeDirty = true;
            break;
        case XCB_PROPERTY_NOTIFY:
            backgroundDirty = true; // a new desktop picture, or only another root property
            break;
        default:
            break;
        }
        std::free(e);
    }
}

bool FrameSource::State::grabDisplay(PixelBuffer &buffer, QString *error)
{
    bool changed = false;
    pollServerEvents(changed);
    if (changed) {
        try {
            resolveDisplay();
        } catch (const X11Error &) {
            if (error)
                *error = QStringLiteral("The captured display is no longer available");
            return false;
        }
    }
    const QRect screenRect(0, 0, conn->screen()->width_in_pixels, conn->screen()->height_in_pixels);
    const QRect source = QRect(displayRect.topLeft(), QSize(std::min(width, displayRect.width()),
                                                             std::min(height, displayRect.height())))
                             .intersected(screenRect);
    if (source.isEmpty()) {
        if (error)
            *error = QStringLiteral("The captured display is no longer available");
        return false;
    }
    std::vector<Piece> pieces;
    if (exclusionActive && conn->hasComposite()) {
        if (treeDirty) {
            forgetPixmaps();
            tops = topLevels();
            treeDirty = false;
        }
        if (backgroundDirty) {
            rootBackground = readRootBackground();
            backgroundDirty = false;
        }
        pieces = repairPieces();
    }
    if (source.width() == width && source.height() == height) {
        // The screen straight into the frame; the repair's requests follow it before any answer
        // is waited for. The server answers in order, so every repair piece arrives after the
        // screen is in place, and is copied over it.
        const PendingGrab screen = sendGrab(conn->root(), source.x(), source.y(), width, height, buffer);
        bool screenOk = false;
        paintPieces(buffer, pieces, &screen, screenOk, error);
        if (!screenOk)
            return false;
    } else {
        if (!grab(conn->root(), source.x(), source.y(), source.width(), source.height(), *scratch, error))
            return false;
        fill(buffer, QRect(0, 0, width, height));
        copyIn(buffer, 0, 0, *scratch, source.width(), source.height());
        bool unused = true;
        paintPieces(buffer, pieces, nullptr, unused, nullptr);
    }
    if (conn->failed()) {
        if (error)
            *error = QStringLiteral("The connection to the X server was lost");
        return false;
    }
    return true;
}

std::vector<TopLevel> FrameSource::State::topLevels()
{
    xcb_connection_t *c = conn->get();
    std::vector<TopLevel> result;
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, conn->root()), nullptr));
    if (!tree)
        return result;
    const xcb_window_t *kids = xcb_query_tree_children(tree.get());
    const int n = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_window_attributes_cookie_t> attrs(n);
    std::vector<xcb_get_geometry_cookie_t> geos(n);
    for (int i = 0; i < n; ++i) {
        attrs[i] = xcb_get_window_attributes(c, kids[i]);
        geos[i] = xcb_get_geometry(c, kids[i]);
    }
    result.reserve(n);
    for (int i = 0; i < n; ++i) {
        Reply<xcb_get_window_attributes_reply_t> a(xcb_get_window_attributes_reply(c, attrs[i], nullptr));
        Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, geos[i], nullptr));
        if (!a || !g)
            continue; // destroyed meanwhile
        TopLevel t;
        t.id = kids[i];
        t.outer = QRect(g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width);
        t.viewable = a->map_state == XCB_MAP_STATE_VIEWABLE;
        t.drawable = a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT && (g->depth == 24 || g->depth == 32);
        result.push_back(t);
    }
    // Forget windows that are gone, so that a reused id is looked at afresh.
    if (identities.size() > result.size() * 2 + 16) {
        std::set<xcb_window_t> alive;
        for (const auto &t : result)
            alive.insert(t.id);
        std::erase_if(identities, [&](const auto &entry) { return !alive.count(entry.first); });
    }
    return result;
}

const Identity &FrameSource::State::identityOf(xcb_window_t top)
{
    auto found = identities.find(top);
    if (found != identities.end())
        return found->second;
    Identity identity;
    identity.ids.push_back(top);
    const xcb_atom_t pidAtom = conn->atom("_NET_WM_PID");
    identity.pid = conn->cardinalProperty(top, pidAtom);
    if (!identity.pid) {
        if (auto client = clientWindowOf(*conn, top); client && *client != top) {
            identity.ids.push_back(*client);
            identity.pid = conn->cardinalProperty(*client, pidAtom);
        }
    }
    return identities.emplace(top, std::move(identity)).first->second;
}

bool FrameSource::State::isExcluded(xcb_window_t top)
{
    const Identity &identity = identityOf(top);
    auto listed = [&](const std::vector<uint32_t> &list) {
        return std::any_of(identity.ids.begin(), identity.ids.end(), [&](xcb_window_t id) {
            return std::find(list.begin(), list.end(), id) != list.end();
        });
    };
    if (listed(config.exceptedWindows))
        return false;
    if (listed(config.excludedWindows))
        return true;
    return identity.pid && std::find(config.excludedPids.begin(), config.excludedPids.end(), *identity.pid) !=
                               config.excludedPids.end();
}

void FrameSource::State::forgetPixmaps()
{
    for (const auto &[w, p] : pixmaps) {
        if (p != XCB_NONE)
            xcb_free_pixmap(conn->get(), p);
    }
    pixmaps.clear();
}

xcb_pixmap_t FrameSource::State::readRootBackground()
{
    xcb_connection_t *c = conn->get();
    for (const char *name : {"_XROOTPMAP_ID", "ESETROOT_PMAP_ID"}) {
        Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
            c, xcb_get_property(c, 0, conn->root(), conn->atom(name), XCB_ATOM_PIXMAP, 0, 1), nullptr));
        if (r && r->type == XCB_ATOM_PIXMAP && r->format == 32 && xcb_get_property_value_length(r.get()) >= 4)
            return *static_cast<const xcb_pixmap_t *>(xcb_get_property_value(r.get()));
    }
    return XCB_NONE;
}

std::vector<FrameSource::State::Piece> FrameSource::State::repairPieces()
{
    std::vector<Piece> pieces;
    const QRect frameRect(displayRect.topLeft(), QSize(width, height));
    std::vector<QRect> damaged;
    std::vector<bool> excluded(tops.size(), false);
    for (size_t i = 0; i < tops.size(); ++i) {
        const TopLevel &t = tops[i];
        if (!t.viewable || !t.outer.intersects(frameRect))
            continue;
        excluded[i] = isExcluded(t.id);
        if (excluded[i])
            damaged.push_back(t.outer.intersected(frameRect));
    }
    if (damaged.empty())
        return pieces;

    xcb_connection_t *c = conn->get();
    auto pixmapOf = [&](xcb_window_t w) -> xcb_pixmap_t {
        auto found = pixmaps.find(w);
        if (found != pixmaps.end())
            return found->second;
        // Unchecked: a window unmapped meanwhile shows up as a failed grab.
        const xcb_pixmap_t p = xcb_generate_id(c);
        xcb_composite_name_window_pixmap(c, w, p);
        pixmaps[w] = p;
        return p;
    };

    // Each damaged rectangle is painted again from the bottom up: the desktop picture when one
    // is set on the root (black otherwise), then every visible window that is not left out.
    for (const QRect &area : damaged) {
        pieces.push_back(Piece{rootBackground, area, area.topLeft() - frameRect.topLeft(), false});
        for (size_t i = 0; i < tops.size(); ++i) {
            const TopLevel &t = tops[i];
            if (!t.viewable || !t.drawable || excluded[i])
                continue;
            const QRect part = t.outer.intersected(area);
            if (part.isEmpty())
                continue;
            pieces.push_back(Piece{pixmapOf(t.id), part.translated(-t.outer.topLeft()), part.topLeft() - frameRect.topLeft(), true});
        }
    }
    return pieces;
}

void FrameSource::State::paintPieces(PixelBuffer &buffer, const std::vector<Piece> &pieces, const PendingGrab *screen,
                                     bool &screenOk, QString *error)
{
    struct Sent {
        const Piece *piece;
        std::optional<PendingGrab> grab;
    };
    std::vector<Sent> sent;
    size_t next = 0;
    bool screenAwaited = screen == nullptr;
    do {
        // As many pieces as the scratch buffer holds are requested at once, then their answers
        // are read and copied in, in painting order.
        sent.clear();
        size_t used = 0;
        for (; next < pieces.size(); ++next) {
            const Piece &p = pieces[next];
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
            screenOk = awaitGrab(*screen, error);
            screenAwaited = true;
        }
        for (const Sent &s : sent) {
            const Piece &p = *s.piece;
            if (s.grab && awaitGrab(*s.grab, nullptr)) {
                copyIn(buffer, p.to.x(), p.to.y(), scratch->data + s.grab->offset, p.source.width(), p.source.height());
            } else if (p.isWindow) {
                treeDirty = true; // look again at the next frame
            } else {
                fill(buffer, QRect(p.to, p.source.size()));
            }
        }
    } while (next < pieces.size());
}

bool FrameSource::State::grabWindow(PixelBuffer &buffer, bool &empty, QPoint &origin, QString *error)
{
    xcb_connection_t *c = conn->get();
    const xcb_window_t window = config.windowId;
    auto gone = [&] {
        if (error)
            *error = conn->failed() ? QStringLiteral("The connection to the X server was lost")
                                    : QStringLiteral("The captured window is no longer available");
        return false;
    };
    auto geoCookie = xcb_get_geometry(c, window);
    auto attrCookie = xcb_get_window_attributes(c, window);
    auto rootPosCookie = xcb_translate_coordinates(c, window, conn->root(), 0, 0);
    Reply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(c, geoCookie, nullptr));
    Reply<xcb_get_window_attributes_reply_t> attr(xcb_get_window_attributes_reply(c, attrCookie, nullptr));
    Reply<xcb_translate_coordinates_reply_t> rootPos(xcb_translate_coordinates_reply(c, rootPosCookie, nullptr));
    if (!geo || !attr || !rootPos)
        return gone();
    if (attr->map_state != XCB_MAP_STATE_VIEWABLE) {
        empty = true; // minimised or hidden: nothing new to show
        return true;
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
                return gone();
            topLevel = *top;
            inTop.reset(xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, topLevel, 0, 0), nullptr));
            if (!inTop)
                return gone();
        }
        Reply<xcb_get_geometry_reply_t> topGeo(xcb_get_geometry_reply(c, xcb_get_geometry(c, topLevel), nullptr));
        if (!topGeo)
            return gone();
        const xcb_pixmap_t p = xcb_generate_id(c);
        if (xcb_generic_error_t *e = xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, topLevel, p))) {
            std::free(e);
            if (conn->failed())
                return gone();
            empty = true; // unmapped between the two requests
            return true;
        }
        const bool ok = grab(p, inTop->dst_x + topGeo->border_width, inTop->dst_y + topGeo->border_width, w, h,
                             target, error);
        xcb_free_pixmap(c, p);
        if (!ok)
            return false;
        if (!exact) {
            fill(buffer, QRect(0, 0, width, height));
            copyIn(buffer, 0, 0, target, w, h);
        }
    } else {
        // Without Composite only what the screen shows can be read: the window's visible rectangle.
        const QRect screenRect(0, 0, conn->screen()->width_in_pixels, conn->screen()->height_in_pixels);
        const QRect onScreen = QRect(origin, QSize(w, h)).intersected(screenRect);
        fill(buffer, QRect(0, 0, width, height));
        if (!onScreen.isEmpty()) {
            if (!grab(conn->root(), onScreen.x(), onScreen.y(), onScreen.width(), onScreen.height(), *scratch, error))
                return false;
            copyIn(buffer, onScreen.x() - origin.x(), onScreen.y() - origin.y(), *scratch, onScreen.width(),
                   onScreen.height());
        }
    }
    return true;
}

void FrameSource::State::drawCursor(PixelBuffer &buffer, QPoint origin, xcb_xfixes_get_cursor_image_cookie_t request)
{
    xcb_connection_t *c = conn->get();
    Reply<xcb_xfixes_get_cursor_image_reply_t> cur(xcb_xfixes_get_cursor_image_reply(c, request, nullptr));
    if (!cur)
        return;
    const uint32_t *pixels = xcb_xfixes_get_cursor_image_cursor_image(cur.get());
    const int left = cur->x - cur->xhot - origin.x();
    const int top = cur->y - cur->yhot - origin.y();
    for (int row = 0; row < cur->height; ++row) {
        const int y = top + row;
        if (y < 0 || y >= height)
            continue;
        uint32_t *dst = reinterpret_cast<uint32_t *>(buffer.data + size_t(y) * width * 4);
        for (int col = 0; col < cur->width; ++col) {
            const int x = left + col;
            if (x < 0 || x >= width)
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
    m_thread = std::thread([this] { run(); });
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
            const auto late = (now - next) / interval + 1;
            m_missed += uint64_t(late);
            next += interval * late;
        }
        std::unique_lock lock(m_wakeMutex);
        m_wake.wait_until(lock, next, [this] { return m_stopRequested; });
        if (m_stopRequested)
            return;
    }
}

} // namespace lumacast::x11
