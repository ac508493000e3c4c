// The `baseflow` submodule: run_linear_reservoir and LinearReservoir.
#include "baseflow/linear_reservoir.hpp"
#include "binding/submodules.hpp"
#include "utils/py_utils.hpp"

namespace quellmar {

QUELLMAR_DECLARE_CLASS(LinearReservoir);

namespace {

using namespace quellmar::py;

// The default of num_reservoir is 1, not None: an explicit None is refused.
using LinearReservoirNew = Constructor<"LinearReservoir",
                                       Param<"k_duration", Timedelta>,
                                       Param<"gw_fraction", double>,
                                       Param<"initial_q", double>,
                                       Param<"num_reservoir", std::uint64_t, Default<std::uint64_t{1}>>>;

LinearReservoir linear_reservoir_new(LinearReservoirNew::Values& a) {
    return unwrap(make_linear_reservoir(arg<"k_duration">(a), arg<"gw_fraction">(a), arg<"initial_q">(a),
                                        arg<"num_reservoir">(a)));
}

constexpr auto k_duration_of = [](const LinearReservoir& r) { return WholeSeconds{r.k_duration}; };

// Setters store whatever converts: the run's fraction check and stability
// check are what stand between these values and a result.
PyGetSetDef linear_reservoir_getset[] = {
    computed<LinearReservoir, k_duration_of>("k_duration",
                                             "Returns the storage time constant as a Python ``timedelta``."),
    read_write<LinearReservoir, "gw_fraction", &LinearReservoir::gw_fraction>(
        "Fraction of rainfall loss that contributes to this reservoir's baseflow.\n"
        "Must be in [0.0, 1.0]."),
    read_write<LinearReservoir, "initial_q", &LinearReservoir::initial_q>(
        "Initial discharge at the start of the simulation (e.g., cfs)."),
    read_write<LinearReservoir, "num_reservoir", &LinearReservoir::num_reservoir>(
        "Number of linear reservoirs chained in series."),
    kGetSetEnd,
};

// The rainfall is read in place: a series cannot change.
using RunLinearReservoir = Function<"run_linear_reservoir",
                                    Param<"basin_area", double>,
                                    Param<"rainfall", Borrowed<IncrementalTimeSeries>>,
                                    Param<"reservoirs", NamedMap<LinearReservoir>>>;

PyObject* run_linear_reservoir(RunLinearReservoir::Values& a) {
    const auto& rainfall = arg<"rainfall">(a);
    const NamedMap<LinearReservoir>& layers = arg<"reservoirs">(a);
    // Every stage of every layer is a step per rainfall value.
    double stages = 1.0;
    for (const auto& layer : layers) stages = stages + static_cast<double>(layer.second.num_reservoir) + 1.0;
    const bool long_run = static_cast<double>(rainfall->data.size()) * stages >= static_cast<double>(kLongRunValues);
    BaseflowResult result = unwrap(maybe_without_gil(
        long_run, [&] { return linear_reservoir_baseflow(arg<"basin_area">(a), *rainfall, layers); }));
    // (total, flows), the flows dictionary keyed in the caller's layer order.
    return to_python(std::make_pair(std::move(result.total), std::move(result.flows)));
}

constexpr auto kRunLinearReservoirDoc = RunLinearReservoir::doc(
    "Route infiltrated rainfall through multiple named linear reservoirs to\n"
    "produce baseflow.\n\n"
    "Arguments:\n"
    "    basin_area: drainage area (acres).\n"
    "    rainfall: infiltrated rainfall, an IncrementalTimeSeries (inches per time step).\n"
    "    reservoirs: dict of named LinearReservoir configurations.\n\n"
    "Returns:\n"
    "    A tuple (total, flows): the total baseflow as a ContinuousTimeSeries and a\n"
    "    dict mapping each reservoir name to its own ContinuousTimeSeries.\n\n"
    "Raises:\n"
    "    ValueError: if the sum of all fractions exceeds 1.0, or if any reservoir\n"
    "        fails its stability check.");

PyMethodDef run_linear_reservoir_def =
    function_def<RunLinearReservoir, run_linear_reservoir>(kRunLinearReservoirDoc.c_str());

constexpr auto kLinearReservoirDoc = LinearReservoirNew::doc(
    "Configuration for a single linear reservoir groundwater layer.\n\n"
    "A linear reservoir models groundwater storage with the recurrence::\n\n"
    "    Q[t] = C * I[t] + (1 - C) * Q[t-1],  where C = dt / (K + 0.5*dt)\n\n"
    "Chaining ``num_reservoir`` reservoirs in series gives a more peaked,\n"
    "delayed response.");

}  // namespace

// Not subclassable: no Py_TPFLAGS_BASETYPE.
QUELLMAR_CLASS(LinearReservoir, .doc = kLinearReservoirDoc.c_str(), .flags = 0,
               .tp_new = constructor<LinearReservoirNew, linear_reservoir_new>, .getset = linear_reservoir_getset)

void init_baseflow(PyObject* module) {
    py::register_function(module, &run_linear_reservoir_def);
    py::register_class<LinearReservoir>(module);
}

}  // namespace quellmar
