// The `reach` submodule: run_muskingum_routing.
#include "reach/muskingum.hpp"
#include "core/allocation.hpp"
#include "binding/submodules.hpp"
#include "utils/py_utils.hpp"

namespace quellmar {
namespace {

using namespace quellmar::py;

// The inflow is read in place: a series cannot change.  The routing's own
// copy is made along with the routing, without the lock when the run is long.
using RunMuskingumRouting = Function<"run_muskingum_routing",
                                     Param<"inflow", Borrowed<ContinuousTimeSeries>>,
                                     Param<"k", Timedelta>,
                                     Param<"x", double>,
                                     Param<"sub_reaches", std::int64_t>,
                                     Param<"initial_outflow", double>>;

// Order of a call: the arguments converted in parameter order, the range
// warning on `x` (which may raise under a warnings filter), then `k` taken as
// a duration, then the routing.
PyObject* run_muskingum_routing(RunMuskingumRouting::Values& a) {
    const auto& inflow = arg<"inflow">(a);
    if (muskingum_x_outside_range(arg<"x">(a))) warn(kMuskingumRangeWarning);
    const Duration k_duration = unwrap(to_duration(arg<"k">(a), "k"));
    // The routing works on its own copy of the inflow: long runs let
    // other threads run meanwhile.
    const std::int64_t sub_reaches = arg<"sub_reaches">(a);
    const std::size_t passes = sub_reaches > 1 ? static_cast<std::size_t>(sub_reaches) : 1;
    const bool long_run = inflow->data.size() >= kLongRunValues / passes;
    ContinuousTimeSeries routed = maybe_without_gil(long_run, [&] {
        ContinuousTimeSeries copy{copy_of(inflow->data), inflow->time_step, inflow->kind};
        return quellmar::run_muskingum_routing(std::move(copy), k_duration, arg<"x">(a), sub_reaches, arg<"initial_outflow">(a));
    });
    return to_python(std::move(routed));
}

constexpr auto kRunMuskingumRoutingDoc = RunMuskingumRouting::doc(
    "Route an inflow hydrograph through a channel reach with the Muskingum method.\n\n"
    "The reach can be divided into ``sub_reaches`` equal segments to improve\n"
    "numerical accuracy; each segment is routed in turn with the same\n"
    "coefficients, derived from the per-segment ``k`` and the weighting factor\n"
    "``x``. A Python ``warnings.warn`` is issued when ``x`` lies outside the range\n"
    "``[0.0, 0.5]``.\n\n"
    "Args:\n"
    "    inflow: The upstream inflow hydrograph.\n"
    "    k: The storage time constant of the full reach, in seconds; the\n"
    "        per-segment value is ``k / sub_reaches``.\n"
    "    x: The weighting factor, in ``[0.0, 0.5]``: 0 gives pure reservoir\n"
    "        routing (maximum attenuation), 0.5 approximates kinematic routing\n"
    "        (no attenuation).\n"
    "    sub_reaches: The number of equal sub-reaches, at least 1.\n"
    "    initial_outflow: The initial outflow value.\n\n"
    "Returns:\n"
    "    A ``ContinuousTimeSeries`` (kind \"discharge\") of routed outflow at the\n"
    "    same time step as ``inflow``.");

PyMethodDef run_muskingum_routing_def =
    function_def<RunMuskingumRouting, run_muskingum_routing>(kRunMuskingumRoutingDoc.c_str());

}  // namespace

void init_reach(PyObject* module) { py::register_function(module, &run_muskingum_routing_def); }

}  // namespace quellmar
