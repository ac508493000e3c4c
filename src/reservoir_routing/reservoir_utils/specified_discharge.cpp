#include "reservoir_routing/reservoir_utils/specified_discharge.hpp"

#include "format.hpp"

namespace quellmar {

Expected<double> SpecifiedDischargeInfo::get_discharge(const DischargeQuery& query) const {
    if (!query.duration_secs) {
        return runtime_error("SpecifiedDischargeInfo requires duration_secs but none was provided.");
    }
    const double d = static_cast<double>(*query.duration_secs);
    if (gate_closed(minimum_elevation, maximum_elevation, query.elevation)) return 0.0;
    const std::int64_t limit = discharge.max_duration();
    if (d > static_cast<double>(limit)) {
        return value_error("simulation duration " + format_double(d) +
                           "s exceeds the specified discharge series length (" + format_int(limit) + "s).");
    }
    // From 0 up to the series' last point get_value cannot fail, so its range
    // checks are skipped there; a negative time goes through them.
    double v = 0.0;
    if (d >= 0.0) {
        v = discharge.get_value_in_range(d);
    } else {
        Expected<double> sampled = discharge.get_value(d);
        if (!sampled) return std::move(sampled).error();
        v = sampled.value();
    }
    if (maximum_release) return min_ignoring_nan(v, *maximum_release);
    return v;
}

}  // namespace quellmar
