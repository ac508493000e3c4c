#include "reservoir_routing/level_pool.hpp"

#include <cstdint>

namespace quellmar {

Expected<LevelPoolResult> run_level_pool_routing(const ContinuousTimeSeries& inflow, double initial_elevation,
                                                 const ElevationStorage& elevation_storage,
                                                 const OutletMap& outlets) {
    Expected<double> initial_storage = elevation_storage.get_storage(initial_elevation);
    if (!initial_storage) return std::move(initial_storage).error();
    double S = initial_storage.value();
    double E = initial_elevation;

    const std::int64_t ts = inflow.time_step;
    if (ts < 1) panic("time_step must be > 0");
    const std::size_t n = inflow.data.size();
    // Recorded values: the initial state plus one per record point after the
    // first grid time, so n - 1 of each for n >= 2.
    const std::size_t records = n >= 2 ? n - 1 : 0;

    std::vector<double> storage;
    std::vector<double> elevation;
    std::vector<double> total_outflow;
    reserve_exact(storage, records > 0 ? records : 1);
    reserve_exact(elevation, records > 0 ? records : 1);
    reserve_exact(total_outflow, records);
    storage.push_back(S);
    elevation.push_back(E);

    double I_prev = at(inflow.data, 0);

    // Every outlet records at the first grid time, so each gets its vector,
    // at its final size, before the loop.
    std::vector<std::vector<double>> individual(records > 0 ? outlets.size() : 0);
    for (auto& v : individual) reserve_exact(v, records);

    // The routing step: the smaller of the inflow step and one second.
    const std::int64_t dt = ts < 1 ? ts : 1;
    const double dt_secs = static_cast<double>(dt);
    // The grid runs over every second from one inflow step to the last point
    // of the inflow; it is empty for n < 2.
    const std::int64_t first = ts;
    std::int64_t last = first - 1;
    if (n >= 2 && __builtin_mul_overflow(static_cast<std::int64_t>(n - 1), ts, &last)) {
        panic("attempt to multiply with overflow");
    }
    std::int64_t next_record = first;  // the next multiple of ts on the grid

    for (std::int64_t t = first; t <= last; t += dt) {
        const bool record = t == next_record;
        if (record) next_record += ts;

        const DischargeQuery query{t, E};
        double Q = 0.0;
        for (std::size_t k = 0; k < outlets.size(); ++k) {
            Expected<double> q = outlets[k].second.get_discharge(query);
            if (!q) return std::move(q).error();
            if (record) individual[k].push_back(q.value());
            Q = Q + q.value();
        }
        if (record) {
            total_outflow.push_back(Q);
            // No storage update at the first grid time; I_prev keeps I[0].
            if (t == first) continue;
        }

        // Grid times lie within the inflow, where sampling cannot fail.
        const double I = inflow.get_value_in_range(static_cast<double>(t));
        double a = (I_prev + I) * 0.5;
        a = a * dt_secs;
        const double b = S + a;
        const double c = Q * dt_secs;
        S = b - c;
        S = S > 0.0 ? S : 0.0;  // a NaN storage becomes 0 as well

        Expected<double> e = elevation_storage.get_elevation(S);
        if (!e) return std::move(e).error();
        E = e.value();
        if (record) {
            storage.push_back(S);
            elevation.push_back(E);
        }
        I_prev = I;
    }

    LevelPoolResult result{
        ContinuousTimeSeries{std::move(storage), inflow.time_step, kKindVolume},
        ContinuousTimeSeries{std::move(elevation), inflow.time_step, kKindElevation},
        ContinuousTimeSeries{std::move(total_outflow), inflow.time_step, kKindDischarge},
        {},
    };
    reserve_exact(result.reservoir_individual_outflows, individual.size());
    for (std::size_t k = 0; k < individual.size(); ++k) {
        result.reservoir_individual_outflows.emplace_back(
            outlets[k].first, ContinuousTimeSeries{std::move(individual[k]), inflow.time_step, kKindDischarge});
    }
    return result;
}

}  // namespace quellmar
