#include "utils/general.hpp"

#include "error.hpp"

namespace quellmar {

void validate_table(std::span<const double> x_values, std::span<const double> y_values) {
    if (x_values.size() != y_values.size()) panic("length of `x_values` and `y_values` should be same.");
    if (x_values.size() < 2) panic("x_values and y_values each must have at least 2 elements.");
    for (std::size_t k = 0; k + 1 < x_values.size(); ++k) {
        if (!(x_values[k] < x_values[k + 1])) panic("`x_values` must must be sorted and can't have duplicates");
    }
    for (std::size_t k = 0; k + 1 < y_values.size(); ++k) {
        if (!(y_values[k] <= y_values[k + 1])) panic("`y_values` must must be sorted");
    }
}

std::optional<double> interp1d_validated(double x, std::span<const double> x_values,
                                         std::span<const double> y_values, std::optional<double> left,
                                         std::optional<double> right) {
    // A NaN query has no position in the ordered table.
    if (x != x) panic_absent();
    const std::size_t n = x_values.size();
    if (n == 0) panic_index(0, 0);
    // Fixed number of halvings, no early exit on equality.
    std::size_t base = 0;
    std::size_t size = n;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (x_values[mid] <= x) base = mid;
        size -= half;
    }
    const double xb = x_values[base];
    if (xb == x) return y_values[base];
    const std::size_t idx = base + (xb < x ? 1 : 0);
    if (idx == 0) return left;
    if (idx == n) return right;
    const double x0 = x_values[idx - 1];
    const double y0 = y_values[idx - 1];
    const double x1 = x_values[idx];
    const double y1 = y_values[idx];
    return y0 + ((x - x0) / (x1 - x0)) * (y1 - y0);
}

}  // namespace quellmar
