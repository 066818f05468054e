#pragma once

namespace lumacast::testing {
class XfceTrayDesktop;
// The program's private bus with Xfce's panel on demand; null without the rig's display, the
// panel or dbus-daemon.
extern XfceTrayDesktop *trayDesktop;
} // namespace lumacast::testing
