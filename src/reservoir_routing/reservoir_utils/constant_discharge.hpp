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

    // The outlet's rule, prepared once for many queries.
    class Evaluator {
    public:
        explicit Evaluator(const ConstantDischargeInfo& outlet)
            : gates_(outlet.minimum_elevation, outlet.maximum_elevation), discharge_(outlet.discharge) {}

        double discharge(double elevation) const { return gates_.closed(elevation) ? 0.0 : discharge_; }

    private:
        Gates gates_;
        double discharge_;
    };

    Expected<double> get_discharge(const DischargeQuery& query) const {
        return Evaluator(*this).discharge(query.elevation);
    }
};

static_assert(DischargeSource<ConstantDischargeInfo>);

}  // namespace quellmar
