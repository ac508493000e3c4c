// Ungated spillway with a rating curve.  Plain C++.
#pragma once

#include <optional>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

namespace quellmar {

// Releases the curve's discharge at the reservoir elevation shifted by
// `elevation_offset` (a weir crest whose curve sits at another datum).  No
// gates, no cap, no use of the simulation time.
struct UnControlledDischargeInfo {
    std::optional<double> elevation_offset;
    ElevationDischarge elevation_discharge;

    // The outlet's rule, prepared once for many queries; remembers the curve
    // segment of its last answer.  Reads the outlet's curve in place: the
    // outlet must outlive it.
    class Evaluator {
    public:
        explicit Evaluator(const UnControlledDischargeInfo& outlet)
            : offset_(outlet.elevation_offset ? *outlet.elevation_offset : 0.0), rated_(outlet.elevation_discharge) {}

        // Settles an elevation below the curve or in the remembered segment.
        bool try_discharge(double elevation, double& q) const { return rated_.try_discharge(elevation + offset_, q); }

        Expected<double> discharge(double elevation) { return rated_.discharge(elevation + offset_); }

    private:
        double offset_;
        RatedDischarge rated_;
    };

    Expected<double> get_discharge(const DischargeQuery& query) const {
        return Evaluator(*this).discharge(query.elevation);
    }
};

static_assert(DischargeSource<UnControlledDischargeInfo>);

}  // namespace quellmar
