// Elevation-storage rating curve of a reservoir.  Plain C++.
#pragma once

#include <vector>

#include "core/error.hpp"
#include "utils/general.hpp"

namespace quellmar {

// Paired elevations and storages, both strictly increasing and of equal
// length.  No minimum length: a curve of zero or one point can be built, and
// every lookup on it is an internal failure carrying the table-length message.
// The invariants are established by `create` and nothing can change them
// afterwards, so lookups need not re-check the ordering of the tables.
class ElevationStorage {
public:
    // Validates in this order: equal lengths, `elevation` ordering, `storage` ordering.
    static Expected<ElevationStorage> create(std::vector<double> elevation, std::vector<double> storage);

    const std::vector<double>& elevation() const noexcept { return elevation_; }
    const std::vector<double>& storage() const noexcept { return storage_; }

    // The storage at `elevation` by linear interpolation; a ValueError outside
    // the curve, an internal failure for NaN or a curve of fewer than 2 points.
    Expected<double> get_storage(double elevation) const;
    // The elevation at `storage`, likewise.
    Expected<double> get_elevation(double storage) const;

    // get_elevation for a run of storages close to each other: remembers the
    // curve segment of its last answer.  Reads the curve in place: the curve
    // must outlive it.
    class ElevationCursor {
    public:
        explicit ElevationCursor(const ElevationStorage& curve) : cursor_(curve.storage_, curve.elevation_) {}

        // Settles a storage strictly inside the remembered segment.
        bool try_elevation(double storage, double& elevation) const {
            if (!cursor_.holds_inside(storage)) return false;
            elevation = cursor_.value_inside_segment(storage);
            return true;
        }

        Expected<double> elevation(double storage);

    private:
        TableCursor cursor_;
    };

private:
    ElevationStorage(std::vector<double> elevation, std::vector<double> storage)
        : elevation_(std::move(elevation)), storage_(std::move(storage)) {}

    std::vector<double> elevation_;
    std::vector<double> storage_;
};

}  // namespace quellmar
