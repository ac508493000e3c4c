// Compile-time checks of the parameter tables (tests/test_param_tables.py):
// the text signatures rendered from tables, the required count, the values
// a body reads by name, and, with one of the BAD_* macros defined, the
// tables and bodies that must not compile.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "binding/args.hpp"

using namespace quellmar::py;

constexpr bool same(const char* a, std::string_view b) { return std::string_view(a) == b; }

using F = Function<"f", Param<"a", double>, Param<"b", std::optional<double>, DefaultNone>>;
static_assert(same(F::text_signature.c_str(), "f(a, b=None)\n--\n\n"));
static_assert(F::required == 1 && F::count == 2);
static_assert(same(F::signature.display, "f") && same(F::signature.names[1], "b"));

using C = Constructor<"Thing", Param<"n", std::uint64_t, Default<std::uint64_t{10}>>,
                      Param<"flag", bool, Default<true>>>;
static_assert(same(C::text_signature.c_str(), "Thing(n=10, flag=True)\n--\n\n"));
static_assert(same(C::signature.display, "Thing.__new__") && C::required == 0);

using M = Method<"Thing", "step", Param<"target", std::int32_t>>;
using N = Method<"Thing", "size">;
static_assert(same(M::text_signature.c_str(), "step($self, target)\n--\n\n"));
static_assert(same(N::text_signature.c_str(), "size($self)\n--\n\n"));
static_assert(same(M::signature.display, "Thing.step"));
static_assert(same(M::doc("Body.").c_str(), "step($self, target)\n--\n\nBody."));

using Eight = Function<"eight", Param<"a", double>, Param<"b", double>, Param<"c", double>, Param<"d", double>,
                       Param<"e", double>, Param<"f", double>, Param<"g", double>, Param<"h", double>>;
static_assert(Eight::count == kMaxParams);

// A body reads its arguments by the table's names, whatever their order.
using Reach = Function<"route", Param<"x", double>, Param<"initial_outflow", double>>;
inline double route(const Args& a) {
    return Reach::apply(a, [](auto& v) { return arg<"x">(v) - arg<"initial_outflow">(v); });
}
static_assert(Reach::Values::index_of<"initial_outflow">() == 1 && Reach::Values::index_of<"y">() == Reach::count);

#ifdef BAD_SWAPPED_BODY
// Positional parameters, here in the wrong order, are refused.
inline double swapped(const Args& a) {
    return Reach::apply(a, [](double initial_outflow, double x) { return x - initial_outflow; });
}
#endif

#ifdef BAD_UNKNOWN_NAME
inline double misnamed(const Args& a) {
    return Reach::apply(a, [](auto& v) { return arg<"outflow">(v); });
}
#endif

#ifdef BAD_TOO_MANY
using Nine = Function<"nine", Param<"a", double>, Param<"b", double>, Param<"c", double>, Param<"d", double>,
                      Param<"e", double>, Param<"f", double>, Param<"g", double>, Param<"h", double>,
                      Param<"i", double>>;
constexpr auto nine = Nine::count;
#endif

#ifdef BAD_REQUIRED_AFTER_OPTIONAL
using Late = Function<"late", Param<"a", bool, Default<false>>, Param<"b", double>>;
constexpr auto late = Late::required;
#endif

#ifdef BAD_NONE_DEFAULT
using NotOptional = Function<"g", Param<"a", double, DefaultNone>>;
constexpr auto not_optional = NotOptional::count;
#endif

int main() { return 0; }
