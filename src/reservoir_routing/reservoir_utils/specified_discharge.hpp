// Outlet with a prescribed release schedule.  Plain C++.
#pragma once

#include <optional>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "utils/time_series.hpp"

namespace quellmar {

// Releases the value of `discharge` at the query's simulation time, inside
// its gates and capped by `maximum_release`.
struct SpecifiedDischargeInfo {
    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;
    std::optional<double> maximum_release;
    ContinuousTimeSeries discharge;

    Expected<double> get_discharge(const DischargeQuery& query) const;
};

static_assert(DischargeSource<SpecifiedDischargeInfo>);

}  // namespace quellmar
