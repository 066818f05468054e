#pragma once

// Plain X windows of "another application" for capture tests: no process id of ours, colours
// painted by the server itself (window backgrounds), so they show without an event loop.

#include <xcb/xcb.h>

#include <QRect>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace lumacast::testing {

class ForeignWindows {
public:
    ForeignWindows()
    {
        int n = 0;
        m_conn = xcb_connect(nullptr, &n);
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_conn));
        for (int i = 0; i < n; ++i)
            xcb_screen_next(&it);
        m_screen = it.data;
    }
    ~ForeignWindows()
    {
        for (xcb_window_t w : m_windows)
            xcb_destroy_window(m_conn, w);
        sync();
        xcb_disconnect(m_conn);
    }

    xcb_window_t solid(const QRect &r, uint32_t rgb, const char *title = nullptr, const char *cls = nullptr,
                       xcb_window_t parent = 0)
    {
        const xcb_window_t w = xcb_generate_id(m_conn);
        const uint32_t bg[] = {rgb};
        xcb_create_window(m_conn, XCB_COPY_FROM_PARENT, w, parent ? parent : m_screen->root, int16_t(r.x()),
                          int16_t(r.y()), uint16_t(r.width()), uint16_t(r.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          m_screen->root_visual, XCB_CW_BACK_PIXEL, bg);
        if (title)
            xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                                uint32_t(std::strlen(title)), title);
        if (cls) {
            const std::string both = std::string(cls) + '\0' + cls + '\0';
            xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                                uint32_t(both.size()), both.data());
        }
        xcb_map_window(m_conn, w);
        if (!parent)
            m_windows.push_back(w);
        sync();
        return w;
    }

    // Four coloured quadrants: top-left, top-right, bottom-left, bottom-right.
    xcb_window_t quadrants(const QRect &r, const uint32_t colours[4])
    {
        const xcb_window_t top = solid(r, 0);
        const int hw = r.width() / 2, hh = r.height() / 2;
        solid(QRect(0, 0, hw, hh), colours[0], nullptr, nullptr, top);
        solid(QRect(hw, 0, r.width() - hw, hh), colours[1], nullptr, nullptr, top);
        solid(QRect(0, hh, hw, r.height() - hh), colours[2], nullptr, nullptr, top);
        solid(QRect(hw, hh, r.width() - hw, r.height() - hh), colours[3], nullptr, nullptr, top);
        return top;
    }

    void move(xcb_window_t w, int x, int y)
    {
        const uint32_t v[] = {uint32_t(x), uint32_t(y)};
        xcb_configure_window(m_conn, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, v);
        sync();
    }

    void destroy(xcb_window_t w)
    {
        xcb_destroy_window(m_conn, w);
        std::erase(m_windows, w);
        sync();
    }

    void sync() { std::free(xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), nullptr)); }

private:
    xcb_connection_t *m_conn = nullptr;
    xcb_screen_t *m_screen = nullptr;
    std::vector<xcb_window_t> m_windows;
};

} // namespace lumacast::testing
