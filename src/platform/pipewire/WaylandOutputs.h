#pragma once

// The compositor's outputs as its own clients are told of them: the names the desktop shows,
// which XWayland's RandR outputs do not carry.

#include <QPoint>
#include <QSize>
#include <QString>

#include <vector>

namespace lumacast::wayland {

struct OutputInfo {
    QString name;        // the connector, "DP-1" (compositors speaking version 4 of wl_output)
    QString description; // the compositor's own words for it, where it gives them
    QString make;
    QString model;
    QPoint position;     // in the compositor's space, where XWayland places the output too
    QSize size;          // the current mode, in pixels
};

// The outputs of the compositor named by WAYLAND_DISPLAY; empty without one, or when it cannot
// be reached. Any thread; a connection of its own, closed before it returns.
std::vector<OutputInfo> listOutputs();

// The output as the desktop names it: its model where the compositor knows one, with its
// connector beside it, else the connector, else the description.
QString desktopName(const OutputInfo &output);

} // namespace lumacast::wayland
