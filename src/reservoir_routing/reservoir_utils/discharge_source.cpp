#include "reservoir_routing/reservoir_utils/discharge_source.hpp"

#include "format.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"
#include "utils/general.hpp"

namespace quellmar {

Expected<double> rated_discharge(const ElevationDischarge& curve, double elevation) {
    const double last = curve.last_elevation();
    if (elevation > last) {
        return value_error("elevation " + format_double(elevation) +
                           " is above the maximum of the elevation-discharge curve (" + format_double(last) + ").");
    }
    if (elevation < curve.first_elevation()) return 0.0;
    // The curve's invariants are those of a valid table: no need to re-check it.
    const std::optional<double> q =
        interp1d_validated(elevation, curve.elevation(), curve.discharge(), 0.0, std::nullopt);
    if (!q) panic_absent();
    return *q;
}

}  // namespace quellmar
