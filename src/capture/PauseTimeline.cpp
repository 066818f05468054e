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

// How many `interval`s reach `span`, rounded up but for a microsecond (an interval such as 1/60 s
// is rounded where it meets nanoseconds); none for a span that is not positive.
int64_t intervalsUntil(const SampleTime &span, const SampleTime &interval)
{
    const SampleTime reach = span - SampleTime::make(1, 1000000);
    if (!reach.isValid() || !interval.isValid() || interval.value <= 0 || reach.value <= 0)
        return 0;
    const Wide num = Wide(reach.value) * interval.timescale;
    const Wide den = Wide(interval.value) * reach.timescale;
    return saturate((num + den - 1) / den);
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


void PauseTimeline::settle(const SampleTime &source, const SampleTime &resumedAt, bool picture)
{
    if (!resumePending)
        return;
    resumePending = false;
    // The take goes on from the first picture after the resume, or, when sound comes first, from
    // the resume moment (this sample's when the moment is not known) put on the pictures' grid,
    // where that picture is due. Several pauses without a sample between them close one gap,
    // and a pause within the last picture's interval closes none. Without a picture yet it goes
    // on where the latest sample of any track was; a resume before the take's first sample
    // closes nothing, but sound from before it is still left out.
    SampleTime from = resumedAt.isValid() && !picture ? resumedAt : source;
    previousOffset = offset;
    cutFrom = seam.isValid() ? seam + offset : SampleTime::invalid();
    if (cutFrom.isValid() && picture)
        from = std::max(from, cutFrom);
    else if (cutFrom.isValid())
        from = cutFrom + SampleTime::make(intervalsUntil(from - cutFrom, frameInterval) * frameInterval.value,
                                          frameInterval.timescale);
    if (lastSource.isValid()) {
        const SampleTime at = seam.isValid() ? seam : lastSource - offset;
        offset = from - at;
    }
    resumedFrom = from;
    ++resumes;
}

SampleTime PauseTimeline::place(const SampleTime &source, const SampleTime &offsetUsed, const SampleTime &lastOutput)
{
    SampleTime output = source - offsetUsed;
    if (lastOutput.isValid() && output <= lastOutput) {
        const SampleTime tick = source.timescale > 0 ? SampleTime::make(1, source.timescale)
                                                     : SampleTime::make(1, 600);
        output = lastOutput + tick;
    }
    return output;
}

SampleTime PauseTimeline::map(const SampleTime &source, const SampleTime &lastOutput,
                              const SampleTime &resumedAt)
{
    settle(source, resumedAt);
    if (!lastSource.isValid() || source > lastSource)
        lastSource = source;
    return place(source, offset, lastOutput);
}

SampleTime PauseTimeline::mapPicture(const SampleTime &source, const SampleTime &lastOutput,
                                     const SampleTime &interval, const SampleTime &resumedAt)
{
    settle(source, resumedAt, true);
    const bool first = pictureResumes != resumes && seam.isValid();
    // A picture due before the instant the take goes on from (sound came first) is left out, as
    // that sound is, so that the pictures after it do not crowd onto the seam.
    if (first && source + SampleTime::make(frameInterval.value, frameInterval.timescale * 2) < resumedFrom)
        return SampleTime::invalid();
    SampleTime output = map(source, lastOutput);
    // The first picture after a resume stands at the seam, so that the one before the pause
    // lasts exactly a frame interval.
    if (first)
        output = seam;
    pictureResumes = resumes;
    if (output.isValid() && interval.isValid()) {
        seam = output + interval;
        frameInterval = interval;
    }
    return output;
}

SoundRuns PauseTimeline::mapSound(const SampleTime &start, int frames, int rate, SoundPlace &track, bool paused,
                                  const SampleTime &resumedAt)
{
    SoundRuns result;
    if (frames <= 0 || rate <= 0 || !start.isValid())
        return result;
    const auto at = [&](int sample) { return start + SampleTime::make(sample, rate); };
    const auto take = [&](int first, int count, const SampleTime &output) {
        result.runs[result.size++] = {first, count, output};
        track.lastOutput = output;
        if (output.isValid())
            track.end = output + SampleTime::make(count, rate);
    };
    const bool open = paused || resumePending;
    if (!open && track.resumes == resumes) {
        take(0, frames, map(start, track.lastOutput));
        return result;
    }

    // The end of the stretch before the pause: up to the seam, with that stretch's offset.
    const SampleTime cut = open ? (seam.isValid() ? seam + offset : SampleTime::invalid()) : cutFrom;
    const int before = samplesBefore(start, frames, rate, cut);
    if (before > 0)
        take(0, before, place(start, open ? offset : previousOffset, track.lastOutput));
    if (paused)
        return result;

    // The start of the stretch after the resume: from its moment, and past the track's sound so far.
    int skipped = before;
    if (resumePending && resumedAt.isValid())
        skipped = std::max(skipped, samplesBefore(start, frames, rate, resumedAt));
    if (skipped == frames)
        return result;
    settle(at(skipped), resumedAt);
    if (track.resumes != resumes) {
        SampleTime from = resumedFrom;
        if (track.end.isValid())
            from = std::max(from, track.end + offset);
        skipped = std::max(skipped, samplesBefore(start, frames, rate, from));
        if (skipped == frames)
            return result;
        track.resumes = resumes;
    }
    take(skipped, frames - skipped, map(at(skipped), track.lastOutput));
    return result;
}

int samplesBefore(const SampleTime &start, int frames, int rate, const SampleTime &limit)
{
    if (frames <= 0 || rate <= 0 || !start.isValid() || !limit.isValid())
        return 0;
    const SampleTime span = limit - start;
    const int64_t count = rescaleTicks(span.value, span.timescale, rate);
    return int(std::clamp<int64_t>(count, 0, frames));
}

} // namespace lumacast
