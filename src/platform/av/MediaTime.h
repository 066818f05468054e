#pragma once

#include <QString>

#include <compare>
#include <cstdint>

namespace lumacast::av {

// A point or length on a media timeline: `value` ticks of 1/`timescale` seconds. Times of
// different timescales compare and add exactly. Besides numeric times there are the invalid
// time, the two infinities and the indefinite time (an unknown length); they are ordered as
// invalid/indefinite (not comparable as numbers) < -inf < numbers < +inf.
struct MediaTime {
    enum class Kind : std::uint8_t { Invalid, Numeric, PositiveInfinity, NegativeInfinity, Indefinite };

    std::int64_t value = 0;
    std::int32_t timescale = 0;
    Kind kind = Kind::Invalid;

    constexpr MediaTime() = default;
    constexpr MediaTime(std::int64_t v, std::int32_t scale)
        : value(v), timescale(scale), kind(scale > 0 ? Kind::Numeric : Kind::Invalid)
    {
    }

    static constexpr MediaTime zero() { return MediaTime(0, 1); }
    static constexpr MediaTime invalid() { return MediaTime(); }
    static constexpr MediaTime positiveInfinity() { return special(Kind::PositiveInfinity); }
    static constexpr MediaTime negativeInfinity() { return special(Kind::NegativeInfinity); }
    static constexpr MediaTime indefinite() { return special(Kind::Indefinite); }

    // Seconds to a time of `timescale` (600 unless told), rounded to the nearest tick with
    // halves away from zero. NaN gives the invalid time, infinities the infinite ones.
    static MediaTime fromSeconds(double seconds, std::int32_t timescale = 600);

    bool isValid() const { return kind != Kind::Invalid; }
    bool isNumeric() const { return kind == Kind::Numeric; }
    bool isPositiveInfinity() const { return kind == Kind::PositiveInfinity; }
    bool isNegativeInfinity() const { return kind == Kind::NegativeInfinity; }
    bool isIndefinite() const { return kind == Kind::Indefinite; }

    // NaN for invalid and indefinite times, +-infinity for the infinities.
    double seconds() const;

    // The same time expressed in another timescale, rounded to the nearest tick (halves away from
    // zero). Non-numeric times keep their kind.
    MediaTime convertScale(std::int32_t newTimescale) const;

    // Exact comparison: 1/30 s equals 20/600 s. Invalid and indefinite times are equal only to a
    // time of the same kind and unordered against numbers (every ordering operator is false).
    friend bool operator==(const MediaTime &a, const MediaTime &b);
    friend std::partial_ordering operator<=>(const MediaTime &a, const MediaTime &b);

    // Addition and subtraction are exact when the common timescale (the least common multiple)
    // fits; otherwise the result is in the larger timescale, rounded. Invalid operands give the
    // invalid time; infinities behave as in floating point (inf - inf is invalid).
    friend MediaTime operator+(const MediaTime &a, const MediaTime &b);
    friend MediaTime operator-(const MediaTime &a, const MediaTime &b);
    MediaTime &operator+=(const MediaTime &other) { return *this = *this + other; }
    MediaTime &operator-=(const MediaTime &other) { return *this = *this - other; }
    // Multiplies by a whole number (a frame duration times a frame count).
    MediaTime operator*(std::int64_t factor) const;

    // "value/timescale" for numeric times, "invalid", "+inf", "-inf" or "indefinite" otherwise.
    QString debugString() const;

private:
    static constexpr MediaTime special(Kind k)
    {
        MediaTime t;
        t.kind = k;
        return t;
    }
};

MediaTime minimum(const MediaTime &a, const MediaTime &b);
MediaTime maximum(const MediaTime &a, const MediaTime &b);

// A stretch of a media timeline.
struct MediaTimeRange {
    MediaTime start = MediaTime::zero();
    MediaTime duration = MediaTime::zero();

    MediaTime end() const { return start + duration; }
    bool isEmpty() const { return !(duration > MediaTime::zero()); }
    // Half-open: the start is inside, the end is not.
    bool contains(const MediaTime &time) const { return time >= start && time < end(); }
    friend bool operator==(const MediaTimeRange &, const MediaTimeRange &) = default;
};

} // namespace lumacast::av
