#pragma once

// Plain X windows of "another application" for capture tests: solid colours and quadrant
// patterns drawn by the server itself (window backgrounds), so no event loop is needed for them
// to show. Link the X11 platform library (which brings libxcb) to use them.

#include <xcb/xcb.h>

#include <QRect>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace lumacast::testing {

class XcbTestWindows {
public:
    XcbTestWindows();
    ~XcbTestWindows(); // destroys every window it made

    bool ok() const { return m_conn && !xcb_connection_has_error(m_conn); }
    xcb_connection_t *connection() const { return m_conn; }
    xcb_window_t root() const { return m_root; }

    // A mapped top-level window of one colour (0xRRGGBB).
    xcb_window_t solid(const QRect &rect, uint32_t rgb, std::optional<uint32_t> pid = std::nullopt,
                       const QString &title = QString(), const QString &className = QString());
    // A mapped top-level window split into four coloured quadrants: top-left, top-right,
    // bottom-left, bottom-right.
    xcb_window_t quadrants(const QRect &rect, const uint32_t colours[4]);

    void move(xcb_window_t w, int x, int y);
    void unmap(xcb_window_t w);
    // Another colour for a window made by `solid`; an unmapped one shows it once mapped again.
    void recolour(xcb_window_t w, uint32_t rgb);
    void destroy(xcb_window_t w);
    void warpPointer(int x, int y);
    // A desktop picture of one colour, announced on the root as background setters do.
    void setRootBackground(uint32_t rgb);
    void setRootWindowList(const char *property, const std::vector<xcb_window_t> &windows);
    void deleteRootProperty(const char *property);
    void sync();

private:
    xcb_atom_t atom(const char *name);

    xcb_connection_t *m_conn = nullptr;
    xcb_window_t m_root = 0;
    uint8_t m_depth = 24;
    xcb_visualid_t m_visual = 0;
    std::vector<xcb_window_t> m_windows;
};

// The colour of a BGRX pixel as 0xRRGGBB.
inline uint32_t pixelAt(const uint8_t *data, int stride, int x, int y)
{
    const uint8_t *p = data + size_t(y) * stride + size_t(x) * 4;
    return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

} // namespace lumacast::testing
