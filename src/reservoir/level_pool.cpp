#include "reservoir/level_pool.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/allocation.hpp"
#include "core/compat_strings.hpp"
#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/platform.hpp"

namespace quellmar {
namespace {

// The routing step: the smaller of the inflow step and one second, so one
// second for every series (their step is at least 1).
constexpr double kStepSeconds = 1.0;

// Seconds routed per block.  What depends on the time alone (the inflow
// and the scheduled releases) is computed a block ahead, which leaves the
// dependent chain of each second with what depends on the storage: the
// outlets at the elevation, the mass balance and the elevation lookup.
constexpr std::size_t kBlockSeconds = 2048;

// --- the mass balance ----------------------------------------------------------

// The inflow volume of the step ending at a second, from the inflow at the
// step's start and end.
inline double inflow_volume(double inflow_prev, double inflow) {
    double a = (inflow_prev + inflow) * 0.5;
    a = a * kStepSeconds;
    return a;
}

// The storage at the end of a step: the explicit mass balance with the
// outflow at the step's start, never below 0 (a NaN storage becomes 0 too).
inline double mass_balance(double storage, double inflow_volume, double outflow) {
    const double b = storage + inflow_volume;
    const double c = outflow * kStepSeconds;
    const double s = b - c;
    // An emptied pool is the rare case: as a predicted branch, the floor
    // adds nothing to the chain from one second to the next (a maximum
    // instruction would add its latency to every second).
    if (s > 0.0) [[likely]] return s;
    return 0.0;
}

// A discharge that would enter the mass balance as NaN or an infinity (a
// gap in a release schedule, a NaN on a rating curve): the storage would
// turn NaN and be floored to 0, a full reservoir emptied without a word.
Error non_finite_discharge(const std::string& outlet, double q, std::int64_t t) {
    return value_error("discharge " + format_double(q) + " of outlet '" + outlet + "' at " + format_int(t) +
                       "s is not finite.");
}

// --- the state ---------------------------------------------------------------------

struct PoolState {
    double storage;
    double elevation;
};

// --- the outflow -------------------------------------------------------------------

// The outlets of the run in map order, each with its prepared rule.  The
// total adds the outlets' discharges up in map order.
class Outflow {
public:
    explicit Outflow(const NamedMap<DischargeInfo>& outlets) {
        reserve_exact(outlets_, outlets.size());
        reserve_exact(each_, outlets.size());
        for (const auto& outlet : outlets) {
            outlets_.push_back(Outlet{DischargeEvaluator(outlet.second), &outlet.first});
            each_.push_back(0.0);
        }
    }

    // Computes what depends on the time alone for seconds first .. first + count - 1.
    void prepare(std::int64_t first, std::size_t count) {
        first_ = first;
        for (Outlet& o : outlets_) o.rule.prepare(first, count);
    }

    // The total outflow at `elevation` in second i of the prepared block;
    // false when an outlet needs the general path, or when the total is not
    // finite (the general path names the outlet).
    bool try_total(double elevation, std::size_t i, double& total) const {
        const Second second{elevation, first_ + static_cast<std::int64_t>(i), i};
        double sum = 0.0;
        for (const Outlet& o : outlets_) {
            double q = 0.0;
            if (!o.rule.visit([&](const auto& rule) { return rule.try_discharge(second, q); })) [[unlikely]] {
                return false;
            }
            sum = sum + q;
        }
        if (!std::isfinite(sum)) [[unlikely]] return false;
        total = sum;
        return true;
    }

    // The total outflow at `elevation` in second t, each outlet answering in
    // full; the first error, or the first discharge that is not finite, ends
    // it.  Each outlet's discharge is kept for discharges().
    Expected<double> total(double elevation, std::int64_t t) {
        const Second second{elevation, t, 0};
        double sum = 0.0;
        for (std::size_t k = 0; k < outlets_.size(); ++k) {
            Expected<double> q = outlets_[k].rule.discharge(second);
            if (!q) return q;
            if (!std::isfinite(q.value())) return non_finite_discharge(*outlets_[k].name, q.value(), t);
            each_[k] = q.value();
            sum = sum + q.value();
        }
        return sum;
    }

    const std::vector<double>& discharges() const { return each_; }

private:
    struct Outlet {
        DischargeEvaluator rule;
        const std::string* name;  // the outlet's key in the caller's map
    };
    std::vector<Outlet> outlets_;
    std::vector<double> each_;
    std::int64_t first_ = 0;
};

// --- the record --------------------------------------------------------------------

// The output vectors, created at their final size: the initial state plus one
// state per record point after the first grid time, and the outflows of
// every record point.
class Record {
public:
    Record(std::size_t records, std::size_t outlets, const PoolState& initial) {
        reserve_exact(storage_, records > 0 ? records : 1);
        reserve_exact(elevation_, records > 0 ? records : 1);
        reserve_exact(total_, records);
        // Every outlet records at the first grid time, so each gets its
        // vector before the loop.
        individual_.resize(records > 0 ? outlets : 0);
        for (auto& v : individual_) reserve_exact(v, records);
        state(initial);
    }

    void state(const PoolState& pool) {
        storage_.push_back(pool.storage);
        elevation_.push_back(pool.elevation);
    }

    void outflows(const std::vector<double>& each, double total) {
        for (std::size_t k = 0; k < individual_.size(); ++k) individual_[k].push_back(each[k]);
        total_.push_back(total);
    }

    LevelPoolResult result(const NamedMap<DischargeInfo>& outlets, std::int32_t time_step) && {
        LevelPoolResult r{
            ContinuousTimeSeries{std::move(storage_), time_step, kKindVolume},
            ContinuousTimeSeries{std::move(elevation_), time_step, kKindElevation},
            discharge_series(std::move(total_), time_step),
            {},
        };
        reserve_exact(r.reservoir_individual_outflows, individual_.size());
        for (std::size_t k = 0; k < individual_.size(); ++k) {
            r.reservoir_individual_outflows.emplace_back(outlets[k].first,
                                                         discharge_series(std::move(individual_[k]), time_step));
        }
        return r;
    }

private:
    std::vector<double> storage_;
    std::vector<double> elevation_;
    std::vector<double> total_;
    std::vector<std::vector<double>> individual_;
};

// --- the run -----------------------------------------------------------------------

// Routes the seconds of the grid after the first grid time, block by block.
// A second is first settled on the remembered curve segments alone; where
// that does not answer (a segment change, an error, a NaN), the same second
// is routed again through the outlets' and the curve's general lookups,
// which give every value, error and message.
class Routing {
public:
    Routing(const ContinuousTimeSeries& inflow, const ElevationStorage& curve, const NamedMap<DischargeInfo>& outlets,
            Record& record, const PoolState& initial)
        : inflow_(inflow), elevations_(curve), outflow_(outlets), record_(record), pool_(initial) {
        reserve_exact(inflow_volume_, kBlockSeconds);
    }

    // The first grid time: the outflow is recorded, the storage not updated.
    Status first_record(std::int64_t t) {
        Expected<double> q = outflow_.total(pool_.elevation, t);
        if (!q) return std::move(q).error();
        record_.outflows(outflow_.discharges(), q.value());
        inflow_prev_ = at(inflow_.data, 0);
        return success();
    }

    // Seconds first .. last, where `last` is the next record point or
    // comes before it.
    Status block(std::int64_t first, std::int64_t last, bool ends_on_record) {
        const std::size_t count = static_cast<std::size_t>(last - first + 1);
        prepare(first, count);
        const std::size_t plain = ends_on_record ? count - 1 : count;
        // The state stays a local value in the loop: no store and reload of
        // it on the chain from one second to the next.
        PoolState pool = pool_;
        for (std::size_t i = 0; i < plain; ++i) {
            if (try_second(pool, i, pool)) [[likely]] continue;
            pool_ = pool;
            Status s = general_second(first, i, false);
            if (!s) return s;
            pool = pool_;
        }
        pool_ = pool;
        if (ends_on_record) return general_second(first, count - 1, true);
        return success();
    }

private:
    // What depends on the time alone, for seconds first .. first + count - 1.
    void prepare(std::int64_t first, std::size_t count) {
        inflow_volume_.resize(count);
        double* volume = inflow_volume_.data();
        inflow_.sample_seconds(first, count, volume);
        // In place, from the end: each second's volume needs its own inflow
        // and the one before it.
        const double inflow_prev = inflow_prev_;
        inflow_prev_ = volume[count - 1];
        for (std::size_t i = count - 1; i > 0; --i) volume[i] = inflow_volume(volume[i - 1], volume[i]);
        volume[0] = inflow_volume(inflow_prev, volume[0]);
        outflow_.prepare(first, count);
    }

    // Second i of the block from state `pool`, on the remembered segments
    // alone; false, with `next` untouched, where that does not answer.
    bool try_second(const PoolState& pool, std::size_t i, PoolState& next) const {
        double q = 0.0;
        if (!outflow_.try_total(pool.elevation, i, q)) return false;
        const double storage = mass_balance(pool.storage, inflow_volume_[i], q);
        double elevation = 0.0;
        if (!elevations_.try_elevation(storage, elevation)) [[unlikely]] return false;
        next = PoolState{storage, elevation};
        return true;
    }

    Status general_second(std::int64_t first, std::size_t i, bool record) {
        Expected<double> q = outflow_.total(pool_.elevation, first + static_cast<std::int64_t>(i));
        if (!q) return std::move(q).error();
        if (record) record_.outflows(outflow_.discharges(), q.value());
        const double storage = mass_balance(pool_.storage, inflow_volume_[i], q.value());
        Expected<double> elevation = elevations_.elevation(storage);
        if (!elevation) return std::move(elevation).error();
        pool_ = PoolState{storage, elevation.value()};
        if (record) record_.state(pool_);
        return success();
    }

    const ContinuousTimeSeries& inflow_;
    ElevationStorage::ElevationCursor elevations_;
    Outflow outflow_;
    Record& record_;
    PoolState pool_;
    double inflow_prev_ = 0.0;
    std::vector<double> inflow_volume_;  // of the prepared block
};

}  // namespace

Expected<LevelPoolResult> run_level_pool_routing(const ContinuousTimeSeries& inflow, double initial_elevation,
                                                 const ElevationStorage& elevation_storage,
                                                 const NamedMap<DischargeInfo>& outlets) {
    Expected<double> initial_storage = elevation_storage.get_storage(initial_elevation);
    if (!initial_storage) return std::move(initial_storage).error();
    const PoolState initial{initial_storage.value(), initial_elevation};
    // A gap in the inflow (NaN) or an infinite value would turn the storage
    // NaN, which the balance floors to 0: refused before any routing.
    const std::size_t bad = first_non_finite(inflow.data);
    if (bad != inflow.data.size()) return non_finite_value("inflow", inflow.data[bad], bad);
    const std::int64_t ts = inflow.time_step;
    if (ts < 1) panic("time_step must be > 0");
    const std::size_t n = inflow.data.size();
    const std::size_t records = n >= 2 ? n - 1 : 0;
    Record record(records, outlets.size(), initial);
    // An empty inflow has no first value to start from.
    (void)at(inflow.data, 0);
    if (n < 2) return std::move(record).result(outlets, inflow.time_step);

    // The grid: every second from one inflow step to the inflow's last point.
    std::int64_t last = 0;
    if (mul_overflows(static_cast<std::int64_t>(n - 1), ts, last)) panic(compat::kMultiplyOverflow);
    Routing routing(inflow, elevation_storage, outlets, record, initial);
    Status s = routing.first_record(ts);
    if (!s) return std::move(s).error();
    // Then every inflow step: ts - 1 plain seconds and a recorded one, in
    // blocks that end at a record point or before it.  A long run can be
    // stopped between blocks.
    InterruptPoll poll;
    for (std::int64_t first = ts + 1; first <= last;) {
        const std::int64_t record_at = (first + ts - 1) / ts * ts;
        const std::int64_t end = std::min(record_at, first + static_cast<std::int64_t>(kBlockSeconds) - 1);
        s = routing.block(first, end, end == record_at);
        if (!s) return std::move(s).error();
        poll.count(static_cast<std::uint64_t>(end - first + 1));
        first = end + 1;
    }
    return std::move(record).result(outlets, inflow.time_step);
}

}  // namespace quellmar
