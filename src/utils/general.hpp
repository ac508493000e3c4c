// General table interpolation.  Plain C++.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace quellmar {

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

// Checks a lookup table: equal lengths, at least 2 points, strictly
// increasing abscissae, non-decreasing ordinates.  A violation is an
// internal failure (panic) with the table's message.
void validate_table(std::span<const double> x_values, std::span<const double> y_values);

// The search of a table lookup: the last index whose abscissa is <= x, or 0
// when there is none.  A fixed number of halvings (it depends only on the
// table's length), no early exit on equality; a NaN x is an internal failure.
std::size_t table_search(double x, std::span<const double> x_values);

// One segment [x0, x1) of a table, k to k + 1, and the interpolation on it:
// at x0 the ordinate y0 exactly, elsewhere y0 + ((x - x0) / (x1 - x0)) *
// (y1 - y0), the division first, then the product, then the sum.
struct TableSegment {
    double x0 = 0.0;
    double x1 = 0.0;
    double y0 = 0.0;
    double dx = 0.0;  // x1 - x0
    double dy = 0.0;  // y1 - y0

    static TableSegment of(std::span<const double> x_values, std::span<const double> y_values, std::size_t k) {
        const double x1 = x_values[k + 1];
        return TableSegment{x_values[k], x1, y_values[k], x1 - x_values[k], y_values[k + 1] - y_values[k]};
    }

    bool holds(double x) const { return x0 <= x && x < x1; }
    // x strictly between the two abscissae, where the answer is always the
    // interpolation (value without its test for x0).
    bool holds_inside(double x) const { return x0 < x && x < x1; }

    double value(double x) const {
        if (x == x0) return y0;
        return value_inside(x);
    }
    double value_inside(double x) const { return y0 + ((x - x0) / dx) * dy; }
};

// A lookup in a valid table (see validate_table) that remembers the segment
// of its last answer, so that a run of nearby lookups needs no search.  Every
// answer is the one interp1d gives: below the first abscissa `left`, above
// the last `right`, at an abscissa its ordinate, between two the
// interpolation of their segment.  The table is read in place: it must
// outlive the cursor.
class TableCursor {
public:
    // A table shorter than 2 points is an internal failure (validate_table's).
    TableCursor(std::span<const double> x_values, std::span<const double> y_values)
        : x_(x_values), y_(y_values) {
        if (x_.size() < 2) validate_table(x_, y_);
        segment_ = TableSegment::of(x_, y_, 0);
    }

    // True when x lies strictly inside the remembered segment, where
    // value_inside_segment is the answer: one comparison fewer for a run of
    // lookups that settles its common case first and leaves the segment's
    // first abscissa to `lookup`.
    bool holds_inside(double x) const { return segment_.holds_inside(x); }
    double value_inside_segment(double x) const { return segment_.value_inside(x); }

    std::optional<double> lookup(double x, std::optional<double> left, std::optional<double> right) {
        if (segment_.holds(x)) return segment_.value(x);
        return search(x, left, right);
    }

    // The lookup through table_search, remembering the segment found (the
    // first below the table, the last at or above its end).
    std::optional<double> search(double x, std::optional<double> left, std::optional<double> right);

private:
    std::span<const double> x_;
    std::span<const double> y_;
    TableSegment segment_;
};

// Piecewise-linear lookup in a table that validate_table accepted.  Returns
// `left` below the first abscissa, `right` above the last; a NaN query is an
// internal failure.
inline std::optional<double> interp1d_validated(double x, std::span<const double> x_values,
                                                std::span<const double> y_values, std::optional<double> left,
                                                std::optional<double> right) {
    return TableCursor(x_values, y_values).lookup(x, left, right);
}

// Validates both tables, then looks x up.
inline std::optional<double> interp1d(double x, std::span<const double> x_values,
                                      std::span<const double> y_values, std::optional<double> left,
                                      std::optional<double> right) {
    validate_table(x_values, y_values);
    return interp1d_validated(x, x_values, y_values, left, right);
}

}  // namespace quellmar
