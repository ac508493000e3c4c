// Gated outlet with a rating curve (gate, valve, conduit).  Plain C++.
#pragma once

#include <limits>
#include <optional>

#include "reservoir/reservoir_utils/discharge_source.hpp"
#include "reservoir/reservoir_utils/elevation_discharge.hpp"

namespace quellmar {

// Releases the curve's discharge inside its gates, capped by
// `maximum_release`.  Built through `create`, which keeps the gates within
// the curve: the lower gate is always present and never below the curve's
// first elevation, the upper one, when present, never above its last.
struct ControlledDischargeInfo {
    static constexpr const char* kVariantName = "Controlled";  // in DischargeInfo

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

    // The outlet's rule (DischargeRule); remembers the curve segment of its
    // last answer.  Reads the outlet's curve in place: the outlet must
    // outlive it.
    class Evaluator : public TimeIndependent {
    public:
        explicit Evaluator(const ControlledDischargeInfo& outlet)
            : gates_(outlet.minimum_elevation, outlet.maximum_elevation),
              cap_(outlet.maximum_release ? *outlet.maximum_release : std::numeric_limits<double>::infinity()),
              rated_(outlet.elevation_discharge) {}

        // Settles closed gates and an elevation in the remembered segment.
        bool try_discharge(const Second& second, double& q) const {
            const double elevation = second.elevation;
            if (gates_.closed(elevation)) {
                q = 0.0;
                return true;
            }
            double rated = 0.0;
            if (!rated_.try_discharge(elevation, rated)) return false;
            // A NaN from the curve is left to `discharge`: past this test the
            // cap's own NaN test is known false, and the cap is a single
            // minimum on the chain of the second rather than a select.
            if (rated != rated) [[unlikely]] return false;
            q = capped(rated);
            return true;
        }

        Expected<double> discharge(const Second& second) {
            double q = 0.0;
            if (try_discharge(second, q)) return q;
            Expected<double> rated = rated_.discharge(second.elevation);
            if (!rated) return rated;
            return capped(rated.value());
        }

    private:
        // The cap binds for stretches of a run at most (the elevation moves
        // little from one second to the next): the uncapped case first, as a
        // branch, keeps a minimum off the chain of every second.
        double capped(double rated) const { return nan_min_mostly_first(rated, cap_); }

        Gates gates_;
        double cap_;
        RatedDischarge rated_;
    };

    Expected<double> get_discharge(const DischargeQuery& query) const { return discharge_by_rule(*this, query); }
};

}  // namespace quellmar
