// The `reservoir` submodule: the `reservoir_utils` submodule with the rating
// curves and outlets, run_level_pool_routing and its LevelPoolResult.
#include "reservoir/level_pool.hpp"
#include "reservoir/reservoir_utils/py_reservoir_utils.hpp"
#include "binding/submodules.hpp"
#include "utils/py_utils.hpp"

namespace quellmar {

QUELLMAR_DECLARE_CLASS(LevelPoolResult);

namespace {

using namespace quellmar::py;

// The inflow and the curve are read in place: neither can change.
using RunLevelPoolRouting = Function<"run_level_pool_routing",
                                     Param<"inflow", Borrowed<ContinuousTimeSeries>>,
                                     Param<"initial_elevation", double>,
                                     Param<"elevation_storage", Borrowed<ElevationStorage>>,
                                     Param<"discharge_info", NamedMap<DischargeInfo>>>;

PyObject* run_level_pool_routing(RunLevelPoolRouting::Values& a) {
    const auto& inflow = arg<"inflow">(a);
    // One step per simulated second: all but the shortest runs let
    // other threads run meanwhile.
    const auto seconds = static_cast<double>(inflow->data.size()) * static_cast<double>(inflow->time_step);
    Expected<LevelPoolResult> result = maybe_without_gil(seconds >= static_cast<double>(kLongRunValues), [&] {
        return quellmar::run_level_pool_routing(*inflow, arg<"initial_elevation">(a), *arg<"elevation_storage">(a),
                                                arg<"discharge_info">(a));
    });
    return to_python(unwrap(std::move(result)));
}

constexpr auto kRunLevelPoolRoutingDoc = RunLevelPoolRouting::doc(
    "Level pool (modified Puls) routing of an inflow hydrograph through a reservoir.\n\n"
    "Integrates the mass balance ``dS/dt = I - O`` with a one-second step over the\n"
    "duration of the inflow hydrograph. The outlets in ``discharge_info`` (a dict\n"
    "from outlet name to outlet object) are evaluated at the elevation reached at\n"
    "the start of each step. Output series are recorded at the inflow's own time\n"
    "step.\n\n"
    "Raises ValueError when an outlet's discharge calculation fails, when the\n"
    "initial elevation lies outside the range of the elevation-storage curve, or\n"
    "when an inflow value or an outlet's discharge is NaN or infinite.");

PyMethodDef run_level_pool_routing_def =
    function_def<RunLevelPoolRouting, run_level_pool_routing>(kRunLevelPoolRoutingDoc.c_str());

using Result = LevelPoolResult;

PyGetSetDef level_pool_result_getset[] = {
    read_only<Result, &Result::reservoir_storage>("reservoir_storage",
                                                  "Reservoir storage volume at each output time step."),
    read_only<Result, &Result::reservoir_elevation>("reservoir_elevation",
                                                    "Water surface elevation at each output time step."),
    read_only<Result, &Result::reservoir_total_outflow>(
        "reservoir_total_outflow", "Combined outflow from all outlets at each output time step."),
    read_only<Result, &Result::reservoir_individual_outflows>(
        "reservoir_individual_outflows", "Per-outlet outflow time series keyed by outlet name."),
    kGetSetEnd,
};

}  // namespace

QUELLMAR_CLASS(LevelPoolResult, .doc = "Results of a level pool routing simulation.",
               .flags = Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, .getset = level_pool_result_getset)

void init_reservoir(PyObject* module) {
    py::add_submodule(module, "reservoir_utils", init_reservoir_utils);
    py::register_function(module, &run_level_pool_routing_def);
    py::register_class<LevelPoolResult>(module);
}

}  // namespace quellmar
