#include "reach_routing/muskingum.hpp"

#include <utility>

namespace quellmar {

std::vector<double> muskingum_routing(std::vector<double> inflow, std::optional<double> initial_outflow, double dt,
                                      double k, double x) {
    const std::size_t n = inflow.size();
    if (n == 0) panic_index(0, 0);
    const double first = initial_outflow ? *initial_outflow : inflow[0];

    std::vector<double> outflow;
    reserve_exact(outflow, n);
    outflow.push_back(first);
    if (n == 1) return outflow;

    // Once per segment: they depend only on dt, k and x.
    const double two_k = k + k;
    const double a = two_k * x;
    const double b = two_k * (1.0 - x);
    const double d = dt + b;
    const double c0 = (dt - a) / d;
    const double c1 = (dt + a) / d;
    const double c2 = (b - dt) / d;

    const double* in = inflow.data();
    double previous_in = in[0];
    double out = first;
    for (std::size_t i = 1; i < n; ++i) {
        const double current_in = in[i];
        const double carried = c1 * previous_in + c0 * current_in;
        out = c2 * out + carried;
        outflow.push_back(out);
        previous_in = current_in;
    }
    return outflow;
}

ContinuousTimeSeries route_reach(ContinuousTimeSeries inflow, const Duration& k, double x,
                                 std::int64_t sub_reaches, double initial_outflow) {
    const double dt = static_cast<double>(inflow.time_step);
    const double k_segment = k.as_seconds() / static_cast<double>(sub_reaches);

    std::vector<double> outflow = muskingum_routing(std::move(inflow.data), initial_outflow, dt, k_segment, x);
    // Every later segment starts from its own first inflow value, which is
    // the previous segment's first outflow.
    for (std::int64_t s = 1; s < sub_reaches; ++s) {
        outflow = muskingum_routing(std::move(outflow), std::nullopt, dt, k_segment, x);
    }

    ContinuousTimeSeries result;
    result.data = std::move(outflow);
    result.time_step = inflow.time_step;
    result.kind = kKindDischarge;
    return result;
}

}  // namespace quellmar
