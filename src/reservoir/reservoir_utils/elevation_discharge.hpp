// Elevation-discharge rating curve of a reservoir outlet.  Plain C++.
#pragma once

#include <vector>

#include "core/error.hpp"

namespace quellmar {

// Paired elevations (strictly increasing) and discharges (non-decreasing), of
// equal length, at least 2 points, no NaN.  These are exactly the conditions
// of a valid lookup table, established once by `create`; the outlets look
// discharges up in it without checking the table again.
class ElevationDischarge {
public:
    // Validates in this order: equal lengths, at least 2 points, `elevation`
    // ordering, `discharge` ordering.
    static Expected<ElevationDischarge> create(std::vector<double> elevation, std::vector<double> discharge);

    const std::vector<double>& elevation() const noexcept { return elevation_; }
    const std::vector<double>& discharge() const noexcept { return discharge_; }
    double first_elevation() const noexcept { return elevation_.front(); }
    double last_elevation() const noexcept { return elevation_.back(); }

private:
    ElevationDischarge(std::vector<double> elevation, std::vector<double> discharge)
        : elevation_(std::move(elevation)), discharge_(std::move(discharge)) {}

    std::vector<double> elevation_;
    std::vector<double> discharge_;
};

}  // namespace quellmar
