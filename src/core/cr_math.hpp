// The module's own exponential, logarithm and power 1.5, correctly rounded
// to nearest for every double argument.  Plain C++ (no Python.h).
//
// The result of each is the exact mathematical value rounded once to the
// nearest double (ties to even), so it is the same on every platform, CPU and
// compiler, and the same as any other correctly rounded library returns.
// Only IEEE double +, -, *, / and sqrt and 64-bit integer operations are
// used (exact products by splitting, never a fused multiply-add), and every
// table is an exact constant (tools/gen_cr_math_tables.py).
//
// Special values as in C: a NaN argument gives a NaN; cr_exp overflows to
// +inf and underflows through the subnormals to +0; cr_log(+-0) = -inf,
// cr_log(negative) = NaN, cr_log(+inf) = +inf; cr_pow15(+-0) = +0,
// cr_pow15(negative) = NaN, cr_pow15(+inf) = +inf.
#pragma once

#include <cstddef>

namespace quellmar {

double cr_exp(double x) noexcept;
double cr_log(double x) noexcept;
double cr_pow15(double x) noexcept;  // x^1.5

// values[i] = cr_log(values[i]) for every i, two at a time where the
// machine has two-lane vector registers (the same operations, the same bits).
void cr_log_array(double* values, std::size_t n) noexcept;

// The slow paths on their own, for the verification of tools/verify_math.py:
// every argument through the path that otherwise only the hard cases take.
double cr_exp_accurate(double x) noexcept;
double cr_log_accurate(double x) noexcept;
double cr_pow15_exact(double x) noexcept;

}  // namespace quellmar
