#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace quellmar {

namespace {

// Shortest round-trip representation in the requested format.
std::string to_chars_string(double value, std::chars_format fmt) {
    // Fixed notation of the largest double needs 309 digits plus sign.
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, fmt);
    return std::string(buf, res.ptr);
}

bool non_finite(double value, std::string& out) {
    if (std::isnan(value)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out = value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

std::string format_double(double value) {
    std::string out;
    if (non_finite(value, out)) return out;
    return to_chars_string(value, std::chars_format::fixed);
}

std::string format_fixed(double value, int decimals) {
    std::string out;
    if (non_finite(value, out)) return out;
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (res.ec != std::errc()) return format_double(value);
    return std::string(buf, res.ptr);
}

}  // namespace quellmar
