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

    // The outlet's rule, prepared once for many queries.  The release of a
    // second depends on the time alone: `scheduled` computes it, so that a
    // caller can compute many seconds ahead and hand each to try_discharge.
    // Reads the outlet's series in place: the outlet must outlive it.
    class Evaluator {
    public:
        explicit Evaluator(const SpecifiedDischargeInfo& outlet);

        // True when second `d` lies within the series (0 up to its end).
        bool within_schedule(double d) const { return d >= 0.0 && !(d > limit_); }

        // The capped release at second `d`, within the schedule.
        double scheduled(double d) const { return capped(series_->get_value_in_range(d)); }

        // scheduled() of the seconds first .. first + count - 1 (first >= 0)
        // into out[0 .. count), 0 for those past the schedule's end.
        void schedule(std::int64_t first, std::size_t count, double* out) const;

        // The discharge at `elevation` in second `d`, given `release` =
        // scheduled(d); false where the general path must answer (a time
        // outside the schedule with the gates open).
        bool try_discharge(double elevation, double d, double release, double& q) const {
            if (gates_.closed(elevation)) {
                q = 0.0;
                return true;
            }
            if (!within_schedule(d)) return false;
            q = release;
            return true;
        }

        Expected<double> discharge(double elevation, double d) const;

    private:
        double capped(double v) const { return cap_ ? nan_min(v, *cap_) : v; }

        Gates gates_;
        std::optional<double> cap_;
        const ContinuousTimeSeries* series_;
        std::int64_t limit_int_;
        double limit_;
    };

    Expected<double> get_discharge(const DischargeQuery& query) const;
};

static_assert(DischargeSource<SpecifiedDischargeInfo>);

}  // namespace quellmar
