#pragma once

#include "review/TrimHandle.h"

#include <QString>

#include <optional>

namespace lumacast::review {

// The trim bar's fixed measures (points and seconds).
struct TrimBarMetrics {
    int thumbnailCount = 16;
    double handleWidth = 10;
    double barHeight = 44;
    double labelHeight = 16;
    double minGap = 0.5;
    double borderH = 3;
};

// "m:ss.t" of a time in seconds: minutes unpadded, two-digit seconds, one digit of tenths, all
// truncated. Negative and NaN values read as 0.
QString formatTime(double seconds);

// Estimated half width of a label (6 points a character), used instead of measuring text.
double estimatedHalfWidth(const QString &text);

// Centre x of a label of `halfWidth` that wants to sit at `x` but must stay inside [0, width].
double clampedLabelCentre(double x, double halfWidth, double width);

// Where the parts of the strip lie, for a strip `width` wide (points).
struct TrimStripGeometry {
    double innerWidth = 0;
    double startFraction = 0, endFraction = 1; // trim points as fractions of the duration
    double startCentre = 0, endCentre = 0;     // handle centres
    double selectionWidth = 0, selectionMid = 0;
    double tailWidth = 0, tailCentre = 0;
    bool leftDimShown = false;
    double leftDimWidth = 0;
    bool rightRegionShown = false;
    bool tailShown = false;       // the right region is tinted and carries the record-tail control
    bool tailTextShown = false;   // the control has room for its text

    static TrimStripGeometry compute(double width, double handleWidth, double duration, double trimStart,
                                     double trimEnd, bool canRecordTail);
    // x of a playhead marker at `time`, inside the playhead area (which starts at the right
    // edge of the start handle); may lie outside the area, where it is clipped away.
    double markerX(double time, double duration) const;
};

// The value a handle drag to strip x gives (seconds): kept `minGap` away from the other handle,
// then inside [0, duration].
double handleDragValue(TrimHandle handle, double x, double innerWidth, double handleWidth, double duration,
                       double trimStart, double trimEnd, double minGap);

// A scrub to strip x (seconds), held inside the trim range; none when the strip has no usable
// width or the take no duration.
std::optional<double> scrubTime(double x, double width, double handleWidth, double duration, double trimStart,
                                double trimEnd);

// Whether play pressed at `time` starts over from the trim start: at or within 0.05 s of the
// trim end, or before the trim start.
bool playRestartsFromTrimStart(double time, double trimStart, double trimEnd);

// What the playhead observer does on a tick while playing.
enum class TickAction { none, seekToTrimStart, pauseAtTrimEnd };
TickAction observerTickAction(double time, double trimStart, double capturedTrimEnd, double duration);

} // namespace lumacast::review
