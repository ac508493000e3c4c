#include "reservoir/reservoir_utils/elevation_discharge.hpp"

#include "core/compat_strings.hpp"
#include "utils/general.hpp"

namespace quellmar {

Expected<ElevationDischarge> ElevationDischarge::create(std::vector<double> elevation, std::vector<double> discharge) {
    if (elevation.size() != discharge.size()) {
        return value_error("`elevation` and `discharge` must have the same length");
    }
    if (elevation.size() < 2) {
        return value_error("`elevation` and `discharge` each must have at least 2 elements.");
    }
    if (!strictly_increasing(elevation)) {
        return value_error(compat::kElevationUnsorted);
    }
    if (!non_decreasing(discharge)) {
        return value_error(compat::kDischargeUnsorted);
    }
    return ElevationDischarge(std::move(elevation), std::move(discharge));
}

}  // namespace quellmar
