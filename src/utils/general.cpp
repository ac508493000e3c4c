#include "utils/general.hpp"

#include <algorithm>

#include "core/compat_strings.hpp"
#include "core/error.hpp"

namespace quellmar {

void validate_table(std::span<const double> x_values, std::span<const double> y_values) {
    if (x_values.size() != y_values.size()) panic("length of `x_values` and `y_values` should be same.");
    if (x_values.size() < 2) panic("x_values and y_values each must have at least 2 elements.");
    if (!strictly_increasing(x_values)) panic(compat::kXValuesUnsorted);
    if (!non_decreasing(y_values)) panic(compat::kYValuesUnsorted);
}

std::size_t table_search(double x, std::span<const double> x_values) {
    // A NaN query has no position in the ordered table.
    if (x != x) panic_absent();
    if (x_values.empty()) panic_index(0, 0);
    std::size_t base = 0;
    std::size_t size = x_values.size();
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (x_values[mid] <= x) base = mid;
        size -= half;
    }
    return base;
}

std::optional<double> TableCursor::search(double x, std::optional<double> left, std::optional<double> right) {
    const std::size_t base = table_search(x, x_);
    const std::size_t n = x_.size();
    segment_ = TableSegment::of(x_, y_, std::min(base, n - 2));
    const double xb = x_[base];
    if (xb == x) return y_[base];
    const std::size_t idx = base + (xb < x ? 1 : 0);
    if (idx == 0) return left;
    if (idx == n) return right;
    // x lies strictly inside segment base = idx - 1, the one just remembered.
    return segment_.value(x);
}

}  // namespace quellmar
