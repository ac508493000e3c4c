#include "reservoir/reservoir_utils/controlled_discharge.hpp"

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

}  // namespace quellmar
