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


// Closes paused stretches out of a take's timeline. One timeline serves every track of a take;
// each track keeps its own last output time and hands it in. Used only on the recorder's sample
// queue, so it needs no lock.
struct PauseTimeline {
    // Total paused time so far, subtracted from every capture timestamp.
    SampleTime offset = SampleTime::zero();
    // Set on resume; the next sample through `map` turns the gap since `lastSource` into offset.
    bool resumePending = false;
    // Latest capture timestamp seen on any track; never moves backwards.
    SampleTime lastSource = SampleTime::invalid();

    // The output timestamp for a sample captured at `source`, strictly later than
    // `lastOutput` (the same track's previous result, invalid before its first sample).
    SampleTime map(const SampleTime &source, const SampleTime &lastOutput);
};

} // namespace lumacast
