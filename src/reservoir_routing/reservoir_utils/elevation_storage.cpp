#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"

#include <string>

#include "format.hpp"
#include "reservoir_routing/reservoir_utils/curve_checks.hpp"
#include "utils/general.hpp"

namespace quellmar {

namespace {

// The table lookup with both tables already known to be ordered and of equal
// length (the curve's invariants).  What the full table validation would still
// catch is a table shorter than 2 points: it runs for exactly that case, so the
// failure and its message stay the same as with a check on every lookup.
std::optional<double> lookup(double x, const std::vector<double>& x_values, const std::vector<double>& y_values) {
    if (x_values.size() < 2) validate_table(x_values, y_values);
    return interp1d_validated(x, x_values, y_values, std::nullopt, std::nullopt);
}

Error outside_curve(const char* what, double value) {
    return value_error(std::string("`") + what + "` " + format_double(value) +
                       " is outside the range of the elevation-storage curve.");
}

}  // namespace

Expected<ElevationStorage> ElevationStorage::create(std::vector<double> elevation, std::vector<double> storage) {
    if (elevation.size() != storage.size()) {
        return value_error("`elevation` and `storage` must have the same length");
    }
    if (!curve_checks::strictly_increasing(elevation)) {
        return value_error("`elevation` must must be sorted and can't have duplicates");
    }
    if (!curve_checks::strictly_increasing(storage)) {
        return value_error("`storage` must must be sorted and can't have duplicates");
    }
    return ElevationStorage(std::move(elevation), std::move(storage));
}

Expected<double> ElevationStorage::get_storage(double elevation) const {
    const std::optional<double> s = lookup(elevation, elevation_, storage_);
    if (!s) return outside_curve("elevation", elevation);
    return *s;
}

Expected<double> ElevationStorage::get_elevation(double storage) const {
    const std::optional<double> e = lookup(storage, storage_, elevation_);
    if (!e) return outside_curve("storage", storage);
    return *e;
}

}  // namespace quellmar
