#include "reservoir/reservoir_utils/discharge_source.hpp"

#include "core/format.hpp"
#include "reservoir/reservoir_utils/elevation_discharge.hpp"

namespace quellmar {

// The curve's invariants are those of a valid table: no need to re-check it.
RatedDischarge::RatedDischarge(const ElevationDischarge& curve)
    : cursor_(curve.elevation(), curve.discharge()), first_(curve.first_elevation()), last_(curve.last_elevation()) {}

Expected<double> RatedDischarge::search(double elevation) {
    if (elevation > last_) {
        return value_error("elevation " + format_double(elevation) +
                           " is above the maximum of the elevation-discharge curve (" + format_double(last_) + ").");
    }
    const std::optional<double> q = cursor_.search(elevation, 0.0, std::nullopt);
    if (!q) panic_absent();
    return *q;
}

}  // namespace quellmar
