// Number formatting for messages.  Plain C++.
#pragma once

#include <cstdint>
#include <string>

namespace quellmar {

// Standard display form: the shortest decimal digits that read back as the
// same double, never an exponent, no fractional part when integral.
// NaN -> "NaN", infinities -> "inf" / "-inf", negative zero -> "-0".
std::string format_double(double value);

// Fixed-point with exactly `decimals` digits after the point (0.25, 4 -> "0.2500").
std::string format_fixed(double value, int decimals);

inline std::string format_int(std::int64_t value) { return std::to_string(value); }

}  // namespace quellmar
