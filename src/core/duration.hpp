// Durations as the routines see them.  Plain C++.
#pragma once

#include <cstdint>

#include "core/error.hpp"

namespace quellmar {

// The three fields of a datetime.timedelta, as read from Python.  Converted
// into a Duration only where a routine's own order of checks says so.
struct Timedelta {
    std::int32_t days = 0;
    std::int32_t seconds = 0;       // 0 .. 86399
    std::int32_t microseconds = 0;  // 0 .. 999999
};

// A non-negative duration: whole seconds plus nanoseconds.
struct Duration {
    std::int64_t secs = 0;
    std::uint32_t nanos = 0;

    // nanoseconds / 1e9 first, then the whole seconds are added.
    double as_seconds() const { return static_cast<double>(nanos) / 1e9 + static_cast<double>(secs); }
};

// Fails with ValueError for a timedelta whose days field is negative, the
// message naming the argument: "`tc` is negative: a negative timedelta
// cannot be converted to a duration".
Expected<Duration> to_duration(const Timedelta& td, const char* argument);

// Whole seconds of a configuration spacing (series time step, layer time
// constant): the seconds as a double, truncated toward zero into a signed
// 32-bit integer, saturating at 2147483647.
std::int32_t truncate_to_i32_seconds(const Duration& d);

}  // namespace quellmar
