// The outlet interface: one question, "what is the discharge at this
// elevation and this moment?", and the pieces the outlet kinds share.
// Plain C++.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/error.hpp"
#include "core/nan_minmax.hpp"  // nan_min: the caps of the controlled and specified outlets
#include "utils/general.hpp"

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

// One second of a routing run, as an outlet's evaluator is asked about it.
struct Second {
    double elevation;   // the water surface at the second's start
    std::int64_t t;     // the second, counted from the start of the run
    std::size_t ahead;  // its place in the block last prepared: t = first + ahead
};

// The second a single query asks about, outside any prepared block (a query
// without a time asks about second 0).
inline Second second_of(const DischargeQuery& query) {
    return Second{query.elevation, query.duration_secs.value_or(0), 0};
}

// An outlet's answer to a single query: its rule, asked about that one second
// outside any prepared block, so that a query and a routing run give the same
// bits.
template <class Outlet>
Expected<double> discharge_by_rule(const Outlet& outlet, const DischargeQuery& query) {
    typename Outlet::Evaluator rule(outlet);
    return rule.discharge(second_of(query));
}

// An outlet's rule, prepared once for the many seconds of a run; every kind
// has one, with one interface.  `prepare` computes what depends on the time
// alone for the seconds first .. first + count - 1 (first >= 0); then
// `try_discharge` settles a second of that block where it can without an
// error or a search (false: ask `discharge`), and `discharge` answers any
// second in full, as the outlet's get_discharge does.  Both give the same
// bits wherever try_discharge answers.
template <class T>
concept DischargeRule = requires(T& rule, const T& settled, const Second& second, double& q, std::int64_t first,
                                 std::size_t count) {
    rule.prepare(first, count);
    { settled.try_discharge(second, q) } -> std::same_as<bool>;
    { rule.discharge(second) } -> std::same_as<Expected<double>>;
};

// The rule of an outlet whose discharge does not depend on the time: it has
// nothing to compute ahead.
struct TimeIndependent {
    void prepare(std::int64_t, std::size_t) {}
};

// The gate rule of the constant, specified and controlled outlets: closed
// strictly below the lower or strictly above the upper gate (an outlet
// releases at exactly a gate's elevation); a NaN elevation closes neither.
// An absent gate is held as an infinite one, which no elevation passes; a
// gate that no elevation can pass (infinite, or NaN) is not compared at all:
// the comparison would be false for every elevation.
class Gates {
public:
    Gates(const std::optional<double>& minimum_elevation, const std::optional<double>& maximum_elevation)
        : lower_(minimum_elevation ? *minimum_elevation : -std::numeric_limits<double>::infinity()),
          upper_(maximum_elevation ? *maximum_elevation : std::numeric_limits<double>::infinity()),
          has_lower_(lower_ > -std::numeric_limits<double>::infinity()),
          has_upper_(upper_ < std::numeric_limits<double>::infinity()) {}

    bool closed(double elevation) const {
        return (has_lower_ && elevation < lower_) || (has_upper_ && elevation > upper_);
    }

private:
    double lower_;
    double upper_;
    bool has_lower_;  // false when elevation < lower_ holds for no elevation
    bool has_upper_;  // likewise for elevation > upper_
};

// The discharge of a rating-curve outlet at an elevation: a ValueError above
// the curve's last elevation, 0 below its first, otherwise the interpolated
// discharge.  A NaN elevation passes both comparisons and stops the lookup
// with the absent-value failure.  Remembers the curve segment of its last
// answer; reads the curve in place, so the curve must outlive it.
class RatedDischarge {
public:
    explicit RatedDischarge(const ElevationDischarge& curve);

    // Settles an elevation strictly inside the remembered segment (tested
    // first: the common case of a run) or below the curve.
    bool try_discharge(double elevation, double& q) const {
        if (cursor_.holds_inside(elevation)) [[likely]] {
            q = cursor_.value_inside_segment(elevation);
            return true;
        }
        if (elevation < first_) {
            q = 0.0;
            return true;
        }
        return false;
    }

    Expected<double> discharge(double elevation) {
        double q = 0.0;
        if (try_discharge(elevation, q)) return q;
        return search(elevation);
    }

private:
    // Above the curve, NaN, or outside the remembered segment.
    Expected<double> search(double elevation);

    TableCursor cursor_;
    double first_;
    double last_;
};

}  // namespace quellmar
