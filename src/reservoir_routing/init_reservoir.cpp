// The `reservoir` submodule: the `reservoir_utils` submodule with the rating
// curves and outlets, run_level_pool_routing and its LevelPoolResult.
#include "reservoir_routing/level_pool.hpp"
#include "reservoir_routing/reservoir_utils/py_reservoir_utils.hpp"
#include "submodules.hpp"
#include "utils/py_utils.hpp"

namespace quellmar {

namespace py {

template <>
struct PyClass<LevelPoolResult> {
    static const ClassInfo& info();
};

}  // namespace py

namespace {

using namespace quellmar::py;

PyObject* run_level_pool(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"inflow", "initial_elevation", "elevation_storage", "discharge_info"};
    static const Signature sig{"run_level_pool_routing", names, 4};
    return call(sig, args, nargs, kwnames, [](Args& a) -> PyObject* {
        // The inflow and the curve are read in place: neither can change.
        const Borrowed<ContinuousTimeSeries> inflow = a.get<Borrowed<ContinuousTimeSeries>>(0);
        const double initial_elevation = a.get<double>(1);
        const Borrowed<ElevationStorage> curve = a.get<Borrowed<ElevationStorage>>(2);
        const OutletMap outlets = a.get<NamedMap<DischargeInfo>>(3);
        // One step per simulated second: all but the shortest runs let other
        // threads run meanwhile.
        const auto seconds = static_cast<double>(inflow->data.size()) * static_cast<double>(inflow->time_step);
        Expected<LevelPoolResult> result = maybe_without_gil(seconds >= static_cast<double>(kLongRunValues), [&] {
            return run_level_pool_routing(*inflow, initial_elevation, *curve, outlets);
        });
        return to_python(unwrap(std::move(result)));
    });
}

PyMethodDef run_level_pool_def = {
    "run_level_pool_routing",
    fastcall<run_level_pool>(),
    METH_FASTCALL | METH_KEYWORDS,
    "run_level_pool_routing(inflow, initial_elevation, elevation_storage, discharge_info)\n--\n\n"
    "Level pool (modified Puls) routing of an inflow hydrograph through a reservoir.\n\n"
    "Integrates the mass balance ``dS/dt = I - O`` with a one-second step over the\n"
    "duration of the inflow hydrograph. The outlets in ``discharge_info`` (a dict\n"
    "from outlet name to outlet object) are evaluated at the elevation reached at\n"
    "the start of each step. Output series are recorded at the inflow's own time\n"
    "step.\n\n"
    "Raises ValueError when an outlet's discharge calculation fails or when the\n"
    "initial elevation lies outside the range of the elevation-storage curve.",
};

PyGetSetDef level_pool_result_getset[] = {
    {"reservoir_storage", member_getter<LevelPoolResult, &LevelPoolResult::reservoir_storage>, nullptr,
     "Reservoir storage volume at each output time step.", nullptr},
    {"reservoir_elevation", member_getter<LevelPoolResult, &LevelPoolResult::reservoir_elevation>, nullptr,
     "Water surface elevation at each output time step.", nullptr},
    {"reservoir_total_outflow", member_getter<LevelPoolResult, &LevelPoolResult::reservoir_total_outflow>, nullptr,
     "Combined outflow from all outlets at each output time step.", nullptr},
    {"reservoir_individual_outflows", member_getter<LevelPoolResult, &LevelPoolResult::reservoir_individual_outflows>, nullptr,
     "Per-outlet outflow time series keyed by outlet name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

namespace py {

const ClassInfo& PyClass<LevelPoolResult>::info() {
    static const ClassInfo info{
        "builtins.LevelPoolResult",
        "Results of a level pool routing simulation.",
        Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        nullptr,
        level_pool_result_getset,
        nullptr,
    };
    return info;
}

}  // namespace py

void init_reservoir(PyObject* module) {
    py::Ref utils = py::Ref::check(PyModule_New("reservoir_utils"));
    init_reservoir_utils(utils.get());
    py::register_submodule(module, utils.get());
    py::register_function(module, &run_level_pool_def);
    py::register_class<LevelPoolResult>(module);
}

}  // namespace quellmar
