#include "rainfall_loss/deficit_and_constant.hpp"

#include <cmath>
#include <cstdint>

#include "core/allocation.hpp"
#include "core/nan_minmax.hpp"
#include "core/cr_math.hpp"

namespace quellmar {

namespace {

// A series of n values, written in place by the loop.
IncrementalTimeSeries rainfall_series(std::size_t n, std::int32_t time_step) {
    IncrementalTimeSeries s;
    s.data = filled(n, 0.0);
    s.time_step = time_step;
    s.kind = kKindRainfall;
    return s;
}

}  // namespace

// The loop of the model, in a namespace of its own (not the anonymous one:
// a file-local function called once is inlined into its caller, whose own
// values, kept across the allocations of the outputs, GCC then keeps in
// memory, the deficit with them, a store and a load on every step's chain).
namespace loss_steps {

// The model's constants for a run.
struct Parameters {
    double recovery;       // share of the gap to max_deficit closed per step
    double max_deficit;
    double loss_per_step;  // the constant loss of one step
};

// Every step of a run from `deficit`, in place in the three outputs; returns
// the non-finite bits of the rainfall seen (0: none).  The state and the
// constants are its parameters: they start here, in registers.
std::uint64_t run_steps(const double* rain, std::size_t n, double deficit, const Parameters p, double* excess_out,
                        double* loss_out, double* deficit_out) {
    const double recovery = p.recovery;
    const double max_deficit = p.max_deficit;
    const double loss_per_step = p.loss_per_step;
    std::uint64_t gaps = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = rain[i];
        gaps |= non_finite_bit(r);
        // Drying runs on every step, wet or dry, before any loss; it also
        // caps an initial deficit above the maximum, and a NaN deficit
        // becomes max_deficit here.  After the first step the deficit is at
        // most max_deficit, so the gap is rarely below 0 and the sum rarely
        // above the maximum.
        deficit = nan_min_mostly_first(deficit + recovery * nan_max_mostly_first(max_deficit - deficit, 0.0),
                                       max_deficit);
        // The constant loss comes first, then the deficit is filled.  Whether
        // it rains depends on the rainfall alone, which is read long before
        // the deficit's chain of the step reaches the choice: as a branch
        // (the hint keeps it one), a wrongly guessed step is known early and
        // costs little, where masks computed on every step would lengthen
        // the chain itself.
        const double constant = nan_min(r, loss_per_step);
        const double remaining = r - constant;
        const double fill = nan_min(remaining, deficit);
        double excess = 0.0;
        double loss = 0.0;
        if (r > 0.0) [[likely]] {  // false for a NaN as well
            deficit = deficit - fill;
            excess = remaining - fill;
            loss = constant + fill;
        }
        excess_out[i] = excess;
        loss_out[i] = loss;
        deficit_out[i] = deficit;
    }
    return gaps;
}

}  // namespace loss_steps

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
    const std::uint64_t gaps =
        loss_steps::run_steps(rain, n, initial_deficit, loss_steps::Parameters{recovery, max_deficit, loss_per_step},
                              excess_out, loss_out, deficit_out);
    if (gaps != 0) {
        const std::size_t bad = first_non_finite(rainfall.data);
        return non_finite_value("rainfall", rainfall.data[bad], bad);
    }
    return out;
}

}  // namespace quellmar
