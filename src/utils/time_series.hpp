// Uniformly spaced time series.  Plain C++.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/duration.hpp"
#include "core/error.hpp"

namespace quellmar {

inline constexpr const char* kKindDischarge = "discharge";
inline constexpr const char* kKindRainfall = "rainfall";
inline constexpr const char* kKindElevation = "elevation";
inline constexpr const char* kKindVolume = "volume";

// Each value is a quantity at one point in time; point i stands at
// i * time_step seconds.
struct ContinuousTimeSeries {
    std::vector<double> data;
    std::int32_t time_step = 1;  // whole seconds, >= 1 for every series built from Python
    std::string kind;

    // (len - 1) * time_step in signed 64-bit arithmetic: -time_step when empty.
    std::int64_t max_duration() const {
        return (static_cast<std::int64_t>(data.size()) - 1) * static_cast<std::int64_t>(time_step);
    }
    std::int64_t total_duration() const { return max_duration(); }

    // The value at `duration` seconds by linear interpolation, with a
    // tolerance of 0.000001 s at both ends.
    Expected<double> get_value(double duration) const;

    // The range checks of get_value, for a caller that has established them
    // once (whole seconds inside 0 .. max_duration).
    double get_value_in_range(double duration) const;

    // get_value_in_range at the whole seconds first, first + 1, ...,
    // first + count - 1, into out[0 .. count): the same values, for seconds
    // from 0 up to max_duration().
    void sample_seconds(std::int64_t first, std::size_t count, double* out) const;
};

// The value between two neighbouring points lo and lo + difference at a
// fraction of the way: the product first, then the sum.  T is double, or a
// vector of doubles computed lane by lane.
template <class T>
inline T between_points(T lo, T difference, T fraction) {
    return lo + fraction * difference;
}

// Each value is an amount gathered over one interval of time_step seconds.
struct IncrementalTimeSeries {
    std::vector<double> data;
    std::int32_t time_step = 1;
    std::string kind;

    std::int64_t total_duration() const {
        return static_cast<std::int64_t>(data.size()) * static_cast<std::int64_t>(time_step);
    }

    // Spreads every interval's amount evenly over the finer target_step.
    Expected<IncrementalTimeSeries> disaggregate(std::int32_t target_step) const;
};

// Succeeds when `kind` is exactly one of the allowed kinds.
Status validate_kind(const std::string& kind);

// The time step of a series built from Python, from its timedelta:
// whole seconds (truncated, saturating), at least 1.
Expected<std::int32_t> series_time_step(const Timedelta& td);

// 1 when `v` is NaN or infinite (its exponent bits all ones), else 0:
// branch-free, for a loop that collects the answer of every value with |=.
inline std::uint64_t non_finite_bit(double v) {
    constexpr std::uint64_t kExponent = 0x7ff0000000000000u;
    return static_cast<std::uint64_t>((std::bit_cast<std::uint64_t>(v) & kExponent) == kExponent);
}

// The index of the first NaN or infinite value, or the length when every
// value is finite.  One branch-free pass (it vectorises), then a search only
// when some value is not finite.
std::size_t first_non_finite(const std::vector<double>& values);

// The ValueError for a value of a series argument that is not finite, for
// example "`inflow` value NaN at index 5 is not finite.".  Routines whose
// arithmetic would turn a gap (NaN, how pandas marks a missing value) into
// a plausible number refuse it with this message.
Error non_finite_value(const char* argument, double value, std::size_t index);

// The discharge series of a routine's result: `data` at `time_step`, kind
// "discharge" (built directly, without the constructor's checks).
inline ContinuousTimeSeries discharge_series(std::vector<double> data, std::int32_t time_step) {
    return ContinuousTimeSeries{std::move(data), time_step, kKindDischarge};
}

}  // namespace quellmar
