#include "metrics/kge.hpp"

#include <cmath>
#include <cstddef>
#include <vector>

#include "core/allocation.hpp"
#include "core/cr_math.hpp"

namespace quellmar {

namespace {

// Offset of the log transform and threshold of the three guards.
constexpr double kEpsilon = 1e-6;

std::vector<double> log_transform(std::span<const double> values) {
    std::vector<double> out;
    reserve_exact(out, values.size());
    for (const double v : values) out.push_back(v + kEpsilon);
    cr_log_array(out.data(), out.size());  // two logarithms in flight at a time
    return out;
}

}  // namespace

Expected<double> kling_gupta_efficiency(std::span<const double> sim, std::span<const double> obs, bool use_log) {
    if (obs.empty()) return value_error("Observed series is empty.");
    if (sim.size() != obs.size()) return value_error("Series length mismatch.");
    std::vector<double> log_sim;
    std::vector<double> log_obs;
    if (use_log) {
        log_sim = log_transform(sim);
        log_obs = log_transform(obs);
        sim = log_sim;
        obs = log_obs;
    }

    const std::size_t n = obs.size();
    const double count = static_cast<double>(n);
    const double* s = sim.data();
    const double* o = obs.data();

    // Every accumulator adds strictly in index order, so the result is the
    // same bit for bit on every run; the independent accumulators of one
    // pass only share the loads.
    double sum_s = 0.0;
    double sum_o = 0.0;
    bool s_varies = false;  // some value differs from the first (a NaN does)
    bool o_varies = false;
    for (std::size_t i = 0; i < n; ++i) {
        sum_s = sum_s + s[i];
        sum_o = sum_o + o[i];
        s_varies = s_varies || s[i] != s[0];
        o_varies = o_varies || o[i] != o[0];
    }
    const double mean_s = sum_s / count;
    double mean_o = sum_o / count;

    double sss = 0.0;
    double soo = 0.0;
    double sso = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double ds = s[i] - mean_s;
        const double d_o = o[i] - mean_o;
        sss = sss + ds * ds;
        soo = soo + d_o * d_o;
        sso = sso + ds * d_o;
    }

    // A constant series (a single value included) has no correlation with
    // anything: the term counts as the worst case, r = 0.  Deciding that
    // from the values themselves keeps the rule free of units and length; the
    // deviations of a constant series need not be exactly 0, since its mean
    // may round.  q = 0 for series that vary means deviations too small to
    // square in double precision: also no usable correlation.  Where only
    // the product Soo * Sss leaves the range of doubles, q is the product of
    // the two roots instead.
    double correlation_term = 1.0;
    if (s_varies && o_varies) {
        const double product = soo * sss;
        const bool out_of_range = (product == 0.0 || std::isinf(product)) && soo > 0.0 && sss > 0.0 &&
                                  !std::isinf(soo) && !std::isinf(sss);
        const double q = out_of_range ? std::sqrt(soo) * std::sqrt(sss) : std::sqrt(product);
        if (q != 0.0) {
            const double r = sso / q;
            correlation_term = (r - 1.0) * (r - 1.0);
        }
    }

    const double std_s = std::sqrt(sss / count);
    double std_o = std::sqrt(soo / count);
    if (std::fabs(mean_o) < kEpsilon) mean_o = kEpsilon;
    if (std_o < kEpsilon) std_o = kEpsilon;

    const double beta = mean_s / mean_o;
    const double gamma = std_s / std_o;
    const double beta_term = (beta - 1.0) * (beta - 1.0);
    const double gamma_term = (gamma - 1.0) * (gamma - 1.0);
    return 1.0 - std::sqrt(gamma_term + (beta_term + correlation_term));
}

}  // namespace quellmar
