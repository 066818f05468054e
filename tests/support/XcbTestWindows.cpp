#include "support/XcbTestWindows.h"

#include <cstdlib>
#include <cstring>

namespace lumacast::testing {

XcbTestWindows::XcbTestWindows()
{
    int screenNumber = 0;
    m_conn = xcb_connect(nullptr, &screenNumber);
    if (!m_conn || xcb_connection_has_error(m_conn))
        return;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_conn));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&it);
    m_root = it.data->root;
    m_depth = it.data->root_depth;
    m_visual = it.data->root_visual;
}

XcbTestWindows::~XcbTestWindows()
{
    if (!m_conn)
        return;
    for (xcb_window_t w : m_windows)
        xcb_destroy_window(m_conn, w);
    sync();
    xcb_disconnect(m_conn);
}

xcb_atom_t XcbTestWindows::atom(const char *name)
{
    xcb_intern_atom_reply_t *r =
        xcb_intern_atom_reply(m_conn, xcb_intern_atom(m_conn, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(r);
    return a;
}

xcb_window_t XcbTestWindows::solid(const QRect &rect, uint32_t rgb, std::optional<uint32_t> pid, const QString &title,
                                   const QString &className)
{
    const xcb_window_t w = xcb_generate_id(m_conn);
    const uint32_t values[] = {rgb};
    xcb_create_window(m_conn, m_depth, w, m_root, int16_t(rect.x()), int16_t(rect.y()), uint16_t(rect.width()),
                      uint16_t(rect.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, m_visual, XCB_CW_BACK_PIXEL, values);
    if (pid)
        xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &*pid);
    if (!title.isEmpty()) {
        const QByteArray t = title.toUtf8();
        xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8,
                            uint32_t(t.size()), t.constData());
    }
    if (!className.isEmpty()) {
        const QByteArray c = className.toLatin1().toLower() + '\0' + className.toLatin1() + '\0';
        xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            uint32_t(c.size()), c.constData());
    }
    xcb_map_window(m_conn, w);
    m_windows.push_back(w);
    sync();
    return w;
}

xcb_window_t XcbTestWindows::quadrants(const QRect &rect, const uint32_t colours[4])
{
    const xcb_window_t top = solid(rect, 0x000000);
    const int hw = rect.width() / 2;
    const int hh = rect.height() / 2;
    const QRect parts[4] = {QRect(0, 0, hw, hh), QRect(hw, 0, rect.width() - hw, hh), QRect(0, hh, hw, rect.height() - hh),
                            QRect(hw, hh, rect.width() - hw, rect.height() - hh)};
    for (int i = 0; i < 4; ++i) {
        const xcb_window_t child = xcb_generate_id(m_conn);
        const uint32_t values[] = {colours[i]};
        xcb_create_window(m_conn, m_depth, child, top, int16_t(parts[i].x()), int16_t(parts[i].y()),
                          uint16_t(parts[i].width()), uint16_t(parts[i].height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          m_visual, XCB_CW_BACK_PIXEL, values);
        xcb_map_window(m_conn, child);
    }
    sync();
    return top;
}

void XcbTestWindows::move(xcb_window_t w, int x, int y)
{
    const uint32_t values[] = {uint32_t(x), uint32_t(y)};
    xcb_configure_window(m_conn, w, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
    sync();
}

void XcbTestWindows::unmap(xcb_window_t w)
{
    xcb_unmap_window(m_conn, w);
    sync();
}

void XcbTestWindows::recolour(xcb_window_t w, uint32_t rgb)
{
    const uint32_t values[] = {rgb};
    xcb_change_window_attributes(m_conn, w, XCB_CW_BACK_PIXEL, values);
    xcb_clear_area(m_conn, 0, w, 0, 0, 0, 0);
    sync();
}

void XcbTestWindows::destroy(xcb_window_t w)
{
    xcb_destroy_window(m_conn, w);
    std::erase(m_windows, w);
    sync();
}

void XcbTestWindows::warpPointer(int x, int y)
{
    xcb_warp_pointer(m_conn, XCB_NONE, m_root, 0, 0, 0, 0, int16_t(x), int16_t(y));
    sync();
}

void XcbTestWindows::setRootWindowList(const char *property, const std::vector<xcb_window_t> &windows)
{
    xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, m_root, atom(property), XCB_ATOM_WINDOW, 32,
                        uint32_t(windows.size()), windows.data());
    sync();
}

void XcbTestWindows::setRootBackground(uint32_t rgb)
{
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data;
    const xcb_pixmap_t pixmap = xcb_generate_id(m_conn);
    xcb_create_pixmap(m_conn, m_depth, pixmap, m_root, screen->width_in_pixels, screen->height_in_pixels);
    const xcb_gcontext_t gc = xcb_generate_id(m_conn);
    const uint32_t values[] = {rgb};
    xcb_create_gc(m_conn, gc, pixmap, XCB_GC_FOREGROUND, values);
    const xcb_rectangle_t all{0, 0, screen->width_in_pixels, screen->height_in_pixels};
    xcb_poly_fill_rectangle(m_conn, pixmap, gc, 1, &all);
    xcb_free_gc(m_conn, gc);
    xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, m_root, atom("_XROOTPMAP_ID"), XCB_ATOM_PIXMAP, 32, 1, &pixmap);
    sync();
}

void XcbTestWindows::deleteRootProperty(const char *property)
{
    xcb_delete_property(m_conn, m_root, atom(property));
    sync();
}

void XcbTestWindows::sync()
{
    std::free(xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), nullptr));
}

} // namespace lumacast::testing
