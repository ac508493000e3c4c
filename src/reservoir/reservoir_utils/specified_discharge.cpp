#include "reservoir/reservoir_utils/specified_discharge.hpp"

#include <algorithm>

#include "core/format.hpp"

namespace quellmar {

SpecifiedDischargeInfo::Evaluator::Evaluator(const SpecifiedDischargeInfo& outlet)
    : gates_(outlet.minimum_elevation, outlet.maximum_elevation),
      cap_(outlet.maximum_release),
      series_(&outlet.discharge),
      limit_int_(outlet.discharge.max_duration()),
      limit_(static_cast<double>(limit_int_)) {}

void SpecifiedDischargeInfo::Evaluator::prepare(std::int64_t first, std::size_t count) {
    // The seconds from `first` on within the schedule.  Between 0 and 2^53
    // every second is exact as a double, as is the limit (a whole number of
    // seconds), so they are the seconds up to limit_int_; elsewhere each
    // second is asked in turn.
    constexpr std::int64_t exact = std::int64_t{1} << 53;
    std::size_t within = 0;
    if (first >= 0 && limit_int_ < exact && first <= exact - static_cast<std::int64_t>(count)) {
        if (first <= limit_int_) within = std::min(count, static_cast<std::size_t>(limit_int_ - first) + 1);
    } else {
        while (within < count && within_schedule(static_cast<double>(first + static_cast<std::int64_t>(within)))) {
            ++within;
        }
    }
    releases_.resize(within);
    double* releases = releases_.data();
    series_->sample_seconds(first, within, releases);
    if (cap_) {
        const double cap = *cap_;
        for (std::size_t i = 0; i < within; ++i) releases[i] = nan_min(releases[i], cap);
    }
}

Expected<double> SpecifiedDischargeInfo::Evaluator::discharge(const Second& second) const {
    const double d = static_cast<double>(second.t);
    if (gates_.closed(second.elevation)) return 0.0;
    if (within_schedule(d)) return capped(series_->get_value_in_range(d));
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
    return discharge_by_rule(*this, query);
}

}  // namespace quellmar
