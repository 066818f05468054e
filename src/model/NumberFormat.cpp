#include "NumberFormat.h"

#include <array>
#include <charconv>
#include <cmath>

namespace lumacast {

QString formatDouble(double value)
{
    if (std::isnan(value))
        return QStringLiteral("nan");
    if (std::isinf(value))
        return value < 0 ? QStringLiteral("-inf") : QStringLiteral("inf");
    if (value == 0)
        return std::signbit(value) ? QStringLiteral("-0.0") : QStringLiteral("0.0");

    // Fixed notation for the range where every whole value is exact; beyond it a fixed form
    // would print digits the double does not hold.
    const double magnitude = std::fabs(value);
    const bool fixed = magnitude >= 1e-4 && magnitude < 9007199254740992.0;
    std::array<char, 400> buffer {};
    const auto result
        = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                        fixed ? std::chars_format::fixed : std::chars_format::scientific);
    QString text = QString::fromLatin1(buffer.data(), result.ptr - buffer.data());
    if (fixed && !text.contains(QLatin1Char('.')))
        text += QStringLiteral(".0");
    return text;
}

} // namespace lumacast
