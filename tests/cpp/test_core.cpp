// Unit checks of the plain C++ core (no Python involved): table lookup,
// series sampling, disaggregation and number formatting.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/format.hpp"
#include "core/nan_minmax.hpp"
#include "utils/general.hpp"
#include "utils/time_series.hpp"
#include "check.hpp"

using namespace quellmar;

static std::string panic_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const Panic& p) {
        return p.message();
    }
    return "<no panic>";
}

int main() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    // interp1d on x = [1, 2, 4], y = [10, 20, 20]
    {
        std::vector<double> x{1, 2, 4}, y{10, 20, 20};
        CHECK(interp1d(3, x, y, -1.0, -2.0) == 20.0);
        CHECK(interp1d(1.5, x, y, -1.0, -2.0) == 15.0);
        CHECK(interp1d(1, x, y, -1.0, -2.0) == 10.0);
        CHECK(interp1d(4, x, y, -1.0, -2.0) == 20.0);
        CHECK(interp1d(0.5, x, y, -1.0, -2.0) == -1.0);
        CHECK(interp1d(5, x, y, -1.0, -2.0) == -2.0);
        CHECK(!interp1d(0.5, x, y, std::nullopt, std::nullopt).has_value());
        CHECK(!interp1d(inf, x, y, std::nullopt, std::nullopt).has_value());
        CHECK(panic_message([&] { interp1d(nan, x, y, 0.0, 0.0); }) == kAbsentValueMessage);
        // (x - x0) / (x1 - x0) first, then the product, then the sum.
        std::vector<double> x2{0.1, 0.7}, y2{0.3, 1.9};
        const double q = 0.45;
        CHECK(same(*interp1d(q, x2, y2, std::nullopt, std::nullopt), 0.3 + ((q - 0.1) / (0.7 - 0.1)) * (1.9 - 0.3)));
    }
    // Validation order: lengths, then size, then x order, then y order.
    {
        std::vector<double> a{1, 1, 2}, b{0, 1, 2}, c{2, 1, 3}, d{1, 2}, e{1};
        CHECK(panic_message([&] { interp1d(1, a, b, 0.0, 0.0); }) ==
              "`x_values` must must be sorted and can't have duplicates");
        CHECK(panic_message([&] { interp1d(1, b, c, 0.0, 0.0); }) == "`y_values` must must be sorted");
        CHECK(panic_message([&] { interp1d(1, a, d, 0.0, 0.0); }) ==
              "length of `x_values` and `y_values` should be same.");
        CHECK(panic_message([&] { interp1d(1, e, e, 0.0, 0.0); }) ==
              "x_values and y_values each must have at least 2 elements.");
        std::vector<double> xn{1, nan, 3}, yn{1, 2, nan};
        CHECK(panic_message([&] { interp1d(1, xn, b, 0.0, 0.0); }) ==
              "`x_values` must must be sorted and can't have duplicates");
        CHECK(panic_message([&] { interp1d(1, b, yn, 0.0, 0.0); }) == "`y_values` must must be sorted");
    }
    // Binary search lands on every abscissa exactly, for many lengths.
    for (std::size_t n = 2; n < 40; ++n) {
        std::vector<double> x, y;
        for (std::size_t i = 0; i < n; ++i) {
            x.push_back(static_cast<double>(i) * 1.5);
            y.push_back(static_cast<double>(i * i));
        }
        for (std::size_t i = 0; i < n; ++i) CHECK(*interp1d(x[i], x, y, std::nullopt, std::nullopt) == y[i]);
    }

    // get_value on a 3-point hourly series.
    {
        ContinuousTimeSeries s{{1.0, 3.0, 7.0}, 3600, "discharge"};
        CHECK(s.get_value(0).value() == 1.0);
        CHECK(s.get_value(1800).value() == 2.0);
        CHECK(s.get_value(7200).value() == 7.0);
        CHECK(s.get_value(7200.0000005).value() == 7.0);
        CHECK(s.get_value(-0.0000005).value() == 1.0);
        CHECK(s.get_value(7200.01).error().message == "`duration` 7200.01 is out of range (max 7200).");
        CHECK(s.get_value(-1).error().message == "`duration` -1 is less than 0.");
        CHECK(std::isnan(s.get_value(nan).value()));
        const double d = 5000.0;
        const double pos = d / 3600.0;
        CHECK(same(s.get_value(d).value(), 3.0 + (pos - 1.0) * (7.0 - 3.0)));

        ContinuousTimeSeries one{{4.5}, 60, "discharge"};
        CHECK(one.get_value(0.000001).value() == 4.5);
        CHECK(!one.get_value(0.00001).ok());
        CHECK(!one.get_value(-0.00001).ok());

        ContinuousTimeSeries empty{{}, 3600, "discharge"};
        CHECK(empty.get_value(0).error().message == "`duration` 0 is out of range (max -3600).");
        CHECK(empty.get_value(-5).error().message == "`duration` -5 is less than 0.");
        CHECK(panic_message([&] { (void)empty.get_value(nan); }) == "index out of bounds: the len is 0 but the index is 0");
    }

    // disaggregate multiplies by the factor.
    {
        IncrementalTimeSeries s{{4.0, 0.0, 0.3}, 3600, "rainfall"};
        auto r = s.disaggregate(1200).value();
        CHECK(r.data.size() == 9 && r.time_step == 1200 && r.kind == "rainfall");
        CHECK(same(r.data[6], (1200.0 / 3600.0) * 0.3));
        CHECK(s.disaggregate(3600).value().data == s.data);
    }

    // The usual-case-first minimum and maximum answer as nan_min and
    // nan_max do, bit for bit: NaN operands, signed zeros and ties included.
    {
        const double v[] = {nan, -nan, -inf, -1.5, -0.0, 0.0, 5e-324, 1.0, inf};
        for (double a : v) {
            for (double b : v) {
                CHECK(same(nan_min_mostly_first(a, b), nan_min(a, b)));
                CHECK(same(nan_max_mostly_first(a, b), nan_max(a, b)));
            }
        }
        CHECK(same(nan_min(nan, 2.0), 2.0) && same(nan_min(2.0, nan), 2.0) && same(nan_min(-0.0, 0.0), -0.0));
        CHECK(same(nan_max(nan, 2.0), 2.0) && same(nan_max(0.0, -0.0), 0.0));
    }

    // Number formatting.
    CHECK(format_double(2.0) == "2");
    CHECK(format_double(0.1) == "0.1");
    CHECK(format_double(1e21) == "1000000000000000000000");
    CHECK(format_double(1e-7) == "0.0000001");
    CHECK(format_double(nan) == "NaN");
    CHECK(format_double(inf) == "inf");
    CHECK(format_double(-inf) == "-inf");
    CHECK(format_double(-0.0) == "-0");
    CHECK(format_double(-5.0) == "-5");
    CHECK(format_double(7200.01) == "7200.01");
    CHECK(format_fixed(0.25, 4) == "0.2500");
    CHECK(format_fixed(0.5, 4) == "0.5000");

    std::printf("%d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
