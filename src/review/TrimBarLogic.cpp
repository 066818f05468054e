#include "review/TrimBarLogic.h"

#include <algorithm>
#include <cmath>

namespace lumacast::review {

QString formatTime(double seconds)
{
    const double t = (std::isnan(seconds) || seconds < 0) ? 0 : seconds;
    const long long whole = static_cast<long long>(t);
    const int tenths = static_cast<int>((t - double(whole)) * 10);
    const long long minutes = whole / 60;
    const long long secs = whole - minutes * 60;
    return QString::asprintf("%lld:%02lld.%d", minutes, secs, tenths);
}

double estimatedHalfWidth(const QString &text)
{
    return double(text.size()) * 6 / 2;
}

double clampedLabelCentre(double x, double halfWidth, double width)
{
    return std::min(width - halfWidth, std::max(x, halfWidth));
}

TrimStripGeometry TrimStripGeometry::compute(double width, double hw, double duration, double trimStart,
                                             double trimEnd, bool canRecordTail)
{
    TrimStripGeometry g;
    g.innerWidth = width - 2 * hw;
    if (duration > 0) {
        g.startFraction = trimStart / duration;
        g.endFraction = trimEnd / duration;
    }
    g.startCentre = g.innerWidth * g.startFraction + 0.5 * hw;
    g.endCentre = g.innerWidth * g.endFraction + 1.5 * hw;
    g.selectionWidth = g.endCentre - g.startCentre + hw;
    g.selectionMid = (g.startCentre + g.endCentre) / 2;
    g.tailWidth = std::max(0.0, width - g.endCentre - 0.5 * hw);
    g.tailCentre = width - g.tailWidth / 2;
    g.leftDimShown = g.startFraction > 0.001;
    g.leftDimWidth = std::max(0.0, g.startCentre - 0.5 * hw);
    g.rightRegionShown = g.endFraction < 0.999;
    g.tailShown = canRecordTail && g.endFraction < 0.999;
    g.tailTextShown = g.tailWidth >= 90;
    return g;
}

double TrimStripGeometry::markerX(double time, double duration) const
{
    return (time / duration - startFraction) * innerWidth;
}

double handleDragValue(TrimHandle handle, double x, double innerWidth, double hw, double duration,
                       double trimStart, double trimEnd, double minGap)
{
    double f;
    if (handle == TrimHandle::start)
        f = std::max(0.0, std::min((x - 0.5 * hw) / innerWidth, (trimEnd - minGap) / duration));
    else
        f = std::min(1.0, std::max((x - 1.5 * hw) / innerWidth, (trimStart + minGap) / duration));
    return f * duration;
}

std::optional<double> scrubTime(double x, double width, double hw, double duration, double trimStart,
                                double trimEnd)
{
    const double usable = width - 2 * hw;
    if (usable <= 0 || duration <= 0)
        return std::nullopt;
    double f = (x - hw) / usable;
    f = std::isnan(f) ? 0 : std::clamp(f, 0.0, 1.0);
    const double t = f * duration;
    return std::max(trimStart, std::min(trimEnd, t));
}

bool playRestartsFromTrimStart(double time, double trimStart, double trimEnd)
{
    return time >= trimEnd - 0.05 || time < trimStart;
}

TickAction observerTickAction(double time, double trimStart, double capturedTrimEnd, double duration)
{
    if (time < trimStart - 0.1)
        return TickAction::seekToTrimStart;
    if (capturedTrimEnd < duration - 0.01 && time >= capturedTrimEnd)
        return TickAction::pauseAtTrimEnd;
    return TickAction::none;
}

} // namespace lumacast::review
