// The `metrics` submodule: calculate_kge.
#include "binding/binding.hpp"
#include "metrics/kge.hpp"
#include "binding/submodules.hpp"

namespace quellmar {
namespace {

using namespace quellmar::py;

// The default of use_log is False, not None: an explicit None is refused.
using CalculateKge = Function<"calculate_kge",
                              Param<"sim", DoubleView>,
                              Param<"obs", DoubleView>,
                              Param<"use_log", bool, Default<false>>>;

PyObject* calculate_kge(CalculateKge::Values& a) {
    const DoubleView& sim = arg<"sim">(a);
    const DoubleView& obs = arg<"obs">(a);
    // A view reads the caller's buffer in place and keeps the lock; two
    // converted copies are the routine's own.
    const bool owned = sim.owned() && obs.owned();
    const bool long_run = owned && obs.values().size() >= kLongRunValues;
    Expected<double> kge = maybe_without_gil(
        long_run, [&] { return kling_gupta_efficiency(sim.values(), obs.values(), arg<"use_log">(a)); });
    return to_python(unwrap(std::move(kge)));
}

constexpr auto kCalculateKgeDoc = CalculateKge::doc(
    "Calculate the Kling-Gupta Efficiency (KGE) between simulated and observed series.\n\n"
    "KGE decomposes model performance into three components, each measured against\n"
    "a perfect score of 1:\n\n"
    "- r: Pearson correlation (timing and shape agreement)\n"
    "- beta = mean_sim / mean_obs (bias ratio)\n"
    "- gamma = std_sim / std_obs (variability ratio)\n\n"
    "The efficiency is::\n\n"
    "    KGE = 1 - sqrt((r - 1)^2 + (beta - 1)^2 + (gamma - 1)^2)\n\n"
    "A KGE of 1 is a perfect match; values above 0 are generally considered\n"
    "acceptable. Setting `use_log` to True applies a log transform before computing\n"
    "the statistics, which emphasises low-flow performance.\n\n"
    "Arguments:\n"
    "    sim: simulated series.\n"
    "    obs: observed series, of the same length as `sim`.\n"
    "    use_log: if True, transform both series with ln(x + 1e-6) first.\n\n"
    "Raises:\n"
    "    ValueError: if `obs` is empty or `sim` and `obs` differ in length.");

PyMethodDef calculate_kge_def = function_def<CalculateKge, calculate_kge>(kCalculateKgeDoc.c_str());

}  // namespace

void init_metrics(PyObject* module) { py::register_function(module, &calculate_kge_def); }

}  // namespace quellmar
