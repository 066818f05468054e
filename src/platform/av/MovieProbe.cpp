#include "platform/av/MovieProbe.h"

#include "platform/av/Asset.h"

#include <cmath>

namespace lumacast::av {

std::optional<double> movieDurationSeconds(const QString &path)
{
    try {
        const auto asset = Asset::open(path);
        const double seconds = asset->duration().seconds();
        if (!std::isfinite(seconds) || seconds < 0 || asset->tracks().isEmpty())
            return std::nullopt;
        return seconds;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

} // namespace lumacast::av
