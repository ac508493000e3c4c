// Constant-rate outlet.  Plain C++.
#pragma once

#include <optional>

#include "reservoir/reservoir_utils/discharge_source.hpp"

namespace quellmar {

// Releases `discharge` at every time while the elevation is inside its gates.
struct ConstantDischargeInfo {
    static constexpr const char* kVariantName = "Constant";  // in DischargeInfo

    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;
    double discharge = 0.0;

    // The outlet's rule (DischargeRule): it settles every second.
    class Evaluator : public TimeIndependent {
    public:
        explicit Evaluator(const ConstantDischargeInfo& outlet)
            : gates_(outlet.minimum_elevation, outlet.maximum_elevation), discharge_(outlet.discharge) {}

        bool try_discharge(const Second& second, double& q) const {
            q = gates_.closed(second.elevation) ? 0.0 : discharge_;
            return true;
        }

        Expected<double> discharge(const Second& second) const {
            double q = 0.0;
            try_discharge(second, q);
            return q;
        }

    private:
        Gates gates_;
        double discharge_;
    };

    Expected<double> get_discharge(const DischargeQuery& query) const { return discharge_by_rule(*this, query); }
};

}  // namespace quellmar
