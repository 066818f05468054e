#pragma once

// Internal to the X11 layer: where windows left out of a display capture show, the frame is
// painted again from the desktop picture and the windows beneath and above them, read from their
// off-screen (Composite) pixmaps.

#include "platform/x11/X11Connection.h"
#include "platform/x11/X11FrameSource.h"

#include <QPoint>
#include <QRect>
#include <QSize>

#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

namespace lumacast::x11 {

// One rectangle of a repair: painted from `from` (black when it is none, or when the desktop's
// background refuses; skipped when a window refuses), at `to` in the frame.
struct RepairPiece {
    xcb_drawable_t from = XCB_NONE;
    QRect source; // in `from`'s coordinates
    QPoint to;
    bool isWindow = false;
};

// Decides which windows a display capture leaves out (by process id, or by id unless excepted)
// and which pieces repaint them. The stacking order and the windows' pixmaps change only with
// structure events on the root, so both are kept between frames until one arrives. Used by one
// thread at a time, the one grabbing the frames; must not outlive `connection`. The pixmaps it
// names die with the connection.
class ExclusionRepair {
public:
    ExclusionRepair(Connection &connection, const CaptureConfig &config);
    ~ExclusionRepair();
    ExclusionRepair(const ExclusionRepair &) = delete;
    ExclusionRepair &operator=(const ExclusionRepair &) = delete;

    // The root's events the repair needs to hear of (its children's structure and its
    // properties): the owner selects them, with its own, and gives them to `noteEvent`.
    static constexpr uint32_t kRootEvents = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    // The screen's size now: the root's background is painted afresh for it.
    void screenResized(QSize size);
    // An event polled from the connection (response type without the sent flag; 0 for an error):
    // the stacking order or the desktop picture is read again at the next frame where it matters.
    // True when the event may change what the repair paints (without the screen changing).
    bool noteEvent(uint8_t type);
    // A window piece could not be read: the stacking order is read again at the next frame.
    void windowRefused() { m_treeDirty = true; }

    // The pieces that repaint the frame, bottom up, where a left-out window shows in
    // `frameRect` (root coordinates); none when no left-out window shows.
    std::vector<RepairPiece> pieces(const QRect &frameRect);

private:
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

    std::vector<TopLevel> topLevels();
    const Identity &identityOf(xcb_window_t top);
    bool isExcluded(xcb_window_t top);
    xcb_pixmap_t pixmapOf(xcb_window_t window);
    void forgetPixmaps();
    xcb_pixmap_t readRootBackground();
    xcb_pixmap_t rootPaintedBackground();

    Connection &m_conn;
    const CaptureConfig m_config; // only its lists of windows and processes are read
    std::unordered_map<xcb_window_t, Identity> m_identities;
    bool m_treeDirty = true;
    std::vector<TopLevel> m_tops;
    std::map<xcb_window_t, xcb_pixmap_t> m_pixmaps;
    xcb_pixmap_t m_rootBackground = XCB_NONE; // the desktop picture a background setter left on the root
    bool m_backgroundDirty = true;
    // Without such a picture, the root's own background (a solid colour, a pattern) as the server
    // paints it into a window of ours left of the screen (see `rootPaintedBackground`), made for
    // the screen's size.
    xcb_window_t m_backgroundWindow = XCB_NONE;
    xcb_pixmap_t m_backgroundWindowPixmap = XCB_NONE;
    QSize m_screenSize;
    void dropBackgroundWindow();
};

} // namespace lumacast::x11
