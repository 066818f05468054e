// The active window as the window manager announces it on the root, read from the rig's X server
// (which runs no window manager: the test announces it itself).
#include "platform/x11/OverlayWindowHints.h"

#include <xcb/xcb.h>

#include <QGuiApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using namespace lumacast;

TEST(ActiveWindow, OnlyAWindowAnnouncedOnTheRootCounts)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs the rig's X server";
    xcb_connection_t *conn = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(conn)).data->root;
    const char *name = "_NET_ACTIVE_WINDOW";
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(conn, xcb_intern_atom(conn, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t active = atom->atom;
    std::free(atom);
    const xcb_window_t unmapped = xcb_generate_id(conn);
    xcb_create_window(conn, XCB_COPY_FROM_PARENT, unmapped, root, 0, 0, 10, 10, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, 0, nullptr);

    const uint32_t none = XCB_NONE, two[] = {unmapped, unmapped};
    const struct Case {
        const char *name;
        xcb_atom_t type;
        uint32_t length;
        const uint32_t *value;
        std::optional<uint32_t> expected;
    } cases[] = {
        {"a window", XCB_ATOM_WINDOW, 1, &unmapped, unmapped},
        {"None", XCB_ATOM_WINDOW, 1, &none, std::nullopt},
        {"a number, not a window", XCB_ATOM_CARDINAL, 1, &unmapped, std::nullopt},
        {"more than one window", XCB_ATOM_WINDOW, 2, two, std::nullopt},
        {"nothing announced", XCB_ATOM_WINDOW, 0, nullptr, std::nullopt},
    };
    for (const Case &c : cases) {
        if (c.value)
            xcb_change_property(conn, XCB_PROP_MODE_REPLACE, root, active, c.type, 32, c.length, c.value);
        else
            xcb_delete_property(conn, root, active);
        std::free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
        EXPECT_EQ(x11::activeWindow(), c.expected) << c.name;
    }
    // A window that is not shown is not asked for.
    EXPECT_FALSE(x11::activateWindow(unmapped, XCB_CURRENT_TIME));
    xcb_destroy_window(conn, unmapped);
    xcb_disconnect(conn);
}
