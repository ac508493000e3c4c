#include "rainfall_transform/clark_uh.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "core/allocation.hpp"
#include "core/interrupt.hpp"
#include "core/platform.hpp"
#include "reach/muskingum.hpp"
#include "core/cr_math.hpp"
#include "core/units.hpp"

namespace quellmar {
namespace {

// The dimensionless time-area curve of the basin: the share of its area that
// drains within the fraction t of the time of concentration is
// kTimeArea * t^1.5 up to t = 0.5, and 1 - kTimeArea * (1 - t)^1.5 after
// (1.414 is the rounded 2^0.5, for which the two halves meet at t = 0.5).
constexpr double kTimeArea = 1.414;

// Adds r * uh[j] into out[j], one rounded product and one rounded sum per
// element.  The elements are independent, so the loop is vectorised; where
// the platform allows, copies for wider vector units run it (the same
// product and sum per element, so the same bits, only more at once).
QUELLMAR_INLINE_INTO_COPIES inline void accumulate_scaled(double* __restrict out, const double* __restrict uh,
                                                          std::size_t n, double r) {
    for (std::size_t j = 0; j < n; ++j) out[j] = out[j] + r * uh[j];
}

using Accumulate = void (*)(double* __restrict, const double* __restrict, std::size_t, double);

void accumulate_baseline(double* __restrict out, const double* __restrict uh, std::size_t n, double r) {
    accumulate_scaled(out, uh, n, r);
}

#if defined(QUELLMAR_X86_64_WIDE)
QUELLMAR_TARGET("avx2")
void accumulate_avx2(double* __restrict out, const double* __restrict uh, std::size_t n, double r) {
    accumulate_scaled(out, uh, n, r);
}
QUELLMAR_TARGET("avx512f")
void accumulate_avx512f(double* __restrict out, const double* __restrict uh, std::size_t n, double r) {
    accumulate_scaled(out, uh, n, r);
}
#endif

Accumulate accumulate_for_this_machine() noexcept {
    switch (x86_64_vector_unit()) {
#if defined(QUELLMAR_X86_64_WIDE)
        case VectorUnit::avx512f: return accumulate_avx512f;
        case VectorUnit::avx2: return accumulate_avx2;
#endif
        default: return accumulate_baseline;
    }
}

}  // namespace

std::uint64_t clark_ordinate_count(double tc_s, double dt) {
    const double ratio = std::ceil(tc_s / dt);
    if (!(ratio > 0.0)) return 0;
    // 2^64 exactly; anything at or above it saturates.
    if (ratio >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(ratio);
}

std::vector<double> clark_translation(std::uint64_t n, double tc_s, double dt, double basin_area) {
    std::vector<double> u;
    reserve_exact(u, static_cast<std::size_t>(n));
    const double step_hours = dt / 3600.0;
    double cumulative = 0.0;
    InterruptPoll poll;
    for (std::uint64_t i = 1; i <= n; ++i) {
        poll.count(1);
        const double t = std::min((dt * static_cast<double>(i)) / tc_s, 1.0);
        double area;
        if (t < 0.5) {
            area = kTimeArea * cr_pow15(t);
        } else {
            const double falling = cr_pow15(1.0 - t) * -kTimeArea;
            area = falling + 1.0;
        }
        u.push_back((((area - cumulative) * basin_area) * kAcreInchPerHourCfs) / step_hours);
        cumulative = area;
    }
    return u;
}

ContinuousTimeSeries clark_uh(const IncrementalTimeSeries& rainfall, double basin_area, const Duration& tc,
                              const Duration& storage_r) {
    const double tc_s = tc.as_seconds();
    const double r_s = storage_r.as_seconds();
    const double dt = static_cast<double>(rainfall.time_step);
    const std::size_t m = rainfall.data.size();

    if (tc_s <= 0.0) return discharge_series(filled(m, 0.0), rainfall.time_step);

    const std::uint64_t n64 = clark_ordinate_count(tc_s, dt);
    if (n64 > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    const std::size_t n = static_cast<std::size_t>(n64);
    // The sizes are settled before the first ordinate is computed, so a time
    // of concentration far too long for the step fails at once.  At most two
    // of the three vectors are alive together: the ordinates and the unit
    // hydrograph, then the unit hydrograph and the result.
    const std::size_t length = add_sizes(m, n) - 1;
    check_allocation(add_sizes(n, std::max(n, length)), sizeof(double));

    // The reservoir consumes the ordinates.
    const std::vector<double> uh = muskingum_routing(clark_translation(n, tc_s, dt, basin_area), 0.0, dt, r_s, 0.0);

    std::vector<double> runoff = filled(length, 0.0);
    double* out = runoff.data();
    const double* rain = rainfall.data.data();
    const Accumulate accumulate = accumulate_for_this_machine();
    InterruptPoll poll;
    for (std::size_t b = 0; b < m; ++b) {
        const double r = rain[b];
        if (r == 0.0) continue;
        accumulate(out + b, uh.data(), n, r);
        poll.count(n);
    }
    return discharge_series(std::move(runoff), rainfall.time_step);
}

}  // namespace quellmar
