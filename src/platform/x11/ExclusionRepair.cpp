#include "platform/x11/ExclusionRepair.h"

#include <xcb/composite.h>

#include <algorithm>
#include <set>

namespace lumacast::x11 {

namespace {

// The background window's width is a multiple of this, so that a pattern tiled from the root's
// origin (whose tile size divides it) lines up with the screen in the window's own coordinates.
constexpr int kTileAlignment = 256;

} // namespace

ExclusionRepair::ExclusionRepair(Connection &connection, const CaptureConfig &config)
    : m_conn(connection), m_config(config)
{
}

ExclusionRepair::~ExclusionRepair()
{
    dropBackgroundWindow();
    xcb_flush(m_conn.get());
}

void ExclusionRepair::dropBackgroundWindow()
{
    if (m_backgroundWindowPixmap != XCB_NONE)
        xcb_free_pixmap(m_conn.get(), m_backgroundWindowPixmap);
    if (m_backgroundWindow != XCB_NONE)
        xcb_destroy_window(m_conn.get(), m_backgroundWindow);
    m_backgroundWindowPixmap = XCB_NONE;
    m_backgroundWindow = XCB_NONE;
}

void ExclusionRepair::screenResized(QSize size)
{
    if (size == m_screenSize)
        return;
    m_screenSize = size;
    dropBackgroundWindow(); // made again at the next frame that needs it, as large as the screen
    m_treeDirty = true;
}

bool ExclusionRepair::noteEvent(uint8_t type)
{
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
        m_treeDirty = true;
        return true;
    case XCB_PROPERTY_NOTIFY:
        m_backgroundDirty = true; // a new desktop picture, or only another root property
        return true;
    default:
        return false;
    }
}

std::vector<RepairPiece> ExclusionRepair::pieces(const QRect &frameRect)
{
    if (m_treeDirty) {
        forgetPixmaps();
        m_tops = topLevels();
        m_treeDirty = false;
    }
    if (m_backgroundDirty) {
        m_rootBackground = readRootBackground();
        m_backgroundDirty = false;
    }
    const xcb_pixmap_t background = m_rootBackground != XCB_NONE ? m_rootBackground : rootPaintedBackground();

    std::vector<RepairPiece> pieces;
    std::vector<QRect> damaged;
    std::vector<bool> excluded(m_tops.size(), false);
    for (size_t i = 0; i < m_tops.size(); ++i) {
        const TopLevel &t = m_tops[i];
        if (!t.viewable || !t.outer.intersects(frameRect))
            continue;
        excluded[i] = isExcluded(t.id);
        if (excluded[i])
            damaged.push_back(t.outer.intersected(frameRect));
    }
    if (damaged.empty())
        return pieces;

    // Each damaged rectangle is painted again from the bottom up: the desktop picture a setter
    // announced on the root, else the root's own background, then every visible window that is
    // not left out.
    for (const QRect &area : damaged) {
        if (background != XCB_NONE && background == m_backgroundWindowPixmap) {
            // Painted afresh ahead of the grab: the root's background may have changed since.
            xcb_clear_area(m_conn.get(), 0, m_backgroundWindow, int16_t(area.x()), int16_t(area.y()),
                           uint16_t(area.width()), uint16_t(area.height()));
        }
        pieces.push_back(RepairPiece{background, area, area.topLeft() - frameRect.topLeft(), false});
        for (size_t i = 0; i < m_tops.size(); ++i) {
            const TopLevel &t = m_tops[i];
            if (!t.viewable || !t.drawable || excluded[i])
                continue;
            const QRect part = t.outer.intersected(area);
            if (part.isEmpty())
                continue;
            pieces.push_back(RepairPiece{pixmapOf(t.id), part.translated(-t.outer.topLeft()),
                                         part.topLeft() - frameRect.topLeft(), true});
        }
    }
    return pieces;
}

xcb_pixmap_t ExclusionRepair::pixmapOf(xcb_window_t window)
{
    auto found = m_pixmaps.find(window);
    if (found != m_pixmaps.end())
        return found->second;
    // Unchecked: a window unmapped meanwhile shows up as a failed grab.
    xcb_connection_t *c = m_conn.get();
    const xcb_pixmap_t p = xcb_generate_id(c);
    xcb_composite_name_window_pixmap(c, window, p);
    m_pixmaps[window] = p;
    return p;
}

std::vector<ExclusionRepair::TopLevel> ExclusionRepair::topLevels()
{
    xcb_connection_t *c = m_conn.get();
    std::vector<TopLevel> result;
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, m_conn.root()), nullptr));
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
        if (kids[i] == m_backgroundWindow)
            continue;
        TopLevel t;
        t.id = kids[i];
        t.outer = QRect(g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width);
        t.viewable = a->map_state == XCB_MAP_STATE_VIEWABLE;
        t.drawable = a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT && (g->depth == 24 || g->depth == 32);
        result.push_back(t);
    }
    // Forget windows that are gone, so that a reused id is looked at afresh.
    if (m_identities.size() > result.size() * 2 + 16) {
        std::set<xcb_window_t> alive;
        for (const auto &t : result)
            alive.insert(t.id);
        std::erase_if(m_identities, [&](const auto &entry) { return !alive.count(entry.first); });
    }
    return result;
}

const ExclusionRepair::Identity &ExclusionRepair::identityOf(xcb_window_t top)
{
    auto found = m_identities.find(top);
    if (found != m_identities.end())
        return found->second;
    Identity identity;
    identity.ids.push_back(top);
    const xcb_atom_t pidAtom = m_conn.atom("_NET_WM_PID");
    identity.pid = m_conn.cardinalProperty(top, pidAtom);
    if (!identity.pid) {
        if (auto client = clientWindowOf(m_conn, top); client && *client != top) {
            identity.ids.push_back(*client);
            identity.pid = m_conn.cardinalProperty(*client, pidAtom);
        }
    }
    return m_identities.emplace(top, std::move(identity)).first->second;
}

bool ExclusionRepair::isExcluded(xcb_window_t top)
{
    const Identity &identity = identityOf(top);
    auto listed = [&](const std::vector<uint32_t> &list) {
        return std::any_of(identity.ids.begin(), identity.ids.end(), [&](xcb_window_t id) {
            return std::find(list.begin(), list.end(), id) != list.end();
        });
    };
    if (listed(m_config.exceptedWindows))
        return false;
    if (listed(m_config.excludedWindows))
        return true;
    return identity.pid && std::find(m_config.excludedPids.begin(), m_config.excludedPids.end(), *identity.pid) !=
                               m_config.excludedPids.end();
}

void ExclusionRepair::forgetPixmaps()
{
    for (const auto &[w, p] : m_pixmaps) {
        if (p != XCB_NONE)
            xcb_free_pixmap(m_conn.get(), p);
    }
    m_pixmaps.clear();
}

xcb_pixmap_t ExclusionRepair::readRootBackground()
{
    xcb_connection_t *c = m_conn.get();
    for (const char *name : {"_XROOTPMAP_ID", "ESETROOT_PMAP_ID"}) {
        Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
            c, xcb_get_property(c, 0, m_conn.root(), m_conn.atom(name), XCB_ATOM_PIXMAP, 0, 1), nullptr));
        if (r && r->type == XCB_ATOM_PIXMAP && r->format == 32 && xcb_get_property_value_length(r.get()) >= 4)
            return *static_cast<const xcb_pixmap_t *>(xcb_get_property_value(r.get()));
    }
    return XCB_NONE;
}

// Whatever sets the root's background (a solid colour, a pattern, a picture without announcing
// it), the server paints it into a window whose background is its parent's. That window is
// mapped left of the screen, where nothing shows it, and is composited off-screen like every
// window, so its pixmap holds the background for the screen's rows. The root window itself
// cannot be read for it: beneath the windows over it the screen holds their pixels.
xcb_pixmap_t ExclusionRepair::rootPaintedBackground()
{
    if (m_backgroundWindowPixmap != XCB_NONE || m_backgroundWindow != XCB_NONE)
        return m_backgroundWindowPixmap;
    xcb_connection_t *c = m_conn.get();
    const xcb_screen_t *screen = m_conn.screen();
    const int width = (std::max(m_screenSize.width(), 1) + kTileAlignment - 1) / kTileAlignment * kTileAlignment;
    m_backgroundWindow = xcb_generate_id(c);
    const uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE, 1};
    xcb_create_window(c, screen->root_depth, m_backgroundWindow, screen->root, int16_t(-width), 0, uint16_t(width),
                      uint16_t(std::max(m_screenSize.height(), 1)), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, m_backgroundWindow);
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    if (xcb_generic_error_t *e = xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, m_backgroundWindow, pixmap))) {
        std::free(e); // the window stays, so that this is not tried every frame: black then
        return XCB_NONE;
    }
    m_backgroundWindowPixmap = pixmap;
    return pixmap;
}

} // namespace lumacast::x11
