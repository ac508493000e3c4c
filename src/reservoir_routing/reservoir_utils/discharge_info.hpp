// The tagged union of the four outlet kinds, and the named outlets of a
// reservoir.  Plain C++.
#pragma once

#include <type_traits>
#include <variant>

#include "reservoir_routing/reservoir_utils/constant_discharge.hpp"
#include "reservoir_routing/reservoir_utils/controlled_discharge.hpp"
#include "reservoir_routing/reservoir_utils/specified_discharge.hpp"
#include "reservoir_routing/reservoir_utils/uncontrolled_discharge.hpp"

namespace quellmar {

// One outlet of any kind; the variants are declared in this order:
// Uncontrolled, Controlled, Specified, Constant.  Each holds its own copy of
// the outlet record.  A query is forwarded to the held variant.
struct DischargeInfo {
    std::variant<UnControlledDischargeInfo, ControlledDischargeInfo, SpecifiedDischargeInfo, ConstantDischargeInfo>
        outlet;

    Expected<double> get_discharge(const DischargeQuery& query) const {
        return std::visit([&](const auto& o) { return o.get_discharge(query); }, outlet);
    }
};

static_assert(DischargeSource<DischargeInfo>);

// The prepared rule of one outlet of any kind, in the order of the variants
// of DischargeInfo.  It reads its outlet in place: the outlet must outlive it.
using DischargeEvaluator = std::variant<UnControlledDischargeInfo::Evaluator, ControlledDischargeInfo::Evaluator,
                                        SpecifiedDischargeInfo::Evaluator, ConstantDischargeInfo::Evaluator>;

inline DischargeEvaluator make_evaluator(const DischargeInfo& info) {
    return std::visit([](const auto& o) -> DischargeEvaluator { return typename std::decay_t<decltype(o)>::Evaluator(o); },
                      info.outlet);
}

}  // namespace quellmar
