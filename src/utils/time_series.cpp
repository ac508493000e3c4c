#include "utils/time_series.hpp"

#include <algorithm>
#include <cmath>

#include "format.hpp"
#include "platform.hpp"

namespace quellmar {

double ContinuousTimeSeries::get_value_in_range(double duration) const {
    const double max = static_cast<double>(max_duration());
    double d = duration;
    if (d < 0.0) d = 0.0;
    if (d > max) d = max;
    const double pos = d / static_cast<double>(time_step);
    const double fl = std::floor(pos);
    // NaN and negative positions saturate to index 0.
    const std::size_t i = (fl >= 0.0) ? static_cast<std::size_t>(fl) : 0;
    const std::size_t n = data.size();
    if (n != 0 && i >= n - 1) return data[n - 1];
    const double lo = at(data, i);
    const double hi = at(data, i + 1);
    return between_points(lo, hi - lo, pos - static_cast<double>(i));
}

void ContinuousTimeSeries::sample_seconds(std::int64_t first, std::size_t count, double* out) const {
    const std::int64_t step = time_step;
    const double step_d = static_cast<double>(time_step);
    const std::size_t n = data.size();
    // Below 2^53 seconds the integer quotient t / step is floor(t / step)
    // of the double division (a quotient that is not whole lies at least
    // 1 / step from the next whole number, more than its rounding error), so
    // the seconds of one interval between two points share their index.
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
        const std::size_t index = static_cast<std::size_t>(i);
        if (n != 0 && index >= n - 1) {
            std::fill(out + j, out + j + m, data[n - 1]);
        } else {
            const double lo = at(data, index);
            const double difference = at(data, index + 1) - lo;
            const double position = static_cast<double>(i);
            // Two seconds at a time: the same operations lane by lane, so the
            // divisions of neighbouring seconds overlap.
            const Pair lo2 = pair_of(lo, lo);
            const Pair difference2 = pair_of(difference, difference);
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
                out[j + k] = between_points(lo, difference, pos - position);
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
