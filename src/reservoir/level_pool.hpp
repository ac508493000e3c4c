// Level pool (modified Puls) routing of a hydrograph through a reservoir.
// Plain C++.
#pragma once

#include "core/error.hpp"
#include "core/named_map.hpp"
#include "reservoir/reservoir_utils/discharge_info.hpp"
#include "reservoir/reservoir_utils/elevation_storage.hpp"
#include "utils/time_series.hpp"

namespace quellmar {

struct LevelPoolResult {
    ContinuousTimeSeries reservoir_storage;        // kind "volume"
    ContinuousTimeSeries reservoir_elevation;      // kind "elevation"
    ContinuousTimeSeries reservoir_total_outflow;  // kind "discharge"
    // Per outlet, keyed by outlet name in the order of the outlets; kind "discharge" each.
    NamedMap<ContinuousTimeSeries> reservoir_individual_outflows;
};

// Integrates dS/dt = I - O with an explicit one-second step from one inflow
// step to the end of the inflow, recording at every multiple of the inflow's
// time step.  Outlets are visited in the order of `outlets`.  With n inflow
// values every series holds n - 1 values (n >= 2); a one-value inflow gives
// the initial state alone; an empty inflow is an internal failure.  An
// inflow value or an outlet discharge entering the balance that is NaN or
// infinite fails with ValueError naming the inflow's index or the outlet
// and the second; a negative inflow is a withdrawal, floored at storage 0.
Expected<LevelPoolResult> run_level_pool_routing(const ContinuousTimeSeries& inflow, double initial_elevation,
                                                 const ElevationStorage& elevation_storage,
                                                 const NamedMap<DischargeInfo>& outlets);

}  // namespace quellmar
