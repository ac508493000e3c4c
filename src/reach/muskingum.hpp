// Muskingum routing through a channel reach.  Plain C++.
//
// `muskingum_routing` routes one segment; `run_muskingum_routing` passes the
// hydrograph through its equal sub-reaches one after the other.  The one-
// segment routine is also the linear reservoir of the Clark transform
// (weighting factor 0, initial outflow 0).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/duration.hpp"
#include "utils/time_series.hpp"

namespace quellmar {

inline constexpr const char* kMuskingumRangeWarning = "`x` is outside the recommended range [0.0, 0.5].";

// True when `x` deserves the range warning: below 0, above 0.5, or NaN.
inline bool muskingum_x_outside_range(double x) { return !(x >= 0.0 && x <= 0.5); }

// Routes `inflow` through one segment with time step `dt` and storage
// constant `k` (both in seconds) and weighting factor `x`.  The input vector
// is consumed; the result is a new vector of the same length whose first
// value is `initial_outflow`, or the first inflow value when it is absent.
// An empty inflow is an internal failure (index 0 of an empty vector).
std::vector<double> muskingum_routing(std::vector<double> inflow, std::optional<double> initial_outflow, double dt,
                                      double k, double x);

// Routes `inflow` through `sub_reaches` equal segments, each with the storage
// constant k / sub_reaches.  A `sub_reaches` of 1 or less routes one segment
// (0 or below are used as they come in the per-segment constant).  The
// range warning on `x` is the caller's: it comes before `k` is converted.
// Result: kind "discharge", the inflow's time step, as many values as the
// inflow.
ContinuousTimeSeries run_muskingum_routing(ContinuousTimeSeries inflow, const Duration& k, double x,
                                           std::int64_t sub_reaches, double initial_outflow);

}  // namespace quellmar
