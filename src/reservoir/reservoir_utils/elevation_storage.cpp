#include "reservoir/reservoir_utils/elevation_storage.hpp"

#include <string>

#include "core/compat_strings.hpp"
#include "core/format.hpp"
#include "utils/general.hpp"

namespace quellmar {

namespace {

Error outside_curve(const char* what, double value) {
    return value_error(std::string("`") + what + "` " + format_double(value) +
                       " is outside the range of the elevation-storage curve.");
}

}  // namespace

Expected<ElevationStorage> ElevationStorage::create(std::vector<double> elevation, std::vector<double> storage) {
    if (elevation.size() != storage.size()) {
        return value_error("`elevation` and `storage` must have the same length");
    }
    if (!strictly_increasing(elevation)) {
        return value_error(compat::kElevationUnsorted);
    }
    if (!strictly_increasing(storage)) {
        return value_error(compat::kStorageUnsorted);
    }
    return ElevationStorage(std::move(elevation), std::move(storage));
}

// The curve's ordering is checked by `create`; what a table cursor still
// checks is a table shorter than 2 points, the internal failure of every
// lookup on such a curve.
Expected<double> ElevationStorage::get_storage(double elevation) const {
    const std::optional<double> s = TableCursor(elevation_, storage_).lookup(elevation, std::nullopt, std::nullopt);
    if (!s) return outside_curve("elevation", elevation);
    return *s;
}

Expected<double> ElevationStorage::get_elevation(double storage) const {
    return ElevationCursor(*this).elevation(storage);
}

Expected<double> ElevationStorage::ElevationCursor::elevation(double storage) {
    const std::optional<double> e = cursor_.lookup(storage, std::nullopt, std::nullopt);
    if (!e) return outside_curve("storage", storage);
    return *e;
}

}  // namespace quellmar
