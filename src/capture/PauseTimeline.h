#pragma once

#include <cstdint>

namespace lumacast {

// A capture timestamp: a rational number of seconds (value / timescale) that may be invalid.
// Comparison and arithmetic are exact across timescales; an invalid operand makes the result
// invalid, and an invalid time compares equal to another invalid time and later than every
// valid one, so that "not later than" never holds against a missing time.
struct SampleTime {
    int64_t value = 0;
    int32_t timescale = 0;
    bool valid = false;

    static constexpr SampleTime invalid() { return {}; }
    static constexpr SampleTime zero() { return {0, 1, true}; }
    static constexpr SampleTime make(int64_t value, int32_t timescale)
    {
        return timescale > 0 ? SampleTime{value, timescale, true} : SampleTime{};
    }
    static constexpr SampleTime fromNanoseconds(int64_t ns) { return make(ns, 1000000000); }

    bool isValid() const { return valid && timescale > 0; }
    double seconds() const;
    // The same instant in another timescale, rounded to the nearest tick (halves away from zero).
    SampleTime convertedTo(int32_t timescale) const;

    friend SampleTime operator+(const SampleTime &a, const SampleTime &b);
    friend SampleTime operator-(const SampleTime &a, const SampleTime &b);
    // -1, 0 or 1.
    friend int compare(const SampleTime &a, const SampleTime &b);
    friend bool operator==(const SampleTime &a, const SampleTime &b) { return compare(a, b) == 0; }
    friend bool operator<(const SampleTime &a, const SampleTime &b) { return compare(a, b) < 0; }
    friend bool operator>(const SampleTime &a, const SampleTime &b) { return compare(a, b) > 0; }
    friend bool operator<=(const SampleTime &a, const SampleTime &b) { return compare(a, b) <= 0; }
    friend bool operator>=(const SampleTime &a, const SampleTime &b) { return compare(a, b) >= 0; }
};

// `value` ticks of `timescale` rescaled to `target` ticks, rounded to nearest with halves away
// from zero; saturates instead of overflowing.
int64_t rescaleTicks(int64_t value, int64_t timescale, int64_t target);


// One sound track's place on a take's timeline, kept by the track's owner.
struct SoundPlace {
    SampleTime lastOutput; // output time of its latest buffer
    SampleTime end;        // output time just after its latest sample
    uint64_t resumes = 0;  // the timeline's `resumes` when it was last appended to
};

// A run of a sound buffer's samples that goes into the take: `count` samples from `first`, the
// first of them at `output`.
struct SoundRun {
    int first = 0;
    int count = 0;
    SampleTime output;
};

// What of a sound buffer goes into the take: the end of the stretch before a pause, the start of
// the one after a resume, or both when a pause is shorter than the buffer.
struct SoundRuns {
    SoundRun runs[2];
    int size = 0;
};

// Closes paused stretches out of a take's timeline. One timeline serves every track of a take;
// each track keeps its own last output time and hands it in. Used only on the recorder's sample
// queue, so it needs no lock.
//
// The take goes on after a resume where it left off: at the seam, one frame interval after the
// last picture before the pause (a picture is shown that long), with the first picture after
// the resume, whose capture instant is put on the seam; when sound comes first, the instant is
// where that picture is due (the first of the pictures' grid, every frame interval from the
// seam, at or after the resume moment). The pictures after a resume so keep their spacing.
// Every track is mapped with the one offset, so sound stays with its pictures; sound is cut at
// the seam before the pause and at that instant after it, so that it goes on without a gap or
// an overlap.
struct PauseTimeline {
    // Total paused time so far, subtracted from every capture timestamp.
    SampleTime offset = SampleTime::zero();
    // Set on resume; the next sample through `map` (or a sound buffer reaching past the resume
    // moment) turns it into offset.
    bool resumePending = false;
    // Latest capture timestamp seen on any track; never moves backwards.
    SampleTime lastSource = SampleTime::invalid();
    // Output time one frame interval after the latest picture (`mapPicture`); invalid before the
    // first picture, when a resume goes on from the latest sample instead.
    SampleTime seam = SampleTime::invalid();
    SampleTime frameInterval = SampleTime::invalid(); // the latest picture's, from `mapPicture`
    // How many gaps were closed; the latest one ends at capture instant `resumedFrom`, and the
    // stretch before it was cut at capture instant `cutFrom` and mapped with `previousOffset`
    // (for sound of that stretch that arrives after the gap was closed).
    uint64_t resumes = 0;
    SampleTime resumedFrom = SampleTime::invalid();
    SampleTime cutFrom = SampleTime::invalid();
    SampleTime previousOffset = SampleTime::zero();
    uint64_t pictureResumes = 0; // `resumes` when the latest picture was mapped

    // The output timestamp for a sample captured at `source`, strictly later than
    // `lastOutput` (the same track's previous result, invalid before its first sample).
    // `resumedAt` is the capture-clock moment of the pending resume when the caller knows it;
    // otherwise `source` stands for it.
    SampleTime map(const SampleTime &source, const SampleTime &lastOutput,
                   const SampleTime &resumedAt = SampleTime::invalid());
    // The same for a picture shown for `interval`: the first picture after a resume is put on the
    // seam, and the seam moves to one interval after the result. Invalid for a picture to leave
    // out: one captured over half an interval before the instant the take goes on from.
    SampleTime mapPicture(const SampleTime &source, const SampleTime &lastOutput, const SampleTime &interval,
                          const SampleTime &resumedAt = SampleTime::invalid());
    // Where the samples of a sound buffer go: `frames` samples at `rate` per second, the first
    // captured at `start`. While `paused`, or before the pending resume's moment `resumedAt`,
    // only sound up to the seam is taken; a track's first sound after a resume starts where the
    // take goes on, or where its sound before the pause ended if that ran past the seam.
    // Updates `track` with what is taken.
    SoundRuns mapSound(const SampleTime &start, int frames, int rate, SoundPlace &track, bool paused,
                       const SampleTime &resumedAt = SampleTime::invalid());
    // Turns a pending resume into offset, for a sample (a `picture` or not) captured at
    // `source`; nothing otherwise.
    void settle(const SampleTime &source, const SampleTime &resumedAt = SampleTime::invalid(), bool picture = false);
    // `source` minus `offsetUsed`, strictly later than `lastOutput`: one tick of the source's
    // timescale (1/600 s without one) after it when not.
    static SampleTime place(const SampleTime &source, const SampleTime &offsetUsed, const SampleTime &lastOutput);
};

// How many of `frames` samples at `rate` per second, the first captured at `start`, lie before
// `limit`: rounded to the nearest sample, 0 ... frames.
int samplesBefore(const SampleTime &start, int frames, int rate, const SampleTime &limit);

} // namespace lumacast
