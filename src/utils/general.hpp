// General table interpolation.  Plain C++.
#pragma once

#include <optional>
#include <span>

namespace quellmar {

// Checks a lookup table: equal lengths, at least 2 points, strictly
// increasing abscissae, non-decreasing ordinates.  A violation is an
// internal failure (panic) with the table's message.
void validate_table(std::span<const double> x_values, std::span<const double> y_values);

// Piecewise-linear lookup in a table that validate_table accepted.  Returns
// `left` below the first abscissa, `right` above the last; a NaN query is an
// internal failure.
std::optional<double> interp1d_validated(double x, std::span<const double> x_values,
                                         std::span<const double> y_values, std::optional<double> left,
                                         std::optional<double> right);

// Validates both tables, then looks x up.
inline std::optional<double> interp1d(double x, std::span<const double> x_values,
                                      std::span<const double> y_values, std::optional<double> left,
                                      std::optional<double> right) {
    validate_table(x_values, y_values);
    return interp1d_validated(x, x_values, y_values, left, right);
}

}  // namespace quellmar
