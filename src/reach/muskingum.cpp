#include "reach/muskingum.hpp"

#include <algorithm>
#include <utility>

#include "core/interrupt.hpp"

namespace quellmar {
namespace {

struct Coefficients {
    double c0, c1, c2;
};

// Once per call: they depend only on dt, k and x.
Coefficients coefficients(double dt, double k, double x) {
    const double two_k = k + k;
    const double a = two_k * x;
    const double b = two_k * (1.0 - x);
    const double d = dt + b;
    return {(dt - a) / d, (dt + a) / d, (b - dt) / d};
}

// Routes values[1..n-1] in place through G consecutive segments at once.
// Segment s at time i needs its own outflow at i - 1 and the outflow of
// segment s - 1 at i - 1 and i, so the G recurrences advance side by side,
// one time step at a time, and their dependent chains overlap instead of
// running one full pass after the other.  Each value is computed exactly as
// a pass of one segment computes it: C2 * O[i-1] + (C1 * I[i-1] + C0 * I[i]).
// `first` is every segment's first outflow, and so (from the second segment
// on) every segment's first inflow; values[0] is the first segment's.
// The time steps are taken in stretches, with a poll (interrupt.hpp) after
// each.
constexpr std::size_t kStretch = std::size_t{1} << 14;

template <int G>
void route_segments(double* values, std::size_t n, double first, const Coefficients& c, InterruptPoll& poll) {
    double previous_in[G];
    double out[G];
    previous_in[0] = values[0];
    for (int s = 1; s < G; ++s) previous_in[s] = first;
    for (int s = 0; s < G; ++s) out[s] = first;
    for (std::size_t i = 1; i < n;) {
        const std::size_t end = std::min(n, i + kStretch);
        poll.count((end - i) * static_cast<std::size_t>(G));
        for (; i < end; ++i) {
            double v = values[i];
            for (int s = 0; s < G; ++s) {
                const double carried = c.c1 * previous_in[s] + c.c0 * v;
                out[s] = c.c2 * out[s] + carried;
                previous_in[s] = v;
                v = out[s];
            }
            values[i] = v;
        }
    }
    values[0] = first;
}

constexpr std::size_t kSegmentsPerSweep = 8;

void route_sweep(double* values, std::size_t n, double first, const Coefficients& c, std::size_t segments,
                 InterruptPoll& poll) {
    switch (segments) {
        case 1: route_segments<1>(values, n, first, c, poll); break;
        case 2: route_segments<2>(values, n, first, c, poll); break;
        case 3: route_segments<3>(values, n, first, c, poll); break;
        case 4: route_segments<4>(values, n, first, c, poll); break;
        case 5: route_segments<5>(values, n, first, c, poll); break;
        case 6: route_segments<6>(values, n, first, c, poll); break;
        case 7: route_segments<7>(values, n, first, c, poll); break;
        default: route_segments<8>(values, n, first, c, poll); break;
    }
}

// Routes `values` in place through `segments` (>= 1) segments.
void route_in_place(std::vector<double>& values, std::optional<double> initial_outflow, double dt, double k,
                    double x, std::uint64_t segments) {
    const std::size_t n = values.size();
    if (n == 0) panic_index(0, 0);
    const double first = initial_outflow ? *initial_outflow : values[0];
    if (n == 1) {
        values[0] = first;
        return;
    }
    const Coefficients c = coefficients(dt, k, x);
    double* data = values.data();
    // The first sweep takes the inflow's own first value as its first
    // inflow; later sweeps start from `first`, which their input holds.
    // Many sub-reaches over a short inflow poll once per many sweeps.
    InterruptPoll poll;
    while (segments > 0) {
        const std::size_t now = static_cast<std::size_t>(std::min<std::uint64_t>(segments, kSegmentsPerSweep));
        route_sweep(data, n, first, c, now, poll);
        segments -= now;
    }
}

}  // namespace

std::vector<double> muskingum_routing(std::vector<double> inflow, std::optional<double> initial_outflow, double dt,
                                      double k, double x) {
    route_in_place(inflow, initial_outflow, dt, k, x, 1);
    return inflow;
}

ContinuousTimeSeries run_muskingum_routing(ContinuousTimeSeries inflow, const Duration& k, double x,
                                           std::int64_t sub_reaches, double initial_outflow) {
    const double dt = static_cast<double>(inflow.time_step);
    const double k_segment = k.as_seconds() / static_cast<double>(sub_reaches);
    // A sub_reaches of 1 or less routes one segment.  Every later segment
    // starts from its own first inflow value, which is the previous
    // segment's first outflow: initial_outflow.
    const std::uint64_t segments = sub_reaches > 1 ? static_cast<std::uint64_t>(sub_reaches) : 1;
    route_in_place(inflow.data, initial_outflow, dt, k_segment, x, segments);
    return discharge_series(std::move(inflow.data), inflow.time_step);
}

}  // namespace quellmar
