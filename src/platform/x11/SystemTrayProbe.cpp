#include "platform/x11/SystemTrayProbe.h"

#include "platform/x11/X11Connection.h"
#include "platform/x11/X11Error.h"

#include <memory>
#include <string>

namespace lumacast::x11 {

bool systemTrayManagerRunning()
{
    // Asked every second or two while the application waits for a tray: one connection, kept.
    static std::unique_ptr<Connection> conn;
    if (!conn || conn->failed()) {
        try {
            conn = Connection::open(false);
        } catch (const X11Error &) {
            conn.reset();
            return false;
        }
    }
    int screenNumber = 0;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(conn->get())); it.rem; xcb_screen_next(&it), ++screenNumber)
        if (it.data->root == conn->root())
            break;
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber);
    const xcb_atom_t selection = conn->atom(name.c_str());
    if (selection == XCB_ATOM_NONE)
        return false;
    Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(conn->get(), xcb_get_selection_owner(conn->get(), selection), nullptr));
    return owner && owner->owner != XCB_NONE;
}

} // namespace lumacast::x11
