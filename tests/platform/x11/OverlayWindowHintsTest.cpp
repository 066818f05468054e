// The active window as announced on the root of the rig's X server, which runs no window manager.
#include "platform/x11/OverlayWindowHints.h"

#include <xcb/xcb.h>

#include <QGuiApplication>

#include <gtest/gtest.h>

#include <cstdlib>

TEST(ActiveWindow, OnlyOneWindowAnnouncedOnTheRootCounts)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs the rig's X server";
    xcb_connection_t *conn = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(conn)).data->root;
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(conn, xcb_intern_atom(conn, 0, 18, "_NET_ACTIVE_WINDOW"), nullptr);
    const xcb_window_t hidden = xcb_generate_id(conn);
    xcb_create_window(conn, 0, hidden, root, 0, 0, 10, 10, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, 0, 0, nullptr);
    const uint32_t none = XCB_NONE, two[] = {hidden, hidden};
    const struct {
        xcb_atom_t type;
        uint32_t length;
        const uint32_t *value;
        std::optional<uint32_t> expected;
    } cases[] = {{XCB_ATOM_WINDOW, 1, &hidden, hidden}, {XCB_ATOM_WINDOW, 1, &none, std::nullopt},
                 {XCB_ATOM_CARDINAL, 1, &hidden, std::nullopt}, {XCB_ATOM_WINDOW, 2, two, std::nullopt},
                 {XCB_ATOM_WINDOW, 0, nullptr, std::nullopt}};
    for (const auto &c : cases) {
        xcb_change_property(conn, XCB_PROP_MODE_REPLACE, root, atom->atom, c.type, 32, c.length, c.value);
        std::free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
        EXPECT_EQ(lumacast::x11::activeWindow(), c.expected) << "type " << c.type << ", length " << c.length;
    }
    EXPECT_FALSE(lumacast::x11::activateWindow(hidden, XCB_CURRENT_TIME)); // not shown: not asked for
    xcb_delete_property(conn, root, atom->atom);
    std::free(atom);
    xcb_disconnect(conn);
}
