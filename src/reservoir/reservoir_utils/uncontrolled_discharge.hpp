// Ungated spillway with a rating curve.  Plain C++.
#pragma once

#include <optional>

#include "reservoir/reservoir_utils/discharge_source.hpp"
#include "reservoir/reservoir_utils/elevation_discharge.hpp"

namespace quellmar {

// Releases the curve's discharge at the reservoir elevation shifted by
// `elevation_offset` (a weir crest whose curve sits at another datum).  No
// gates, no cap, no use of the simulation time.
struct UnControlledDischargeInfo {
    static constexpr const char* kVariantName = "Uncontrolled";  // in DischargeInfo

    std::optional<double> elevation_offset;
    ElevationDischarge elevation_discharge;

    // The outlet's rule (DischargeRule); remembers the curve segment of its
    // last answer.  Reads the outlet's curve in place: the outlet must
    // outlive it.
    class Evaluator : public TimeIndependent {
    public:
        explicit Evaluator(const UnControlledDischargeInfo& outlet)
            : offset_(outlet.elevation_offset ? *outlet.elevation_offset : 0.0), rated_(outlet.elevation_discharge) {}

        // Settles an elevation below the curve or in the remembered segment.
        bool try_discharge(const Second& second, double& q) const {
            return rated_.try_discharge(second.elevation + offset_, q);
        }

        Expected<double> discharge(const Second& second) { return rated_.discharge(second.elevation + offset_); }

    private:
        double offset_;
        RatedDischarge rated_;
    };

    Expected<double> get_discharge(const DischargeQuery& query) const { return discharge_by_rule(*this, query); }
};

}  // namespace quellmar
