#pragma once

// Internal to the X11 layer: a connection with the extensions the capture code relies on, and a
// few property helpers. Nothing outside src/platform/x11 includes this header.

#include <xcb/xcb.h>

#include <QString>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumacast::x11 {

struct DisplayInfo;

// Makes the process ignore SIGPIPE (once; a handler of the application's own is kept), so that
// an X server that goes away under a write is seen as a broken connection, not the end of the
// process. Called before every connection of this layer is opened; any thread.
void ignoreBrokenPipes();

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <class T> using Reply = std::unique_ptr<T, FreeDeleter>;

class Connection {
public:
    // Opens a connection to $DISPLAY; throws X11Error when the server cannot be reached. With
    // `redirectForCapture`, every top-level window is redirected off-screen (automatically
    // composited by the server) for as long as this connection lives, so that window contents can
    // be read even where they are covered. The first call makes the process ignore SIGPIPE: a
    // server that goes away under a write is then noticed through `failed()` instead of ending
    // the process.
    static std::unique_ptr<Connection> open(bool redirectForCapture);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    xcb_connection_t *get() const { return m_conn; }
    xcb_screen_t *screen() const { return m_screen; }
    xcb_window_t root() const { return m_screen->root; }
    bool failed() const { return xcb_connection_has_error(m_conn) != 0; }
    // xcb's reason for a broken connection (XCB_CONN_ERROR...), 0 while it is sound.
    int connectionError() const { return xcb_connection_has_error(m_conn); }

    bool hasShm() const { return m_hasShm; }
    bool hasComposite() const { return m_hasComposite; }
    bool hasXFixes() const { return m_hasXFixes; }
    bool hasRandr() const { return m_hasRandr; }
    // RandR 1.5: the server lists monitors (what the desktop calls its screens).
    bool hasRandrMonitors() const { return m_hasRandrMonitors; }
    uint8_t randrEventBase() const { return m_randrEventBase; }
    bool hasDamage() const { return m_hasDamage; }
    uint8_t damageEventBase() const { return m_damageEventBase; }

    xcb_atom_t atom(const char *name);

    // Property readers; an absent property yields nothing.
    std::optional<uint32_t> cardinalProperty(xcb_window_t w, xcb_atom_t property);
    std::vector<uint32_t> windowListProperty(xcb_window_t w, xcb_atom_t property);

private:
    Connection() = default;

    xcb_connection_t *m_conn = nullptr;
    xcb_screen_t *m_screen = nullptr;
    bool m_hasShm = false;
    bool m_hasComposite = false;
    bool m_hasXFixes = false;
    bool m_hasRandr = false;
    bool m_hasRandrMonitors = false;
    uint8_t m_randrEventBase = 0;
    bool m_hasDamage = false;
    uint8_t m_damageEventBase = 0;
    std::map<std::string, xcb_atom_t> m_atoms;
};

// A window's title (_NET_WM_NAME, else WM_NAME), class (second WM_CLASS string) and process id.
struct WindowLabels {
    QString title;
    QString className;
    QString instanceName;
    std::optional<uint32_t> pid;
};
WindowLabels readWindowLabels(Connection &c, xcb_window_t w);

// The client window a top-level (root child) stands for: the window itself when it carries
// WM_STATE or a process id, else the first child that does (a window manager's frame holds its
// client one level down). Nothing when neither applies.
std::optional<xcb_window_t> clientWindowOf(Connection &c, xcb_window_t topLevel);

// The displays as `listDisplays` gives them, asked on this connection.
std::vector<DisplayInfo> listDisplays(Connection &c);

// The child of the root that contains `w` (w itself when it is one); nothing when `w` is gone.
std::optional<xcb_window_t> topLevelAncestor(Connection &c, xcb_window_t w);

} // namespace lumacast::x11
