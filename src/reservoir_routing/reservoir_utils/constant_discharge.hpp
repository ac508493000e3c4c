// Constant-rate outlet.  Plain C++.
#pragma once

#include <optional>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"

namespace quellmar {

// Releases `discharge` at every time while the elevation is inside its gates.
struct ConstantDischargeInfo {
    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;
    double discharge = 0.0;

    Expected<double> get_discharge(const DischargeQuery& query) const {
        if (gate_closed(minimum_elevation, maximum_elevation, query.elevation)) return 0.0;
        return discharge;
    }
};

static_assert(DischargeSource<ConstantDischargeInfo>);

}  // namespace quellmar
