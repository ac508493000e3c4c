// Kling-Gupta efficiency.  Plain C++.
#pragma once

#include <span>

#include "core/error.hpp"

namespace quellmar {

// KGE = 1 - sqrt((gamma - 1)^2 + ((beta - 1)^2 + (r - 1)^2)) of `sim` against
// `obs`, with population standard deviations.  Under `use_log` both series
// are first transformed into new vectors of ln(v + 1e-6).  The inputs are
// only read.  Fails when `obs` is empty, then when the lengths differ.
// The correlation term is 1 (r = 0) when either series is constant, or when
// their deviations are too small to square in double precision.
Expected<double> kling_gupta_efficiency(std::span<const double> sim, std::span<const double> obs, bool use_log);

}  // namespace quellmar
