// The tagged union of the outlet kinds, and the prepared rule of an
// outlet of any kind.  Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>

#include "reservoir/reservoir_utils/constant_discharge.hpp"
#include "reservoir/reservoir_utils/controlled_discharge.hpp"
#include "reservoir/reservoir_utils/specified_discharge.hpp"
#include "reservoir/reservoir_utils/uncontrolled_discharge.hpp"

namespace quellmar {

// Calls f with the alternative `v` holds, as std::visit does, by comparing
// its index with the middle of the alternatives left, halving them each time
// (two predicted branches for four kinds, rather than a jump through a table
// that compilers make of a run of equality tests).  The calls are direct, so
// the per-second rules inline into the routing loop whatever the standard
// library: libc++'s std::visit calls through a table of function pointers,
// which no compiler inlines.  The last alternative is read by std::get, so a
// variant left valueless (its index past every alternative) throws
// std::bad_variant_access as with std::visit.
template <std::size_t Lo, std::size_t Hi, class F, class V>
inline decltype(auto) visit_alternatives(F&& f, V&& v) {
    if constexpr (Hi - Lo == 1) {
        if constexpr (Hi == std::variant_size_v<std::remove_cvref_t<V>>) {
            return f(std::get<Lo>(std::forward<V>(v)));
        } else {
            return f(*std::get_if<Lo>(&v));
        }
    } else {
        constexpr std::size_t mid = Lo + (Hi - Lo) / 2;
        if (v.index() < mid) return visit_alternatives<Lo, mid>(std::forward<F>(f), std::forward<V>(v));
        return visit_alternatives<mid, Hi>(std::forward<F>(f), std::forward<V>(v));
    }
}

template <class F, class V>
inline decltype(auto) visit_alternative(F&& f, V&& v) {
    return visit_alternatives<0, std::variant_size_v<std::remove_cvref_t<V>>>(std::forward<F>(f), std::forward<V>(v));
}

// One outlet of any kind.  The variants, in their declared order, are the one
// list of the kinds: the rules below and the conversion from Python follow
// it.  Each holds its own copy of the outlet record.  A query is forwarded to
// the held variant.
struct DischargeInfo {
    using Outlet =
        std::variant<UnControlledDischargeInfo, ControlledDischargeInfo, SpecifiedDischargeInfo, ConstantDischargeInfo>;
    Outlet outlet;

    Expected<double> get_discharge(const DischargeQuery& query) const {
        return visit_alternative([&](const auto& o) { return o.get_discharge(query); }, outlet);
    }
};

// Every kind answers a query and has a rule for the seconds of a run.
template <class... Outlets>
constexpr bool every_kind_answers(const std::variant<Outlets...>*) {
    return (... && (DischargeSource<Outlets> && DischargeRule<typename Outlets::Evaluator>));
}
static_assert(every_kind_answers(static_cast<const DischargeInfo::Outlet*>(nullptr)));
static_assert(DischargeSource<DischargeInfo>);

// The prepared rule of one outlet of any kind: its kind's Evaluator, each
// call forwarded to it.  It reads its outlet in place: the outlet must
// outlive it.
class DischargeEvaluator {
public:
    explicit DischargeEvaluator(const DischargeInfo& info)
        : rule_(std::visit([](const auto& o) -> Rule { return typename std::decay_t<decltype(o)>::Evaluator(o); },
                           info.outlet)) {}

    // Calls f with the rule of the outlet's kind.  A caller that passes a
    // lambda of its own gets an instantiation of its own, local to its file
    // and called from one place, which every compiler inlines there: the
    // per-second loop of a routing run calls the kinds' try_discharge
    // directly, with nothing passed through memory.
    template <class F>
    decltype(auto) visit(F&& f) const {
        return visit_alternative(std::forward<F>(f), rule_);
    }

    void prepare(std::int64_t first, std::size_t count) {
        visit_alternative([&](auto& r) { r.prepare(first, count); }, rule_);
    }
    bool try_discharge(const Second& second, double& q) const {
        return visit([&](const auto& r) { return r.try_discharge(second, q); });
    }
    Expected<double> discharge(const Second& second) {
        return visit_alternative([&](auto& r) { return r.discharge(second); }, rule_);
    }

private:
    template <class Variant>
    struct RulesOf;
    template <class... Outlets>
    struct RulesOf<std::variant<Outlets...>> {
        using type = std::variant<typename Outlets::Evaluator...>;
    };
    using Rule = typename RulesOf<DischargeInfo::Outlet>::type;

    Rule rule_;
};

static_assert(DischargeRule<DischargeEvaluator>);

}  // namespace quellmar
