// Groundwater baseflow through chains of linear reservoirs.  Plain C++.
#pragma once

#include <cstdint>

#include "core/duration.hpp"
#include "core/error.hpp"
#include "core/named_map.hpp"
#include "utils/time_series.hpp"

namespace quellmar {

// One groundwater layer: its share of the infiltrated rainfall routed through
// `num_reservoir` equal linear reservoirs whose time constants add up to
// `k_duration`.
struct LinearReservoir {
    std::int32_t k_duration = 1;  // whole seconds, >= 1 when built by make_linear_reservoir
    double gw_fraction = 0.0;
    double initial_q = 0.0;
    std::uint64_t num_reservoir = 1;
};

// Validates and builds a layer: the timedelta becomes whole seconds (a
// negative one fails in the conversion), then k_duration >= 1 s,
// 0 <= gw_fraction <= 1 (a NaN passes) and num_reservoir >= 1 are checked in
// that order.
Expected<LinearReservoir> make_linear_reservoir(const Timedelta& k_duration, double gw_fraction, double initial_q,
                                                std::uint64_t num_reservoir);

struct BaseflowResult {
    ContinuousTimeSeries total;            // sum of all layers' flows, "discharge"
    NamedMap<ContinuousTimeSeries> flows;  // each layer's flow, in the order of `layers`
};

// Routes rainfall (inches per step) over `basin_area` acres through every
// layer, in the order given.  Fails when the fractions add up to more than
// 1.000001 (before anything is run) or when a layer's per-stage time
// constant is below half a time step.
Expected<BaseflowResult> linear_reservoir_baseflow(double basin_area, const IncrementalTimeSeries& rainfall,
                                                   const NamedMap<LinearReservoir>& layers);

}  // namespace quellmar
