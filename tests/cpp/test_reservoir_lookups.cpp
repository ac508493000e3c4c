// Checks of the lookups that remember their segment (plain C++, no Python):
// a table cursor, the elevation cursor of a storage curve, the outlets'
// evaluators and the batch sampling of a series must give bit for bit what a
// fresh lookup gives, whatever way and however far the value moves between
// two lookups, errors included.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "reservoir/reservoir_utils/discharge_info.hpp"
#include "reservoir/reservoir_utils/elevation_storage.hpp"
#include "utils/general.hpp"
#include "utils/time_series.hpp"
#include "check.hpp"

using namespace quellmar;

static bool same(const std::optional<double>& a, const std::optional<double>& b) {
    return a.has_value() == b.has_value() && (!a || same(*a, *b));
}

static bool same(const Expected<double>& a, const Expected<double>& b) {
    if (a.ok() != b.ok()) return false;
    if (a.ok()) return same(a.value(), b.value());
    return a.error().type == b.error().type && a.error().message == b.error().message;
}

// A 64-bit linear congruential generator: the same doubles everywhere.
struct Lcg {
    std::uint64_t state;
    double next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * (1.0 / 9007199254740992.0);
    }
};

// The table lookup written out step by step: fixed halvings, then the
// equality test, then left / right, then the segment's interpolation.
static std::optional<double> reference_lookup(double x, const std::vector<double>& xs, const std::vector<double>& ys,
                                              std::optional<double> left, std::optional<double> right) {
    std::size_t base = 0, size = xs.size();
    while (size > 1) {
        const std::size_t half = size / 2;
        if (xs[base + half] <= x) base += half;
        size -= half;
    }
    if (xs[base] == x) return ys[base];
    const std::size_t idx = base + (xs[base] < x ? 1 : 0);
    if (idx == 0) return left;
    if (idx == xs.size()) return right;
    return ys[idx - 1] + ((x - xs[idx - 1]) / (xs[idx] - xs[idx - 1])) * (ys[idx] - ys[idx - 1]);
}

// A walk over [lo, hi] and a little beyond: small moves that stay in a
// segment, moves across one or several segments in both directions, and
// every so often an abscissa exactly or a point past either end.
static std::vector<double> walk(Lcg& g, const std::vector<double>& xs, std::size_t count) {
    const double lo = xs.front(), hi = xs.back(), span = hi - lo;
    std::vector<double> out;
    double x = lo + 0.5 * span;
    for (std::size_t k = 0; k < count; ++k) {
        const double u = g.next();
        if (u < 0.05) {
            x = xs[static_cast<std::size_t>(g.next() * static_cast<double>(xs.size()))];
        } else if (u < 0.08) {
            x = g.next() < 0.5 ? lo - 0.01 * span * g.next() : hi + 0.01 * span * g.next();
        } else {
            const double scale = u < 0.6 ? 1e-4 : (u < 0.9 ? 0.03 : 0.3);
            x += (g.next() - 0.5) * scale * span;
        }
        out.push_back(x);
    }
    return out;
}

// n strictly increasing values from `start`, of magnitudes from 1e-3 to 1e5
// times `spread`, drawn independently and sorted (not summed: then
// y0 + (y1 - y0) is often not y1, and a lookup at a segment's end tells the
// two segments apart).
static std::vector<double> increasing(Lcg& g, std::size_t n, double start, double spread) {
    std::vector<double> v{start};
    while (v.size() < n) {
        v.push_back(start + spread * std::pow(10.0, 8.0 * g.next() - 3.0) * (1.0 + g.next()));
        std::sort(v.begin(), v.end());
        v.erase(std::unique(v.begin(), v.end()), v.end());
    }
    return v;
}

int main() {
    const double inf = std::numeric_limits<double>::infinity();
    Lcg g{12345};

    // A cursor that keeps its segment answers as a fresh search does.
    std::vector<std::pair<std::vector<double>, std::vector<double>>> tables;
    for (std::size_t n : {2u, 3u, 5u, 21u, 41u, 101u}) {
        std::vector<double> ys = increasing(g, n, 0.1, 0.7);
        if (n > 3) ys[2] = ys[1];  // equal neighbours are allowed
        tables.emplace_back(increasing(g, n, -3.0, 0.02), ys);
    }
    // At an abscissa the ordinate itself, not the interpolation: -0 stays
    // -0, and an infinite rise gives no NaN or infinity there.
    tables.push_back({{-1.0, 0.5, 2.0}, {-0.0, -0.0, 3.0}});
    tables.push_back({{0.0, 1.0, 2.0}, {-1e308, 1e308, 1e308}});
    for (const auto& [xs, ys] : tables) {
        TableCursor cursor(xs, ys);
        std::size_t moved = 0;
        double previous = xs[0];
        for (double x : walk(g, xs, 20000)) {
            CHECK(same(cursor.lookup(x, -1.0, std::nullopt), reference_lookup(x, xs, ys, -1.0, std::nullopt)));
            CHECK(same(interp1d_validated(x, xs, ys, 0.0, 7.0), reference_lookup(x, xs, ys, 0.0, 7.0)));
            moved += (x < previous) ? 1 : 0;
            previous = x;
        }
        CHECK(moved > 5000);  // the walk goes down as often as up
        for (std::size_t k = 0; k < xs.size(); ++k) {  // each abscissa from each remembered segment
            for (std::size_t j = 0; j + 1 < xs.size(); ++j) {
                (void)cursor.lookup(0.5 * xs[j] + 0.5 * xs[j + 1], std::nullopt, std::nullopt);
                CHECK(same(cursor.lookup(xs[k], std::nullopt, std::nullopt), std::optional<double>(ys[k])));
            }
        }
    }

    // The storage curve's elevation cursor against get_elevation.
    {
        std::vector<double> elevation = increasing(g, 101, 0.0, 1.0);
        std::vector<double> storage = increasing(g, 101, 0.0, 900.0);
        const ElevationStorage curve = ElevationStorage::create(elevation, storage).value();
        ElevationStorage::ElevationCursor cursor(curve);
        for (double s : walk(g, storage, 20000)) {
            const Expected<double> general = curve.get_elevation(s);
            CHECK(same(cursor.elevation(s), general));
            double e = 0.0;
            if (cursor.try_elevation(s, e)) CHECK(general.ok() && same(e, general.value()));
        }
    }

    // Each outlet kind's evaluator, kept over a walk, against get_discharge.
    {
        std::vector<double> e41 = increasing(g, 41, 30.0, 1e-4);
        std::vector<double> q41 = increasing(g, 41, 0.5, 80.0);
        const ElevationDischarge spill = ElevationDischarge::create(e41, q41).value();
        const double mid = e41[20];
        const ControlledDischargeInfo gate = ControlledDischargeInfo::create(spill, mid - 5.0, mid + 6.0, q41[25]);
        const ControlledDischargeInfo open = ControlledDischargeInfo::create(spill, std::nullopt, std::nullopt, std::nullopt);
        const UnControlledDischargeInfo weir{-1.5, spill};
        const ContinuousTimeSeries release{{3.0, 9.0, 4.5, 12.0, 1.0}, 700, "discharge"};
        const SpecifiedDischargeInfo schedule{mid - 4.0, mid + 4.0, 8.0, release};
        const ConstantDischargeInfo fixed{mid - 2.0, std::nullopt, 15.0};
        const std::vector<DischargeInfo> outlets{{weir}, {gate}, {open}, {schedule}, {fixed}};
        std::vector<DischargeEvaluator> evaluators(outlets.begin(), outlets.end());
        std::vector<double> range{e41.front() - 3.0, e41.back() + 3.0};
        // The walk, then every curve elevation exactly and either side of it.
        std::vector<double> elevations = walk(g, range, 20000);
        for (double e : e41) {
            for (double x : {e, std::nextafter(e, -inf), std::nextafter(e, inf), e + 1.5}) elevations.push_back(x);
        }
        std::size_t errors = 0;
        std::int64_t t = 0;
        for (double e : elevations) {
            t = (t + 37) % 3200;  // past the schedule's end (2800 s) now and then
            for (std::size_t k = 0; k < outlets.size(); ++k) {
                const Expected<double> general = outlets[k].get_discharge(DischargeQuery{t, e});
                errors += general.ok() ? 0 : 1;
                CHECK(same(evaluators[k].discharge(Second{e, t, 0}), general));
            }
        }
        CHECK(errors > 100);  // above the curve, past the schedule
        // Seconds of a block prepared ahead, the schedule's end inside it:
        // where try_discharge settles a second, it agrees with a fresh query
        // of the outlet.
        std::size_t settled = 0;
        for (std::size_t k = 0; k < outlets.size(); ++k) {
            DischargeEvaluator& ev = evaluators[k];
            ev.prepare(1, 3000);
            for (std::size_t i = 0; i < 3000; ++i) {
                for (double e : {elevations[i], mid}) {  // mid: every gate open
                    const std::int64_t second_t = static_cast<std::int64_t>(i) + 1;
                    double q = -1.0;
                    if (!ev.try_discharge(Second{e, second_t, i}, q)) continue;
                    ++settled;
                    const Expected<double> general = outlets[k].get_discharge(DischargeQuery{second_t, e});
                    CHECK(general.ok() && same(q, general.value()));
                }
            }
        }
        CHECK(settled > 20000);
        CHECK(schedule.get_discharge(DischargeQuery{std::nullopt, mid}).error().message ==
              "SpecifiedDischargeInfo requires duration_secs but none was provided.");
    }

    // sample_seconds is get_value_in_range, a second at a time.
    for (std::int32_t step : {1, 3, 60, 900, 3600}) {
        for (std::size_t n : {1u, 2u, 7u}) {
            std::vector<double> data;
            for (std::size_t i = 0; i < n; ++i) data.push_back(g.next() * 100.0);
            const ContinuousTimeSeries s{data, step, "discharge"};
            const std::int64_t end = s.max_duration();
            for (std::int64_t first : {std::int64_t{0}, std::int64_t{1}, end / 2, end}) {
                const std::size_t count = static_cast<std::size_t>(end - first + 1);
                std::vector<double> out(count);
                s.sample_seconds(first, count, out.data());
                for (std::size_t i = 0; i < count; ++i) {
                    CHECK(same(out[i], s.get_value_in_range(static_cast<double>(first + static_cast<std::int64_t>(i)))));
                }
            }
        }
    }

    std::printf("%d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
