#pragma once

#include <QString>

namespace lumacast {

// The shortest decimal text that reads back as exactly the same double. Whole values keep a
// trailing ".0" ("2.0", "1000000.0", "-1.25", "0.5"); magnitudes of 2^53 and above or below 1e-4
// use exponent notation ("1e+16", "1.5e-05"); "nan", "inf" and "-inf" for the non-finite values.
QString formatDouble(double value);

} // namespace lumacast
