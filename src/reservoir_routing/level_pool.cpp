#include "reservoir_routing/level_pool.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace quellmar {
namespace {

// ---------------------------------------------------------------------------
// The per-second loop is one long chain: elevation -> outlet discharges ->
// storage -> elevation.  Its hot path evaluates the outlets and the
// elevation lookup inline, with the same operations in the same order as
// DischargeInfo::get_discharge and ElevationStorage::get_elevation, and hands
// every case it does not settle itself (an error, a NaN, a lookup outside the
// remembered curve segment) to those functions, so every value, error and
// message stays exactly theirs.

// A rating table read in place, remembering the segment of the last lookup:
// the water surface moves little from one second to the next, so the next
// lookup almost always falls in the same segment and needs no search.
class SegmentTable {
public:
    SegmentTable() = default;
    SegmentTable(const std::vector<double>& x, const std::vector<double>& y) : x_(x.data()), y_(y.data()), n_(x.size()) {}

    // The value of interp1d_validated(v, x, y, ...) when `v` lies in the
    // remembered segment [x[k], x[k + 1]); false otherwise (NaN included).
    bool lookup(double v, double& out) const {
        if (n_ < 2) return false;
        const double x0 = x_[k_];
        const double x1 = x_[k_ + 1];
        if (!(v >= x0 && v < x1)) return false;
        const double y0 = y_[k_];
        if (v == x0) {
            out = y0;
            return true;
        }
        out = y0 + ((v - x0) / (x1 - x0)) * (y_[k_ + 1] - y0);
        return true;
    }

    // Remembers the segment holding `v` (the last one at or beyond the end).
    void seek(double v) {
        if (n_ < 2 || !(v == v)) return;
        const double* end = x_ + n_;
        const std::size_t above = static_cast<std::size_t>(std::upper_bound(x_, end, v) - x_);
        k_ = above == 0 ? 0 : std::min(above - 1, n_ - 2);
    }

private:
    const double* x_ = nullptr;
    const double* y_ = nullptr;
    std::size_t n_ = 0;
    std::size_t k_ = 0;
};

// ContinuousTimeSeries::get_value_in_range for 0 <= d <= max_duration().
inline double sample(const double* data, std::size_t n, double step, double d) {
    const double pos = d / step;
    const double fl = std::floor(pos);
    const std::size_t i = (fl >= 0.0) ? static_cast<std::size_t>(fl) : 0;
    if (i >= n - 1) return data[n - 1];
    const double lo = data[i];
    const double hi = data[i + 1];
    return lo + (pos - static_cast<double>(i)) * (hi - lo);
}

// One outlet, flattened for the hot path.
struct FastOutlet {
    enum class Kind { Constant, Specified, Controlled, Uncontrolled } kind = Kind::Constant;
    std::optional<double> minimum_elevation;
    std::optional<double> maximum_elevation;
    double value = 0.0;   // constant: the discharge; uncontrolled: the offset (0.0 when absent)
    bool has_cap = false;
    double cap = 0.0;     // specified: maximum_release; controlled: maximum_release or +inf
    // specified
    const double* series = nullptr;
    std::size_t series_n = 0;
    double series_step = 1.0;
    double limit = 0.0;
    // controlled and uncontrolled
    double first = 0.0;
    double last = 0.0;
    SegmentTable table;

    bool gate_closed(double e) const {
        return quellmar::gate_closed(minimum_elevation, maximum_elevation, e);
    }

    // rated_discharge when it needs neither an error nor a search.
    bool rated(double e, double& q) {
        if (!(e <= last)) return false;  // above the curve, or NaN
        if (e < first) {
            q = 0.0;
            return true;
        }
        if (table.lookup(e, q)) return true;
        table.seek(e);
        return false;
    }

    // The outlet's discharge at elevation `e` and second `t`; false when the
    // general path must answer.
    bool discharge(double e, double d, double& q) {
        switch (kind) {
            case Kind::Constant:
                q = gate_closed(e) ? 0.0 : value;
                return true;
            case Kind::Specified: {
                if (gate_closed(e)) {
                    q = 0.0;
                    return true;
                }
                if (d > limit || d < 0.0) return false;
                const double v = sample(series, series_n, series_step, d);
                q = has_cap ? min_ignoring_nan(v, cap) : v;
                return true;
            }
            case Kind::Controlled: {
                if (gate_closed(e)) {
                    q = 0.0;
                    return true;
                }
                double r = 0.0;
                if (!rated(e, r)) return false;
                q = min_ignoring_nan(r, cap);
                return true;
            }
            case Kind::Uncontrolled:
                return rated(e + value, q);
        }
        return false;
    }
};

template <class... F>
struct Overload : F... {
    using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

FastOutlet flatten(const DischargeInfo& info) {
    FastOutlet f;
    auto gates = [&f](const std::optional<double>& lo, const std::optional<double>& hi) {
        f.minimum_elevation = lo;
        f.maximum_elevation = hi;
    };
    auto curve = [&f](const ElevationDischarge& c) {
        f.first = c.first_elevation();
        f.last = c.last_elevation();
        f.table = SegmentTable(c.elevation(), c.discharge());
    };
    std::visit(Overload{
                   [&](const ConstantDischargeInfo& o) {
                       f.kind = FastOutlet::Kind::Constant;
                       gates(o.minimum_elevation, o.maximum_elevation);
                       f.value = o.discharge;
                   },
                   [&](const SpecifiedDischargeInfo& o) {
                       f.kind = FastOutlet::Kind::Specified;
                       gates(o.minimum_elevation, o.maximum_elevation);
                       f.has_cap = o.maximum_release.has_value();
                       f.cap = o.maximum_release.value_or(0.0);
                       f.series = o.discharge.data.data();
                       f.series_n = o.discharge.data.size();
                       f.series_step = static_cast<double>(o.discharge.time_step);
                       f.limit = static_cast<double>(o.discharge.max_duration());
                   },
                   [&](const ControlledDischargeInfo& o) {
                       f.kind = FastOutlet::Kind::Controlled;
                       gates(o.minimum_elevation, o.maximum_elevation);
                       f.has_cap = true;
                       f.cap = o.maximum_release ? *o.maximum_release : std::numeric_limits<double>::infinity();
                       curve(o.elevation_discharge);
                   },
                   [&](const UnControlledDischargeInfo& o) {
                       f.kind = FastOutlet::Kind::Uncontrolled;
                       f.value = o.elevation_offset ? *o.elevation_offset : 0.0;
                       curve(o.elevation_discharge);
                   },
               },
               info.outlet);
    return f;
}

}  // namespace

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

    // The routing step is the smaller of the inflow step and one second:
    // always one second, since the step is at least 1.  The grid runs over
    // every second from one inflow step to the last point of the inflow; it
    // is empty for n < 2.
    constexpr double dt_secs = 1.0;
    std::int64_t last = ts - 1;
    if (n >= 2 && __builtin_mul_overflow(static_cast<std::int64_t>(n - 1), ts, &last)) {
        panic("attempt to multiply with overflow");
    }

    std::vector<FastOutlet> fast;
    reserve_exact(fast, outlets.size());
    for (const auto& outlet : outlets) fast.push_back(flatten(outlet.second));
    SegmentTable curve(elevation_storage.storage(), elevation_storage.elevation());
    curve.seek(S);
    for (FastOutlet& f : fast) {
        if (f.kind == FastOutlet::Kind::Controlled || f.kind == FastOutlet::Kind::Uncontrolled) {
            f.table.seek(E + f.value);
        }
    }
    const double* in = inflow.data.data();
    const double in_step = static_cast<double>(ts);
    const std::size_t outlet_count = fast.size();

    // Grid times lie within the inflow (0 < t <= (n - 1) * ts), where
    // sampling cannot fail.  The outlets are evaluated in map order; the
    // first error ends the run.
    Status failed = success();
    auto outflow = [&](std::int64_t t, bool record, double& Q) -> bool {
        const double d = static_cast<double>(t);
        Q = 0.0;
        for (std::size_t k = 0; k < outlet_count; ++k) {
            double q;
            if (!fast[k].discharge(E, d, q)) {
                Expected<double> general = outlets[k].second.get_discharge(DischargeQuery{t, E});
                if (!general) {
                    failed = std::move(general).error();
                    return false;
                }
                q = general.value();
            }
            if (record) individual[k].push_back(q);
            Q = Q + q;
        }
        if (record) total_outflow.push_back(Q);
        return true;
    };
    auto update = [&](std::int64_t t, double Q, bool record) -> bool {
        const double I = sample(in, n, in_step, static_cast<double>(t));
        double a = (I_prev + I) * 0.5;
        a = a * dt_secs;
        const double b = S + a;
        const double c = Q * dt_secs;
        S = b - c;
        S = S > 0.0 ? S : 0.0;  // a NaN storage becomes 0 as well
        double e;
        if (!curve.lookup(S, e)) {
            Expected<double> general = elevation_storage.get_elevation(S);
            if (!general) {
                failed = std::move(general).error();
                return false;
            }
            e = general.value();
            curve.seek(S);
        }
        E = e;
        if (record) {
            storage.push_back(S);
            elevation.push_back(E);
        }
        I_prev = I;
        return true;
    };
    // The outflow at the grid's first time is recorded without a storage
    // update (I_prev keeps I[0]); then every inflow step has ts - 1 plain
    // seconds and a recorded one.
    if (n >= 2) {
        double Q = 0.0;
        if (!outflow(ts, true, Q)) return std::move(failed).error();
        for (std::int64_t record_at = ts + ts; record_at <= last; record_at += ts) {
            for (std::int64_t t = record_at - ts + 1; t < record_at; ++t) {
                if (!outflow(t, false, Q) || !update(t, Q, false)) return std::move(failed).error();
            }
            if (!outflow(record_at, true, Q) || !update(record_at, Q, true)) return std::move(failed).error();
        }
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
