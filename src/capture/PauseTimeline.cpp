#include "capture/PauseTimeline.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace lumacast {

namespace {

using Wide = __int128;

int64_t saturate(Wide v)
{
    if (v > Wide(std::numeric_limits<int64_t>::max()))
        return std::numeric_limits<int64_t>::max();
    if (v < Wide(std::numeric_limits<int64_t>::min()))
        return std::numeric_limits<int64_t>::min();
    return int64_t(v);
}

// The timescale both operands are expressed in: the least common multiple when it fits,
// otherwise the finer of the two (the coarser operand is then rounded, never the finer one).
int32_t commonTimescale(int32_t a, int32_t b)
{
    if (a == b)
        return a;
    const int64_t l = std::lcm(int64_t(a), int64_t(b));
    if (l <= std::numeric_limits<int32_t>::max())
        return int32_t(l);
    return std::max(a, b);
}

} // namespace

int64_t rescaleTicks(int64_t value, int64_t timescale, int64_t target)
{
    if (timescale == target)
        return value;
    const Wide num = Wide(value) * target;
    Wide q = num / timescale;
    const Wide r = num % timescale;
    // Round half away from zero.
    if (r != 0) {
        const Wide twice = (r < 0 ? -r : r) * 2;
        if (twice >= timescale)
            q += (num < 0) ? -1 : 1;
    }
    return saturate(q);
}

double SampleTime::seconds() const
{
    if (!isValid())
        return std::nan("");
    return double(value) / double(timescale);
}

SampleTime SampleTime::convertedTo(int32_t target) const
{
    if (!isValid() || target <= 0)
        return invalid();
    return make(rescaleTicks(value, timescale, target), target);
}

SampleTime operator+(const SampleTime &a, const SampleTime &b)
{
    if (!a.isValid() || !b.isValid())
        return SampleTime::invalid();
    const int32_t ts = commonTimescale(a.timescale, b.timescale);
    return SampleTime::make(saturate(Wide(rescaleTicks(a.value, a.timescale, ts))
                                     + rescaleTicks(b.value, b.timescale, ts)),
                            ts);
}

SampleTime operator-(const SampleTime &a, const SampleTime &b)
{
    if (!a.isValid() || !b.isValid())
        return SampleTime::invalid();
    const int32_t ts = commonTimescale(a.timescale, b.timescale);
    return SampleTime::make(saturate(Wide(rescaleTicks(a.value, a.timescale, ts))
                                     - rescaleTicks(b.value, b.timescale, ts)),
                            ts);
}

int compare(const SampleTime &a, const SampleTime &b)
{
    const bool av = a.isValid(), bv = b.isValid();
    if (!av || !bv)
        return av == bv ? 0 : (av ? -1 : 1);
    const Wide l = Wide(a.value) * b.timescale;
    const Wide r = Wide(b.value) * a.timescale;
    return l < r ? -1 : (l > r ? 1 : 0);
}


SampleTime PauseTimeline::map(const SampleTime &source, const SampleTime &lastOutput)
{
    if (resumePending) {
        resumePending = false;
        // Everything between the last sample before the pause and the first one after the
        // resume was paused, whichever track either sample came from.
        if (lastSource.isValid())
            offset = offset + (source - lastSource);
    }
    if (!lastSource.isValid() || source > lastSource)
        lastSource = source;

    SampleTime output = source - offset;
    if (lastOutput.isValid() && output <= lastOutput) {
        const SampleTime tick = source.timescale > 0 ? SampleTime::make(1, source.timescale)
                                                     : SampleTime::make(1, 600);
        output = lastOutput + tick;
    }
    return output;
}

} // namespace lumacast
