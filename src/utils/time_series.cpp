#include "utils/time_series.hpp"

#include <algorithm>
#include <cmath>

#include "core/allocation.hpp"
#include "core/format.hpp"
#include "core/platform.hpp"

namespace quellmar {

namespace {

// The stretch of a series that starts at point `index`: that point and the
// difference to the next one.  From the last point on (at the end itself,
// and in a one-point series) the stretch is the last point alone.
struct Stretch {
    bool at_end;
    double lo;
    double difference;  // 0 at the end
};

Stretch stretch_from(const std::vector<double>& data, std::size_t index) {
    const std::size_t n = data.size();
    if (n != 0 && index >= n - 1) return Stretch{true, data[n - 1], 0.0};
    const double lo = at(data, index);
    return Stretch{false, lo, at(data, index + 1) - lo};
}

}  // namespace

double ContinuousTimeSeries::get_value_in_range(double duration) const {
    const double max = static_cast<double>(max_duration());
    double d = duration;
    if (d < 0.0) d = 0.0;
    if (d > max) d = max;
    const double pos = d / static_cast<double>(time_step);
    const double fl = std::floor(pos);
    // NaN and negative positions saturate to index 0.
    const std::size_t i = (fl >= 0.0) ? static_cast<std::size_t>(fl) : 0;
    const Stretch s = stretch_from(data, i);
    if (s.at_end) return s.lo;
    return between_points(s.lo, s.difference, pos - static_cast<double>(i));
}

void ContinuousTimeSeries::sample_seconds(std::int64_t first, std::size_t count, double* out) const {
    const std::int64_t step = time_step;
    const double step_d = static_cast<double>(time_step);
    // Below 2^53 seconds the integer quotient t / step is floor(t / step)
    // of the double division (a quotient that is not whole lies at least
    // 1 / step from the next whole number, more than its rounding error), and
    // a second from 0 on is not clamped at the start; clamping at the end
    // reads the last point, as stretch_from does past it.  So the seconds
    // of one interval between two points share the stretch that
    // get_value_in_range reads for each of them.
    constexpr std::int64_t exact = std::int64_t{1} << 53;
    std::int64_t t = first;
    std::size_t j = 0;
    while (j < count) {
        if (t >= exact || t < 0) {
            out[j++] = get_value_in_range(static_cast<double>(t++));
            continue;
        }
        const std::int64_t i = t / step;
        const std::size_t m = std::min(count - j, static_cast<std::size_t>((i + 1) * step - t));
        const Stretch s = stretch_from(data, static_cast<std::size_t>(i));
        if (s.at_end) {
            std::fill(out + j, out + j + m, s.lo);
        } else {
            const double position = static_cast<double>(i);
            // Two seconds at a time: the same operations lane by lane, so the
            // divisions of neighbouring seconds overlap.
            const Pair lo2 = pair_of(s.lo, s.lo);
            const Pair difference2 = pair_of(s.difference, s.difference);
            const Pair position2 = pair_of(position, position);
            const Pair step2 = pair_of(step_d, step_d);
            std::size_t k = 0;
            for (; k + 2 <= m; k += 2) {
                const std::int64_t s0 = t + static_cast<std::int64_t>(k);
                const Pair seconds = pair_of(static_cast<double>(s0), static_cast<double>(s0 + 1));
                const Pair pos = seconds / step2;
                const Pair v = between_points(lo2, difference2, pos - position2);
                out[j + k] = v[0];
                out[j + k + 1] = v[1];
            }
            for (; k < m; ++k) {
                const double pos = static_cast<double>(t + static_cast<std::int64_t>(k)) / step_d;
                out[j + k] = between_points(s.lo, s.difference, pos - position);
            }
        }
        j += m;
        t += static_cast<std::int64_t>(m);
    }
}

Expected<double> ContinuousTimeSeries::get_value(double duration) const {
    if (duration < -1e-6) {
        return value_error("`duration` " + format_double(duration) + " is less than 0.");
    }
    const std::int64_t max = max_duration();
    if (duration > static_cast<double>(max) + 1e-6) {
        return value_error("`duration` " + format_double(duration) + " is out of range (max " +
                           format_int(max) + ").");
    }
    return get_value_in_range(duration);
}

Expected<IncrementalTimeSeries> IncrementalTimeSeries::disaggregate(std::int32_t target_step) const {
    if (target_step < 30) return value_error("target_step must be >= 30 seconds.");
    const std::int32_t ratio = time_step / target_step;
    if (time_step - ratio * target_step != 0) {
        return value_error("Original time_step (" + format_int(time_step) +
                           ") must be a multiple of target_step (" + format_int(target_step) + ").");
    }
    const double factor = static_cast<double>(target_step) / static_cast<double>(time_step);
    IncrementalTimeSeries out;
    reserve_exact(out.data, mul_sizes(data.size(), static_cast<std::size_t>(ratio)));
    for (double v : data) {
        const double part = factor * v;
        out.data.insert(out.data.end(), static_cast<std::size_t>(ratio), part);
    }
    out.time_step = target_step;
    out.kind = kind;
    return out;
}

Status validate_kind(const std::string& kind) {
    if (kind == kKindDischarge || kind == kKindRainfall || kind == kKindElevation || kind == kKindVolume) {
        return success();
    }
    return value_error("kind must be one of [\"discharge\", \"rainfall\", \"elevation\", \"volume\"]; got '" +
                       kind + "'");
}

std::size_t first_non_finite(const std::vector<double>& values) {
    std::uint64_t any = 0;
    for (const double v : values) any |= non_finite_bit(v);
    if (any == 0) return values.size();
    std::size_t i = 0;
    while (std::isfinite(values[i])) ++i;
    return i;
}

Error non_finite_value(const char* argument, double value, std::size_t index) {
    return value_error(std::string("`") + argument + "` value " + format_double(value) + " at index " +
                       format_int(static_cast<std::int64_t>(index)) + " is not finite.");
}

Expected<std::int32_t> series_time_step(const Timedelta& td) {
    auto d = to_duration(td, "time_step");
    if (!d) return std::move(d).error();
    const std::int32_t step = truncate_to_i32_seconds(d.value());
    if (step < 1) return value_error("time_step must be > 0");
    return step;
}

}  // namespace quellmar
