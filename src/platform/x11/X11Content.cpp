#include "platform/x11/X11Content.h"

#include "platform/x11/X11Connection.h"

#include <xcb/composite.h>
#include <xcb/randr.h>

#include <algorithm>
#include <mutex>

namespace lumacast::x11 {

namespace {

// The outputs driven by a CRTC, each a display known by its output's id and name.
std::vector<DisplayInfo> outputsOn(Connection &c)
{
    std::vector<DisplayInfo> result;
    xcb_connection_t *conn = c.get();
    Reply<xcb_randr_get_screen_resources_current_reply_t> res(xcb_randr_get_screen_resources_current_reply(
        conn, xcb_randr_get_screen_resources_current(conn, c.root()), nullptr));
    Reply<xcb_randr_get_output_primary_reply_t> primary(
        xcb_randr_get_output_primary_reply(conn, xcb_randr_get_output_primary(conn, c.root()), nullptr));
    if (!res)
        return result;
    const xcb_randr_output_t *outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
    const int n = xcb_randr_get_screen_resources_current_outputs_length(res.get());
    for (int i = 0; i < n; ++i) {
        Reply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
            conn, xcb_randr_get_output_info(conn, outputs[i], res->config_timestamp), nullptr));
        if (!info || info->crtc == XCB_NONE || info->connection == XCB_RANDR_CONNECTION_DISCONNECTED)
            continue;
        Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
            conn, xcb_randr_get_crtc_info(conn, info->crtc, res->config_timestamp), nullptr));
        if (!crtc || crtc->width == 0 || crtc->height == 0)
            continue;
        DisplayInfo d;
        d.id = outputs[i];
        d.name = QString::fromUtf8(reinterpret_cast<const char *>(xcb_randr_get_output_info_name(info.get())),
                                   xcb_randr_get_output_info_name_length(info.get()));
        d.geometry = QRect(crtc->x, crtc->y, crtc->width, crtc->height);
        d.primary = primary && primary->output == outputs[i];
        result.push_back(d);
    }
    return result;
}

// What the desktop (and Qt) calls its screens: the server's monitors. One the server made for a
// single output keeps that output's id, which a stored choice of display names; one set up by
// hand (a part of a split output, or several outputs as one) is known by its name's atom with
// the top bit set, which no X id has.
std::vector<DisplayInfo> monitorsOn(Connection &c)
{
    constexpr uint32_t kNamedMonitor = 0x80000000u;
    std::vector<DisplayInfo> result;
    xcb_connection_t *conn = c.get();
    Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(conn, xcb_randr_get_monitors(conn, c.root(), 1), nullptr));
    if (!reply)
        return result;
    std::vector<xcb_get_atom_name_cookie_t> names;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem; xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t *m = it.data;
        names.push_back(xcb_get_atom_name(conn, m->name));
        const bool ownOutput = m->automatic && xcb_randr_monitor_info_outputs_length(m) == 1;
        DisplayInfo d;
        d.id = ownOutput ? *xcb_randr_monitor_info_outputs(m) : (kNamedMonitor | m->name);
        d.geometry = QRect(m->x, m->y, m->width, m->height);
        d.primary = m->primary;
        result.push_back(d);
    }
    for (size_t i = 0; i < result.size(); ++i) {
        Reply<xcb_get_atom_name_reply_t> name(xcb_get_atom_name_reply(conn, names[i], nullptr));
        if (name)
            result[i].name = QString::fromUtf8(xcb_get_atom_name_name(name.get()), xcb_get_atom_name_name_length(name.get()));
    }
    std::erase_if(result, [](const DisplayInfo &d) { return d.geometry.isEmpty(); });
    return result;
}

} // namespace

std::vector<DisplayInfo> listDisplays(Connection &c)
{
    std::vector<DisplayInfo> result;
    if (c.hasRandrMonitors())
        result = monitorsOn(c);
    if (result.empty() && c.hasRandr())
        result = outputsOn(c);
    if (result.empty() && !c.hasRandr()) {
        DisplayInfo d;
        d.id = 1;
        d.name = QStringLiteral("Screen");
        d.geometry = QRect(0, 0, c.screen()->width_in_pixels, c.screen()->height_in_pixels);
        d.primary = true;
        result.push_back(d);
    }
    return result;
}

namespace {

std::optional<QRect> frameOf(Connection &c, xcb_window_t w, bool *viewable)
{
    xcb_connection_t *conn = c.get();
    auto geoCookie = xcb_get_geometry(conn, w);
    auto attrCookie = xcb_get_window_attributes(conn, w);
    auto transCookie = xcb_translate_coordinates(conn, w, c.root(), 0, 0);
    Reply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(conn, geoCookie, nullptr));
    Reply<xcb_get_window_attributes_reply_t> attr(xcb_get_window_attributes_reply(conn, attrCookie, nullptr));
    Reply<xcb_translate_coordinates_reply_t> trans(xcb_translate_coordinates_reply(conn, transCookie, nullptr));
    if (!geo || !attr || !trans)
        return std::nullopt;
    if (viewable)
        *viewable = attr->map_state == XCB_MAP_STATE_VIEWABLE;
    return QRect(trans->dst_x, trans->dst_y, geo->width, geo->height);
}

// Whether a window lies wholly inside the root child that holds it. A window manager's frame
// cuts its client while it animates a minimise or a restore, or while it shades the window: the
// client's rectangle then says nothing about where it shows.
bool liesWithinItsTopLevel(Connection &c, xcb_window_t w, const QRect &frame)
{
    const auto top = topLevelAncestor(c, w);
    if (!top)
        return false;
    if (*top == w)
        return true;
    Reply<xcb_get_geometry_reply_t> geo(
        xcb_get_geometry_reply(c.get(), xcb_get_geometry(c.get(), *top), nullptr));
    if (!geo)
        return false;
    const int border = geo->border_width;
    return QRect(geo->x, geo->y, geo->width + 2 * border, geo->height + 2 * border).contains(frame);
}

// The process-wide connection for small queries from the main thread (pointer, window frames,
// thumbnails). Reopened after the server connection breaks.
class SharedConnection {
public:
    template <class F> auto with(F &&f) -> decltype(f(std::declval<Connection &>()))
    {
        std::lock_guard lock(m_mutex);
        if (!m_conn || m_conn->failed()) {
            m_conn.reset();
            try {
                m_conn = Connection::open(true);
            } catch (const X11Error &) {
                return {}; // these small queries answer nothing while the server is away
            }
        }
        return f(*m_conn);
    }

private:
    std::mutex m_mutex;
    std::unique_ptr<Connection> m_conn;
};

SharedConnection &shared()
{
    static SharedConnection instance;
    return instance;
}

} // namespace

std::vector<DisplayInfo> listDisplays()
{
    auto c = Connection::open(false);
    return listDisplays(*c);
}

ShareableContent fetchShareableContent(bool onScreenOnly)
{
    auto c = Connection::open(false);
    ShareableContent content;
    content.displays = listDisplays(*c);

    // Bottom-to-top list of candidates: the window manager's client list when it publishes one,
    // otherwise the root's children (no window manager, as under a bare X server).
    std::vector<xcb_window_t> clients = c->windowListProperty(c->root(), c->atom("_NET_CLIENT_LIST_STACKING"));
    if (clients.empty())
        clients = c->windowListProperty(c->root(), c->atom("_NET_CLIENT_LIST"));
    if (clients.empty()) {
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c->get(), xcb_query_tree(c->get(), c->root()), nullptr));
        if (tree) {
            const xcb_window_t *kids = xcb_query_tree_children(tree.get());
            const int n = xcb_query_tree_children_length(tree.get());
            for (int i = 0; i < n; ++i) {
                Reply<xcb_get_window_attributes_reply_t> attr(xcb_get_window_attributes_reply(
                    c->get(), xcb_get_window_attributes(c->get(), kids[i]), nullptr));
                if (!attr || attr->override_redirect || attr->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT)
                    continue;
                clients.push_back(clientWindowOf(*c, kids[i]).value_or(kids[i]));
            }
        }
    }

    for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
        const xcb_window_t w = *it;
        bool viewable = false;
        const auto frame = frameOf(*c, w, &viewable);
        if (!frame || frame->width() <= 1 || frame->height() <= 1)
            continue;
        if (onScreenOnly && !viewable)
            continue;
        const WindowLabels labels = readWindowLabels(*c, w);
        WindowInfo info;
        info.id = w;
        info.topLevel = topLevelAncestor(*c, w).value_or(w);
        info.title = labels.title;
        info.applicationName = labels.className;
        info.pid = labels.pid;
        info.frame = *frame;
        info.onScreen = viewable;
        content.windows.push_back(info);
        if (labels.pid) {
            const bool known = std::any_of(content.applications.begin(), content.applications.end(),
                                           [&](const ApplicationInfo &a) { return a.pid == *labels.pid; });
            if (!known)
                content.applications.push_back(ApplicationInfo{*labels.pid, labels.className});
        }
    }
    return content;
}

std::optional<QPoint> pointerPosition()
{
    return shared().with([](Connection &c) -> std::optional<QPoint> {
        Reply<xcb_query_pointer_reply_t> r(
            xcb_query_pointer_reply(c.get(), xcb_query_pointer(c.get(), c.root()), nullptr));
        if (!r)
            return std::nullopt;
        return QPoint(r->root_x, r->root_y);
    });
}

std::optional<QRect> windowFrame(uint32_t window)
{
    return shared().with([window](Connection &c) -> std::optional<QRect> {
        bool viewable = false;
        auto frame = frameOf(c, window, &viewable);
        if (!frame || !viewable || !liesWithinItsTopLevel(c, window, *frame))
            return std::nullopt;
        return frame;
    });
}

QImage grabWindowImage(uint32_t window)
{
    return shared().with([window](Connection &c) -> QImage {
        if (!c.hasComposite())
            return {};
        xcb_connection_t *conn = c.get();
        const auto top = topLevelAncestor(c, window);
        if (!top)
            return {};
        Reply<xcb_get_geometry_reply_t> topGeo(xcb_get_geometry_reply(conn, xcb_get_geometry(conn, *top), nullptr));
        Reply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(conn, xcb_get_geometry(conn, window), nullptr));
        Reply<xcb_translate_coordinates_reply_t> offset(xcb_translate_coordinates_reply(
            conn, xcb_translate_coordinates(conn, window, *top, 0, 0), nullptr));
        if (!topGeo || !geo || !offset || (topGeo->depth != 24 && topGeo->depth != 32))
            return {};
        const xcb_pixmap_t pixmap = xcb_generate_id(conn);
        xcb_void_cookie_t named = xcb_composite_name_window_pixmap_checked(conn, *top, pixmap);
        if (xcb_generic_error_t *e = xcb_request_check(conn, named)) {
            std::free(e);
            return {};
        }
        const int x = offset->dst_x + topGeo->border_width;
        const int y = offset->dst_y + topGeo->border_width;
        Reply<xcb_get_image_reply_t> img(xcb_get_image_reply(
            conn, xcb_get_image(conn, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, int16_t(x), int16_t(y), geo->width, geo->height, ~0u),
            nullptr));
        xcb_free_pixmap(conn, pixmap);
        if (!img || xcb_get_image_data_length(img.get()) < int(geo->width) * geo->height * 4)
            return {};
        QImage image(xcb_get_image_data(img.get()), geo->width, geo->height, geo->width * 4, QImage::Format_RGB32);
        return image.copy();
    });
}

} // namespace lumacast::x11
