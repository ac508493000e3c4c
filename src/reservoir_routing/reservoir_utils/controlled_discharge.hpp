// Gated outlet with a rating curve (gate, valve, conduit).  Plain C++.
#pragma once

#include <optional>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

namespace quellmar {

// Releases the curve's discharge inside its gates, capped by
// `maximum_release`.  Built through `create`, which keeps the gates within
// the curve: the lower gate is always present and never below the curve's
// first elevation, the upper one, when present, never above its last.
struct ControlledDischargeInfo {
    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;
    std::optional<double> maximum_release;
    ElevationDischarge elevation_discharge;

    // Normalises the gates: the lower one becomes the larger of the given
    // value and the curve's first elevation (the first elevation when absent
    // or NaN); the upper one, when given, the smaller of the given value and
    // the curve's last elevation (the last elevation when NaN).
    static ControlledDischargeInfo create(ElevationDischarge elevation_discharge,
                                          std::optional<double> minimum_elevation,
                                          std::optional<double> maximum_elevation,
                                          std::optional<double> maximum_release);

    Expected<double> get_discharge(const DischargeQuery& query) const;
};

static_assert(DischargeSource<ControlledDischargeInfo>);

}  // namespace quellmar
