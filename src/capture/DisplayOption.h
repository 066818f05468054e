#pragma once

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
    static std::vector<DisplayOption> available();
    // The main display: the primary output, else the first one; nothing without displays.
    static std::optional<uint32_t> mainDisplayID();
};

size_t qHash(const DisplayOption &option, size_t seed = 0);

} // namespace lumacast
