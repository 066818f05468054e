#pragma once

namespace lumacast::x11 {

// Whether the X display named by $DISPLAY accepts a connection and offers at least one screen:
// on X11 that is all screen-recording access takes.
bool x11DisplayAvailable();

} // namespace lumacast::x11
