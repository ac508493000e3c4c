#include "rainfall_loss/deficit_and_constant.hpp"

#include <cmath>

#include "rainfall_loss/nan_minmax.hpp"

namespace quellmar {

namespace {

IncrementalTimeSeries rainfall_series(std::size_t n, std::int32_t time_step) {
    IncrementalTimeSeries s;
    reserve_exact(s.data, n);
    s.time_step = time_step;
    s.kind = kKindRainfall;
    return s;
}

}  // namespace

Expected<DeficitConstantResult> deficit_and_constant(const IncrementalTimeSeries& rainfall, double initial_deficit,
                                                     double max_deficit, double constant_loss_per_hr,
                                                     const Timedelta& time_to_dry) {
    auto drying = to_duration(time_to_dry);
    if (!drying) return std::move(drying).error();
    const double drying_seconds = drying.value().as_seconds();

    const double dt = static_cast<double>(rainfall.time_step) / 3600.0;  // hours
    // Share of the gap to max_deficit that drying closes in one step:
    // 1 - exp(-dt / drying time in hours).  Without drying time, none.
    double recovery = 0.0;
    if (drying_seconds > 0.0) recovery = 1.0 - std::exp(dt / (drying_seconds / -3600.0));
    const double loss_per_step = constant_loss_per_hr * dt;

    const std::size_t n = rainfall.data.size();
    DeficitConstantResult out{rainfall_series(n, rainfall.time_step), rainfall_series(n, rainfall.time_step),
                              rainfall_series(n, rainfall.time_step)};

    double deficit = initial_deficit;
    for (const double r : rainfall.data) {
        // Drying runs on every step, wet or dry, before any loss; it also
        // caps an initial deficit above the maximum, and a NaN deficit
        // becomes max_deficit here.
        deficit = nan_min(deficit + recovery * nan_max(max_deficit - deficit, 0.0), max_deficit);
        double excess = 0.0;
        double loss = 0.0;
        if (r > 0.0) {
            // The constant loss comes first, then the deficit is filled.
            const double constant = nan_min(r, loss_per_step);
            const double remaining = r - constant;
            const double fill = nan_min(remaining, deficit);
            deficit = deficit - fill;
            excess = remaining - fill;
            loss = constant + fill;
        }
        out.excess.data.push_back(excess);
        out.loss.data.push_back(loss);
        out.deficit.data.push_back(deficit);
    }
    return out;
}

}  // namespace quellmar
