// Ordering checks of rating-curve tables.  Plain C++.
#pragma once

#include <cstddef>
#include <span>

namespace quellmar::curve_checks {

// Every adjacent pair (a, b) satisfies a < b; a NaN anywhere in a table of
// two or more values fails.
inline bool strictly_increasing(std::span<const double> values) {
    for (std::size_t k = 0; k + 1 < values.size(); ++k) {
        if (!(values[k] < values[k + 1])) return false;
    }
    return true;
}

// Every adjacent pair (a, b) satisfies a <= b; equal neighbours pass, a NaN fails.
inline bool non_decreasing(std::span<const double> values) {
    for (std::size_t k = 0; k + 1 < values.size(); ++k) {
        if (!(values[k] <= values[k + 1])) return false;
    }
    return true;
}

}  // namespace quellmar::curve_checks
