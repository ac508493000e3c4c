// The Clark unit hydrograph.  Plain C++.
#pragma once

#include <cstdint>
#include <vector>

#include "core/duration.hpp"
#include "utils/time_series.hpp"

namespace quellmar {

// The number of unit hydrograph ordinates, ceil(tc_s / dt), saturating into
// an unsigned 64-bit count (a NaN or negative ratio gives 0).
std::uint64_t clark_ordinate_count(double tc_s, double dt);

// The translation hydrograph of one inch of excess over the basin: n
// ordinates in cubic feet per second from the dimensionless time-area curve
// spread over the time of concentration `tc_s`.
std::vector<double> clark_translation(std::uint64_t n, double tc_s, double dt, double basin_area);

// Turns excess rainfall (inches per time step) into a runoff hydrograph in
// cubic feet per second: the translation hydrograph routed through a linear
// reservoir of storage coefficient `storage_r`, convolved with the rainfall.
// Result: kind "discharge", the rainfall's time step, m + n - 1 values (m
// zeros when `tc` is zero).  Sizes that cannot be allocated raise
// std::bad_alloc before any work is done.
ContinuousTimeSeries clark_uh(const IncrementalTimeSeries& rainfall, double basin_area, const Duration& tc,
                              const Duration& storage_r);

}  // namespace quellmar
