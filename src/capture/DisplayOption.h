#pragma once

#include "platform/pipewire/WaylandOutputs.h"
#include "platform/x11/X11Content.h"

#include <QHash>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace lumacast {

// One selectable display.
struct DisplayOption {
    uint32_t id = 0;
    QString name;
    int width = 0;  // pixels
    int height = 0; // pixels

    // The text of the display picker: "name — 1920×1080".
    QString label() const;

    bool operator==(const DisplayOption &) const = default;

    // The displays the X server drives now, in its own order; empty when it cannot be reached.
    // Under XWayland they are named as the desktop names its outputs.
    static std::vector<DisplayOption> available();
    // The X server's displays, those XWayland names "XWAYLAND<n>" renamed after the compositor's
    // output at their place (or after the one output, when both sides have one).
    static std::vector<DisplayOption> named(const std::vector<x11::DisplayInfo> &displays,
                                            const std::vector<wayland::OutputInfo> &outputs);
    // The main display: the primary output, else the first one; nothing without displays.
    static std::optional<uint32_t> mainDisplayID();
};

size_t qHash(const DisplayOption &option, size_t seed = 0);

} // namespace lumacast
