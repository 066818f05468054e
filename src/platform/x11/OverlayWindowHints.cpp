#include "platform/x11/OverlayWindowHints.h"

#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Error.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace lumacast::x11 {

namespace {

constexpr uint32_t kAllDesktops = 0xFFFFFFFF;
constexpr uint32_t kNetWmStateAdd = 1;

// One connection for the hints, kept for the process; reopened after the server went away.
template <class F> auto withConnection(F &&f) -> decltype(f(std::declval<Connection &>()))
{
    static std::mutex mutex;
    static std::unique_ptr<Connection> conn;
    std::lock_guard lock(mutex);
    if (!conn || conn->failed()) {
        try {
            conn = Connection::open(false);
        } catch (const X11Error &) {
            // No display: the hints are a courtesy to the window manager, so go without them.
            conn.reset();
        }
    }
    if (!conn)
        return {};
    return f(*conn);
}

void sendToRoot(Connection &c, xcb_window_t window, xcb_atom_t type, const uint32_t (&data)[5])
{
    xcb_client_message_event_t event;
    std::memset(&event, 0, sizeof event);
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    std::copy(std::begin(data), std::end(data), event.data.data32);
    xcb_send_event(c.get(), 0, c.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&event));
}

std::vector<uint32_t> atomListProperty(Connection &c, xcb_window_t w, xcb_atom_t property)
{
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c.get(), xcb_get_property(c.get(), 0, w, property, XCB_ATOM_ATOM, 0, 1024), nullptr));
    if (!r || r->type != XCB_ATOM_ATOM || r->format != 32)
        return {};
    const auto *v = static_cast<const uint32_t *>(xcb_get_property_value(r.get()));
    return std::vector<uint32_t>(v, v + xcb_get_property_value_length(r.get()) / 4);
}

} // namespace

bool placeOnAllWorkspaces(uint32_t window)
{
    return withConnection([window](Connection &c) -> bool {
        xcb_connection_t *conn = c.get();
        const xcb_atom_t netWmState = c.atom("_NET_WM_STATE");
        const xcb_atom_t netWmDesktop = c.atom("_NET_WM_DESKTOP");
        const xcb_atom_t wanted[] = {c.atom("_NET_WM_STATE_STICKY"), c.atom("_NET_WM_STATE_SKIP_TASKBAR"),
                                     c.atom("_NET_WM_STATE_SKIP_PAGER")};

        // Keep the states Qt has set (above, ...) and add ours.
        std::vector<uint32_t> states = atomListProperty(c, window, netWmState);
        for (xcb_atom_t a : wanted)
            if (std::find(states.begin(), states.end(), a) == states.end())
                states.push_back(a);
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, window, netWmState, XCB_ATOM_ATOM, 32,
                            uint32_t(states.size()), states.data());
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, window, netWmDesktop, XCB_ATOM_CARDINAL, 32, 1,
                            &kAllDesktops);

        sendToRoot(c, window, netWmDesktop, {kAllDesktops, 1, 0, 0, 0});
        sendToRoot(c, window, netWmState, {kNetWmStateAdd, wanted[0], 0, 1, 0});
        sendToRoot(c, window, netWmState, {kNetWmStateAdd, wanted[1], wanted[2], 1, 0});
        Reply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
        return sync != nullptr && !c.failed();
    });
}

bool declareFocusableWindow(uint32_t window, bool focusable)
{
    return withConnection([window, focusable](Connection &c) -> bool {
        const xcb_atom_t type = c.atom(focusable ? "_NET_WM_WINDOW_TYPE_NORMAL" : "_NET_WM_WINDOW_TYPE_UTILITY");
        xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, window, c.atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM,
                            32, 1, &type);
        xcb_flush(c.get());
        return !c.failed();
    });
}

bool focusFollowPointer()
{
    return withConnection([](Connection &c) -> bool {
        xcb_set_input_focus(c.get(), XCB_INPUT_FOCUS_POINTER_ROOT, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_CURRENT_TIME);
        xcb_flush(c.get());
        return !c.failed();
    });
}

std::optional<uint32_t> inputFocus()
{
    return withConnection([](Connection &c) -> std::optional<uint32_t> {
        Reply<xcb_get_input_focus_reply_t> focus(
            xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr));
        if (!focus || focus->focus == XCB_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT)
            return std::nullopt;
        return focus->focus;
    });
}

bool returnInputFocus(uint32_t from, std::optional<uint32_t> to)
{
    return withConnection([from, to](Connection &c) -> bool {
        xcb_connection_t *conn = c.get();
        Reply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
        if (!focus || focus->focus != from)
            return false;
        xcb_window_t target = XCB_INPUT_FOCUS_POINTER_ROOT;
        if (to && *to != from) {
            Reply<xcb_get_window_attributes_reply_t> attributes(
                xcb_get_window_attributes_reply(conn, xcb_get_window_attributes(conn, *to), nullptr));
            if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
                target = *to;
        }
        xcb_set_input_focus(conn, XCB_INPUT_FOCUS_POINTER_ROOT, target, XCB_CURRENT_TIME);
        Reply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
        return sync != nullptr && !c.failed();
    });
}

std::optional<uint32_t> activeWindow()
{
    return withConnection([](Connection &c) -> std::optional<uint32_t> {
        const std::vector<uint32_t> active = c.windowListProperty(c.root(), c.atom("_NET_ACTIVE_WINDOW"));
        if (active.size() != 1 || active.front() == XCB_NONE)
            return std::nullopt;
        return active.front();
    });
}

bool activateWindow(uint32_t window, uint32_t timestamp)
{
    return withConnection([window, timestamp](Connection &c) -> bool {
        xcb_connection_t *conn = c.get();
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(conn, xcb_get_window_attributes(conn, window), nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
            return false;
        constexpr uint32_t kSourcePager = 2;
        sendToRoot(c, window, c.atom("_NET_ACTIVE_WINDOW"), {kSourcePager, timestamp, XCB_NONE, 0, 0});
        xcb_flush(conn);
        return !c.failed();
    });
}

bool compositingManagerRunning()
{
    return withConnection([](Connection &c) -> bool {
        int screenNumber = 0;
        for (auto it = xcb_setup_roots_iterator(xcb_get_setup(c.get())); it.rem; xcb_screen_next(&it), ++screenNumber)
            if (it.data->root == c.root())
                break;
        const std::string name = "_NET_WM_CM_S" + std::to_string(screenNumber);
        const xcb_atom_t selection = c.atom(name.c_str());
        if (selection == XCB_ATOM_NONE)
            return false;
        Reply<xcb_get_selection_owner_reply_t> owner(
            xcb_get_selection_owner_reply(c.get(), xcb_get_selection_owner(c.get(), selection), nullptr));
        return owner && owner->owner != XCB_NONE;
    });
}

} // namespace lumacast::x11
