#include "platform/x11/DisplayProbe.h"

#include <xcb/xcb.h>

namespace lumacast::x11 {

bool x11DisplayAvailable()
{
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    const bool answered = connection && xcb_connection_has_error(connection) == 0;
    const bool hasScreen = answered && xcb_setup_roots_length(xcb_get_setup(connection)) > 0;
    if (connection)
        xcb_disconnect(connection);
    return hasScreen;
}

} // namespace lumacast::x11
