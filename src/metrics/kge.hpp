// Kling-Gupta efficiency.  Plain C++.
#pragma once

#include <vector>

#include "error.hpp"

namespace quellmar {

// KGE = 1 - sqrt((gamma - 1)^2 + ((beta - 1)^2 + (r - 1)^2)) of `sim` against
// `obs`, with population standard deviations.  Under `use_log` both series
// are first replaced by ln(v + 1e-6), in place: the vectors are the call's
// own copies.  Fails when `obs` is empty, then when the lengths differ.
Expected<double> kling_gupta_efficiency(std::vector<double>& sim, std::vector<double>& obs, bool use_log);

}  // namespace quellmar
