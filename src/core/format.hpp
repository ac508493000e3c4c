// Number formatting for messages.  Plain C++.
#pragma once

#include <cstdint>
#include <string>

namespace quellmar {

// Standard display form: the shortest decimal digits that read back as the
// same double, never an exponent, no fractional part when integral.
// NaN -> "NaN", infinities -> "inf" / "-inf", negative zero -> "-0".
std::string format_double(double value);

// Debug form: like the display form, but an integral value keeps ".0" and a
// magnitude >= 1e16 or non-zero below 1e-4 is written with an exponent
// ("1e16", "1.5e-7").  Negative zero is "-0.0".
std::string format_double_debug(double value);

// Fixed-point with exactly `decimals` digits after the point (0.25, 4 -> "0.2500").
std::string format_fixed(double value, int decimals);

inline std::string format_int(std::int64_t value) { return std::to_string(value); }

}  // namespace quellmar
