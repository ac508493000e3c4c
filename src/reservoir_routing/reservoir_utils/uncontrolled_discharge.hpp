// Ungated spillway with a rating curve.  Plain C++.
#pragma once

#include <optional>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

namespace quellmar {

// Releases the curve's discharge at the reservoir elevation shifted by
// `elevation_offset` (a weir crest whose curve sits at another datum).  No
// gates, no cap, no use of the simulation time.
struct UnControlledDischargeInfo {
    std::optional<double> elevation_offset;
    ElevationDischarge elevation_discharge;

    Expected<double> get_discharge(const DischargeQuery& query) const {
        const double e = query.elevation + (elevation_offset ? *elevation_offset : 0.0);
        return rated_discharge(elevation_discharge, e);
    }
};

static_assert(DischargeSource<UnControlledDischargeInfo>);

}  // namespace quellmar
