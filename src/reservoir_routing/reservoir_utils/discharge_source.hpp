// The outlet interface: one question, "what is the discharge at this
// elevation and this moment?", and the pieces the outlet kinds share.
// Plain C++.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>

#include "error.hpp"

namespace quellmar {

class ElevationDischarge;

// The argument of get_discharge.
struct DischargeQuery {
    std::optional<std::int64_t> duration_secs;  // elapsed simulation time; routing always supplies it
    double elevation = 0.0;                     // current water surface elevation
};

// An outlet answers a query with its discharge, or with the error that ends
// the routing run.  The answer depends on the query alone: the same query on
// the same outlet always gives the same answer.  Outlets are dispatched
// through the tagged union DischargeInfo, never through virtual calls.
template <class T>
concept DischargeSource = requires(const T& outlet, const DischargeQuery& query) {
    { outlet.get_discharge(query) } -> std::same_as<Expected<double>>;
};

// The gate rule of the constant, specified and controlled outlets: closed
// strictly below the lower or strictly above the upper gate (an outlet
// releases at exactly a gate's elevation); a NaN elevation closes neither.
inline bool gate_closed(const std::optional<double>& minimum_elevation,
                        const std::optional<double>& maximum_elevation, double elevation) {
    if (minimum_elevation && elevation < *minimum_elevation) return true;
    if (maximum_elevation && elevation > *maximum_elevation) return true;
    return false;
}

// The smaller of two values; a NaN on one side yields the other side.
inline double min_ignoring_nan(double a, double b) {
    if (a != a) return b;
    if (b != b) return a;
    return b < a ? b : a;
}

// The discharge of a rating-curve outlet at `elevation`: a ValueError above
// the curve's last elevation, 0 below its first, otherwise the interpolated
// discharge.  A NaN elevation passes both comparisons and stops the lookup
// with the absent-value failure.
Expected<double> rated_discharge(const ElevationDischarge& curve, double elevation);

}  // namespace quellmar
