#include "rainfall_loss/deficit_and_constant.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/allocation.hpp"
#include "core/nan_minmax.hpp"
#include "core/cr_math.hpp"

namespace quellmar {

namespace {

// (mask ? a : b) without a branch: the choice follows the rain, which no
// predictor can guess.  `mask` is all ones or all zeros; the chosen value's
// bits are returned unchanged.
#if defined(__SSE2__)
inline __m128d wet_mask(double r) { return _mm_cmpgt_sd(_mm_set_sd(r), _mm_setzero_pd()); }
inline double pick(__m128d mask, double a, double b) {
    return _mm_cvtsd_f64(_mm_or_pd(_mm_and_pd(mask, _mm_set_sd(a)), _mm_andnot_pd(mask, _mm_set_sd(b))));
}
#else
inline std::uint64_t wet_mask(double r) { return std::uint64_t{0} - static_cast<std::uint64_t>(r > 0.0); }
inline double pick(std::uint64_t mask, double a, double b) {
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) | (std::bit_cast<std::uint64_t>(b) & ~mask));
}
#endif

// A series of n values, written in place by the loop.
IncrementalTimeSeries rainfall_series(std::size_t n, std::int32_t time_step) {
    IncrementalTimeSeries s;
    s.data = filled(n, 0.0);
    s.time_step = time_step;
    s.kind = kKindRainfall;
    return s;
}

}  // namespace

Expected<DeficitConstantResult> deficit_and_constant(const IncrementalTimeSeries& rainfall, double initial_deficit,
                                                     double max_deficit, double constant_loss_per_hr,
                                                     const Timedelta& time_to_dry) {
    auto drying = to_duration(time_to_dry, "time_to_dry");
    if (!drying) return std::move(drying).error();
    const double drying_seconds = drying.value().as_seconds();

    const double dt = static_cast<double>(rainfall.time_step) / 3600.0;  // hours
    // Share of the gap to max_deficit that drying closes in one step:
    // 1 - exp(-dt / drying time in hours).  Without drying time, none.
    double recovery = 0.0;
    if (drying_seconds > 0.0) recovery = 1.0 - cr_exp(dt / (drying_seconds / -3600.0));
    const double loss_per_step = constant_loss_per_hr * dt;

    const std::size_t n = rainfall.data.size();
    DeficitConstantResult out{rainfall_series(n, rainfall.time_step), rainfall_series(n, rainfall.time_step),
                              rainfall_series(n, rainfall.time_step)};
    double* excess_out = out.excess.data.data();
    double* loss_out = out.loss.data.data();
    double* deficit_out = out.deficit.data.data();
    const double* rain = rainfall.data.data();

    // A gap in the rainfall would read as a dry step (NaN is not > 0), an
    // infinite depth as a plausible one: both are refused once the loop has
    // seen every value (collected beside it, not in a pass of its own).
    std::uint64_t gaps = 0;
    double deficit = initial_deficit;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = rain[i];
        gaps |= non_finite_bit(r);
        // Drying runs on every step, wet or dry, before any loss; it also
        // caps an initial deficit above the maximum, and a NaN deficit
        // becomes max_deficit here.
        deficit = nan_min(deficit + recovery * nan_max(max_deficit - deficit, 0.0), max_deficit);
        // The constant loss comes first, then the deficit is filled.  Both
        // outcomes are computed and the step's rain picks one: no branch on
        // whether it rains.
        const double constant = nan_min(r, loss_per_step);
        const double remaining = r - constant;
        const double fill = nan_min(remaining, deficit);
        const auto wet = wet_mask(r);  // r > 0: false for a NaN as well
        deficit = pick(wet, deficit - fill, deficit);
        excess_out[i] = pick(wet, remaining - fill, 0.0);
        loss_out[i] = pick(wet, constant + fill, 0.0);
        deficit_out[i] = deficit;
    }
    if (gaps != 0) {
        const std::size_t bad = first_non_finite(rainfall.data);
        return non_finite_value("rainfall", rainfall.data[bad], bad);
    }
    return out;
}

}  // namespace quellmar
