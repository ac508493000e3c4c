#include "reservoir_routing/reservoir_utils/specified_discharge.hpp"

#include <algorithm>

#include "format.hpp"

namespace quellmar {

SpecifiedDischargeInfo::Evaluator::Evaluator(const SpecifiedDischargeInfo& outlet)
    : gates_(outlet.minimum_elevation, outlet.maximum_elevation),
      cap_(outlet.maximum_release),
      series_(&outlet.discharge),
      limit_int_(outlet.discharge.max_duration()),
      limit_(static_cast<double>(limit_int_)) {}

void SpecifiedDischargeInfo::Evaluator::schedule(std::int64_t first, std::size_t count, double* out) const {
    std::size_t within = 0;
    while (within < count && within_schedule(static_cast<double>(first + static_cast<std::int64_t>(within)))) ++within;
    series_->sample_seconds(first, within, out);
    for (std::size_t k = 0; k < within; ++k) out[k] = capped(out[k]);
    std::fill(out + within, out + count, 0.0);
}

Expected<double> SpecifiedDischargeInfo::Evaluator::discharge(double elevation, double d) const {
    double q = 0.0;
    if (try_discharge(elevation, d, within_schedule(d) ? scheduled(d) : 0.0, q)) return q;
    if (d > limit_) {
        return value_error("simulation duration " + format_double(d) +
                           "s exceeds the specified discharge series length (" + format_int(limit_int_) + "s).");
    }
    // A negative time: get_value's own range checks answer.
    Expected<double> sampled = series_->get_value(d);
    if (!sampled) return std::move(sampled).error();
    return capped(sampled.value());
}

Expected<double> SpecifiedDischargeInfo::get_discharge(const DischargeQuery& query) const {
    if (!query.duration_secs) {
        return runtime_error("SpecifiedDischargeInfo requires duration_secs but none was provided.");
    }
    return Evaluator(*this).discharge(query.elevation, static_cast<double>(*query.duration_secs));
}

}  // namespace quellmar
