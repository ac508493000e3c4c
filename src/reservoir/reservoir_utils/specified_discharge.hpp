// Outlet with a prescribed release schedule.  Plain C++.
#pragma once

#include <optional>
#include <vector>

#include "reservoir/reservoir_utils/discharge_source.hpp"
#include "utils/time_series.hpp"

namespace quellmar {

// Releases the value of `discharge` at the query's simulation time, inside
// its gates and capped by `maximum_release`.
struct SpecifiedDischargeInfo {
    static constexpr const char* kVariantName = "Specified";  // in DischargeInfo

    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;
    std::optional<double> maximum_release;
    ContinuousTimeSeries discharge;

    // The outlet's rule (DischargeRule).  The release of a second depends
    // on the time alone: `prepare` computes a block of seconds ahead, so that
    // try_discharge only checks the gates.  Reads the outlet's series in
    // place: the outlet must outlive it.
    class Evaluator {
    public:
        explicit Evaluator(const SpecifiedDischargeInfo& outlet);

        void prepare(std::int64_t first, std::size_t count);

        // Settles closed gates and a second of the prepared block within
        // the schedule.
        bool try_discharge(const Second& second, double& q) const {
            if (gates_.closed(second.elevation)) {
                q = 0.0;
                return true;
            }
            if (second.ahead >= releases_.size()) [[unlikely]] return false;
            q = releases_[second.ahead];
            return true;
        }

        Expected<double> discharge(const Second& second) const;

    private:
        // True when second `d` lies within the series (0 up to its end).
        bool within_schedule(double d) const { return d >= 0.0 && !(d > limit_); }
        double capped(double v) const { return cap_ ? nan_min(v, *cap_) : v; }

        Gates gates_;
        std::optional<double> cap_;
        const ContinuousTimeSeries* series_;
        std::int64_t limit_int_;
        double limit_;
        // The capped releases of the prepared block's seconds within the
        // schedule, from its first second on.
        std::vector<double> releases_;
    };

    Expected<double> get_discharge(const DischargeQuery& query) const;
};

}  // namespace quellmar
