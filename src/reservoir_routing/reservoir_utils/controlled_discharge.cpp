#include "reservoir_routing/reservoir_utils/controlled_discharge.hpp"

#include <limits>

namespace quellmar {

ControlledDischargeInfo ControlledDischargeInfo::create(ElevationDischarge elevation_discharge,
                                                        std::optional<double> minimum_elevation,
                                                        std::optional<double> maximum_elevation,
                                                        std::optional<double> maximum_release) {
    const double first = elevation_discharge.first_elevation();
    const double last = elevation_discharge.last_elevation();
    const double lower = (minimum_elevation && *minimum_elevation > first) ? *minimum_elevation : first;
    std::optional<double> upper;
    if (maximum_elevation) upper = (*maximum_elevation < last) ? *maximum_elevation : last;
    return ControlledDischargeInfo{lower, upper, maximum_release, std::move(elevation_discharge)};
}

Expected<double> ControlledDischargeInfo::get_discharge(const DischargeQuery& query) const {
    if (gate_closed(minimum_elevation, maximum_elevation, query.elevation)) return 0.0;
    Expected<double> q = rated_discharge(elevation_discharge, query.elevation);
    if (!q) return q;
    const double cap = maximum_release ? *maximum_release : std::numeric_limits<double>::infinity();
    return min_ignoring_nan(q.value(), cap);
}

}  // namespace quellmar
