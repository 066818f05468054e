#include "capture/DisplayOption.h"

#include "platform/x11/X11Content.h"

#include <algorithm>

namespace lumacast {

QString DisplayOption::label() const
{
    return QStringLiteral("%1 \u2014 %2\u00d7%3").arg(name).arg(width).arg(height);
}

namespace {
// The displays, or none while the X display cannot be reached.
std::vector<x11::DisplayInfo> displaysOrNone()
{
    try {
        return x11::listDisplays();
    } catch (const x11::X11Error &) {
        return {};
    }
}

bool fromXWayland(const x11::DisplayInfo &display)
{
    return display.name.startsWith(QLatin1String("XWAYLAND"));
}
} // namespace

std::vector<DisplayOption> DisplayOption::named(const std::vector<x11::DisplayInfo> &displays,
                                                const std::vector<wayland::OutputInfo> &outputs)
{
    std::vector<DisplayOption> options;
    for (const auto &d : displays) {
        DisplayOption option{d.id, d.name, d.geometry.width(), d.geometry.height()};
        const wayland::OutputInfo *match = displays.size() == 1 && outputs.size() == 1 ? &outputs.front() : nullptr;
        for (const auto &output : outputs)
            if (output.position == d.geometry.topLeft())
                match = &output;
        if (fromXWayland(d) && match && !wayland::desktopName(*match).isEmpty())
            option.name = wayland::desktopName(*match);
        options.push_back(option);
    }
    return options;
}

std::vector<DisplayOption> DisplayOption::available()
{
    const std::vector<x11::DisplayInfo> displays = displaysOrNone();
    const bool xwayland = std::any_of(displays.begin(), displays.end(), fromXWayland);
    return named(displays, xwayland ? wayland::listOutputs() : std::vector<wayland::OutputInfo>{});
}

std::optional<uint32_t> DisplayOption::mainDisplayID()
{
    const auto displays = displaysOrNone();
    for (const auto &d : displays) {
        if (d.primary)
            return d.id;
    }
    if (!displays.empty())
        return displays.front().id;
    return std::nullopt;
}

size_t qHash(const DisplayOption &option, size_t seed)
{
    return qHashMulti(seed, option.id, option.name, option.width, option.height);
}

} // namespace lumacast
