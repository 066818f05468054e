#include "platform/av/MediaTime.h"

#include <cmath>
#include <limits>
#include <numeric>

namespace lumacast::av {

namespace {

using Int128 = __int128;

// Rounds numerator/denominator to the nearest integer, halves away from zero.
Int128 divideRounded(Int128 numerator, Int128 denominator)
{
    if (denominator < 0) {
        numerator = -numerator;
        denominator = -denominator;
    }
    Int128 quotient = numerator / denominator;
    Int128 remainder = numerator % denominator;
    if (remainder < 0)
        remainder = -remainder;
    if (2 * remainder >= denominator)
        quotient += numerator < 0 ? -1 : 1;
    return quotient;
}

std::int64_t clampToInt64(Int128 v)
{
    if (v > Int128(std::numeric_limits<std::int64_t>::max()))
        return std::numeric_limits<std::int64_t>::max();
    if (v < Int128(std::numeric_limits<std::int64_t>::min()))
        return std::numeric_limits<std::int64_t>::min();
    return std::int64_t(v);
}

// The timescale two numeric times are combined in: their least common multiple when it fits in
// 32 bits, else the larger of the two.
std::int32_t commonTimescale(std::int32_t a, std::int32_t b)
{
    if (a == b)
        return a;
    const std::int64_t l = std::lcm(std::int64_t(a), std::int64_t(b));
    if (l <= std::numeric_limits<std::int32_t>::max())
        return std::int32_t(l);
    return std::max(a, b);
}

int rank(const MediaTime &t)
{
    switch (t.kind) {
    case MediaTime::Kind::NegativeInfinity: return 0;
    case MediaTime::Kind::Numeric: return 1;
    case MediaTime::Kind::PositiveInfinity: return 2;
    default: return -1;
    }
}

} // namespace

MediaTime MediaTime::fromSeconds(double seconds, std::int32_t timescale)
{
    if (std::isnan(seconds) || timescale <= 0)
        return invalid();
    if (std::isinf(seconds))
        return seconds > 0 ? positiveInfinity() : negativeInfinity();
    const long double ticks = std::roundl(static_cast<long double>(seconds) * timescale);
    if (ticks >= static_cast<long double>(std::numeric_limits<std::int64_t>::max()))
        return positiveInfinity();
    if (ticks <= static_cast<long double>(std::numeric_limits<std::int64_t>::min()))
        return negativeInfinity();
    return MediaTime(static_cast<std::int64_t>(ticks), timescale);
}

double MediaTime::seconds() const
{
    switch (kind) {
    case Kind::Numeric: return double(value) / double(timescale);
    case Kind::PositiveInfinity: return std::numeric_limits<double>::infinity();
    case Kind::NegativeInfinity: return -std::numeric_limits<double>::infinity();
    default: return std::numeric_limits<double>::quiet_NaN();
    }
}

MediaTime MediaTime::convertScale(std::int32_t newTimescale) const
{
    if (!isNumeric())
        return *this;
    if (newTimescale <= 0)
        return invalid();
    if (newTimescale == timescale)
        return *this;
    return MediaTime(clampToInt64(divideRounded(Int128(value) * newTimescale, timescale)), newTimescale);
}

bool operator==(const MediaTime &a, const MediaTime &b)
{
    if (a.kind != b.kind)
        return false;
    if (!a.isNumeric())
        return true;
    return Int128(a.value) * b.timescale == Int128(b.value) * a.timescale;
}

std::partial_ordering operator<=>(const MediaTime &a, const MediaTime &b)
{
    const int ra = rank(a), rb = rank(b);
    if (ra < 0 || rb < 0)
        return std::partial_ordering::unordered;
    if (ra != rb)
        return ra <=> rb;
    if (ra != 1)
        return std::partial_ordering::equivalent;
    const Int128 left = Int128(a.value) * b.timescale;
    const Int128 right = Int128(b.value) * a.timescale;
    if (left < right)
        return std::partial_ordering::less;
    if (left > right)
        return std::partial_ordering::greater;
    return std::partial_ordering::equivalent;
}

MediaTime operator+(const MediaTime &a, const MediaTime &b)
{
    if (!a.isValid() || !b.isValid())
        return MediaTime::invalid();
    if (a.isIndefinite() || b.isIndefinite())
        return MediaTime::indefinite();
    if (a.isPositiveInfinity() || b.isPositiveInfinity()) {
        if (a.isNegativeInfinity() || b.isNegativeInfinity())
            return MediaTime::invalid();
        return MediaTime::positiveInfinity();
    }
    if (a.isNegativeInfinity() || b.isNegativeInfinity())
        return MediaTime::negativeInfinity();
    const std::int32_t scale = commonTimescale(a.timescale, b.timescale);
    const Int128 sum = divideRounded(Int128(a.value) * scale, a.timescale)
                     + divideRounded(Int128(b.value) * scale, b.timescale);
    return MediaTime(clampToInt64(sum), scale);
}

MediaTime operator-(const MediaTime &a, const MediaTime &b)
{
    MediaTime negated = b;
    if (b.isNumeric())
        negated.value = -b.value;
    else if (b.isPositiveInfinity())
        negated = MediaTime::negativeInfinity();
    else if (b.isNegativeInfinity())
        negated = MediaTime::positiveInfinity();
    return a + negated;
}

MediaTime MediaTime::operator*(std::int64_t factor) const
{
    if (!isNumeric()) {
        if ((isPositiveInfinity() || isNegativeInfinity()) && factor < 0)
            return isPositiveInfinity() ? negativeInfinity() : positiveInfinity();
        return factor == 0 && (isPositiveInfinity() || isNegativeInfinity()) ? invalid() : *this;
    }
    return MediaTime(clampToInt64(Int128(value) * factor), timescale);
}

QString MediaTime::debugString() const
{
    switch (kind) {
    case Kind::Numeric: return QStringLiteral("%1/%2").arg(value).arg(timescale);
    case Kind::PositiveInfinity: return QStringLiteral("+inf");
    case Kind::NegativeInfinity: return QStringLiteral("-inf");
    case Kind::Indefinite: return QStringLiteral("indefinite");
    default: return QStringLiteral("invalid");
    }
}

MediaTime minimum(const MediaTime &a, const MediaTime &b)
{
    if (!a.isValid() || !b.isValid())
        return MediaTime::invalid();
    return b < a ? b : a;
}

MediaTime maximum(const MediaTime &a, const MediaTime &b)
{
    if (!a.isValid() || !b.isValid())
        return MediaTime::invalid();
    return b > a ? b : a;
}

} // namespace lumacast::av
