#include "core/duration.hpp"

#include <cmath>
#include <string>

namespace quellmar {

Expected<Duration> to_duration(const Timedelta& td, const char* argument) {
    if (td.days < 0) {
        return value_error(std::string("`") + argument +
                           "` is negative: a negative timedelta cannot be converted to a duration");
    }
    Duration d;
    d.secs = static_cast<std::int64_t>(td.days) * 86400 + td.seconds;
    d.nanos = static_cast<std::uint32_t>(td.microseconds) * 1000u;
    return d;
}

std::int32_t truncate_to_i32_seconds(const Duration& d) {
    double s = d.as_seconds();
    if (std::isnan(s)) return 0;
    if (s >= 2147483647.0) return 2147483647;
    if (s <= -2147483648.0) return -2147483647 - 1;
    return static_cast<std::int32_t>(s);  // truncation toward zero
}

}  // namespace quellmar
