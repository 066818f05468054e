#include "capture/DisplayOption.h"

#include "platform/x11/X11Content.h"

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
} // namespace

std::vector<DisplayOption> DisplayOption::available()
{
    std::vector<DisplayOption> options;
    for (const auto &d : displaysOrNone())
        options.push_back(DisplayOption{d.id, d.name, d.geometry.width(), d.geometry.height()});
    return options;
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
