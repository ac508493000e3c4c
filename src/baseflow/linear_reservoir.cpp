#include "baseflow/linear_reservoir.hpp"

#include <cmath>

#include "core/allocation.hpp"
#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/units.hpp"

namespace quellmar {

Expected<LinearReservoir> make_linear_reservoir(const Timedelta& k_duration, double gw_fraction, double initial_q,
                                                std::uint64_t num_reservoir) {
    auto k = to_duration(k_duration, "k_duration");
    if (!k) return std::move(k).error();
    const std::int32_t seconds = truncate_to_i32_seconds(k.value());
    if (seconds < 1) return value_error("k_duration must be > 0");
    if (gw_fraction < 0.0 || gw_fraction > 1.0) return value_error("gw_fraction must be between 0 and 1");
    if (num_reservoir == 0) return value_error("num_reservoir must be at least 1");
    return LinearReservoir{seconds, gw_fraction, initial_q, num_reservoir};
}

Expected<BaseflowResult> linear_reservoir_baseflow(double basin_area, const IncrementalTimeSeries& rainfall,
                                                   const NamedMap<LinearReservoir>& layers) {
    // The setters store fractions without a range check: the sum is the one
    // guard against handing out more rainfall than there is.
    if (!layers.empty()) {
        double sum = 0.0;
        for (const auto& [name, layer] : layers) sum = sum + layer.gw_fraction;
        if (sum > 1.000001) return value_error("Total fraction " + format_double(sum) + " > 1.0");
    }

    const std::size_t n = rainfall.data.size();
    const double dt = static_cast<double>(rainfall.time_step) / 3600.0;  // hours
    const double half_dt = dt * 0.5;
    // Acre-inches per hour to cubic feet per second.
    const double area_factor = basin_area * kAcreInchPerHourCfs;

    BaseflowResult result;
    result.total = discharge_series(filled(n, 0.0), rainfall.time_step);
    reserve_exact(result.flows, layers.size());

    // Everything a layer's pass needs, prepared layer by layer in visiting
    // order, so the first failure (stability, or an impossible chain length
    // from a setter) is the one the visiting order meets first.
    struct Chain {
        double fraction;
        double c;
        double d;
        // d * (each stage's outflow at the end of the last step): the product
        // of the recurrence is formed when its stage's outflow is, so that
        // a step's recurrence is one product and one sum on what came
        // before it (the same product of the same two values, a step early).
        double* scaled_stage;
        std::size_t stages;
        double* out;
    };
    std::vector<Chain> chains;
    reserve_exact(chains, layers.size());
    std::vector<std::vector<double>> states;
    reserve_exact(states, layers.size());
    for (const auto& [name, layer] : layers) {
        const double k_per_res = (static_cast<double>(layer.k_duration) / 3600.0) /
                                 static_cast<double>(layer.num_reservoir);
        if (k_per_res < half_dt) {
            return value_error("Stability Error: k_per_res (" + format_fixed(k_per_res, 4) + ") < 0.5*dt (" +
                               format_fixed(half_dt, 4) + "). Increase k_hr or num_reservoir.");
        }
        const double c = dt / (half_dt + k_per_res);
        const double d = 1.0 - c;
        // Every stage of the chain starts at initial_q (held as d * initial_q).
        states.push_back(filled(static_cast<std::size_t>(layer.num_reservoir), d * layer.initial_q));

        ContinuousTimeSeries flow = discharge_series(filled(n, 0.0), rainfall.time_step);
        chains.push_back({layer.gw_fraction, c, d, states.back().data(), states.back().size(), flow.data.data()});
        result.flows.emplace_back(name, std::move(flow));
    }
    if (chains.empty()) return result;

    // The layers are independent, so all of them advance together, one time
    // step at a time: each layer's recurrence is a chain of dependent
    // multiply-adds, and stepping the layers side by side lets those chains
    // overlap.  Each value is computed exactly as in a layer-by-layer pass,
    // and the total still adds the layers in visiting order.
    const double* rain = rainfall.data.data();
    double* total = result.total.data.data();
    // The stages advanced per time step, for the interrupt poll.
    std::uint64_t stages = 0;
    for (const Chain& chain : chains) stages = stages + chain.stages + 1;
    auto run = [&](auto per_hour) {
        InterruptPoll poll;
        for (std::size_t i = 0; i < n; ++i) {
            poll.count(stages);
            const double r = rain[i];
            double sum = 0.0;
            for (Chain& chain : chains) {
                double q = area_factor * per_hour(chain.fraction * r);
                // Each stage: q = c * q + d * (its outflow a step ago).
                for (std::size_t j = 0; j < chain.stages; ++j) {
                    q = chain.c * q + chain.scaled_stage[j];
                    chain.scaled_stage[j] = chain.d * q;
                }
                chain.out[i] = q;
                sum = q + sum;
            }
            total[i] = sum;
        }
    };
    // Depth per step to depth per hour: a division by dt.  When dt is a
    // power of two (steps of 15 or 30 minutes, 1, 2 or 4 hours...), its
    // reciprocal is exact and multiplying by it gives the same double as
    // dividing, for every operand: both are the correctly rounded value of
    // the same real number.  The product is much cheaper than the division.
    int exponent = 0;
    if (std::frexp(dt, &exponent) == 0.5) {
        const double inverse = 1.0 / dt;
        run([inverse](double v) { return v * inverse; });
    } else {
        run([dt](double v) { return v / dt; });
    }
    return result;
}

}  // namespace quellmar
