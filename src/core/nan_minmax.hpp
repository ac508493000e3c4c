// Minimum and maximum that ignore a NaN operand.  Plain C++.
//
// std::min/std::max return their first operand whenever a comparison with a
// NaN is false, so a NaN on the left survives; std::fmin/std::fmax leave the
// choice between -0 and +0 open.  These helpers fix both: a NaN operand is
// ignored (NaN only when both are NaN) and, on a tie, the first operand is
// returned (so nan_min(-0.0, 0.0) is -0.0 and nan_min(0.0, -0.0) is 0.0).
// The loss model and the outlet caps take their minimum from here.
#pragma once

namespace quellmar {

// A NaN operand is the rare case: marked so, it stays a branch that is
// never taken, and the choice itself a single minimum or maximum, where
// a compiler would otherwise turn both tests into masks computed on every
// call (a loop-carried minimum then waits for all of them).
inline double nan_min(double a, double b) {
    if (a != a) [[unlikely]] return b;
    return b < a ? b : a;
}

inline double nan_max(double a, double b) {
    if (a != a) [[unlikely]] return b;
    return b > a ? b : a;
}

// nan_min and nan_max for a caller whose first operand is nearly always the
// answer (a deficit below its maximum, a gap above 0): the same results,
// with that case first as a branch expected taken, so that a loop-carried
// value passes it without waiting for a minimum or a mask.
inline double nan_min_mostly_first(double a, double b) {
    if (a <= b) [[likely]] return a;  // neither is NaN, and b < a is false
    return nan_min(a, b);
}

inline double nan_max_mostly_first(double a, double b) {
    if (a >= b) [[likely]] return a;  // neither is NaN, and b > a is false
    return nan_max(a, b);
}

}  // namespace quellmar
