// The `baseflow` submodule: run_linear_reservoir and LinearReservoir.
#include <type_traits>

#include "baseflow/linear_reservoir.hpp"
#include "submodules.hpp"
#include "utils/py_utils.hpp"

namespace quellmar::py {

template <>
struct PyClass<LinearReservoir> {
    static const ClassInfo& info();
};

}  // namespace quellmar::py

namespace quellmar {
namespace {

using namespace quellmar::py;

static_assert(std::is_same_v<NamedLayers, NamedMap<LinearReservoir>>);
static_assert(std::is_same_v<NamedFlows, NamedMap<ContinuousTimeSeries>>);

PyObject* linear_reservoir_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"k_duration", "gw_fraction", "initial_q", "num_reservoir"};
    static const Signature sig{"LinearReservoir.__new__", names, 3};
    return construct<LinearReservoir>(sig, subtype, args, kwargs, [](Args& a) {
        const Timedelta k_duration = a.get<Timedelta>(0);
        const double gw_fraction = a.get<double>(1);
        const double initial_q = a.get<double>(2);
        // The default is 1, not None: an explicit None is refused.
        const std::uint64_t num_reservoir = a.raw(3) != nullptr ? a.get<std::uint64_t>(3) : 1;
        return unwrap(make_linear_reservoir(k_duration, gw_fraction, initial_q, num_reservoir));
    });
}

// Setters store whatever converts: the run's fraction check and stability
// check are what stand between these values and a result.
PyGetSetDef linear_reservoir_getset[] = {
    {"k_duration", getter<LinearReservoir, [](const LinearReservoir& r) { return WholeSeconds{r.k_duration}; }>,
     nullptr, "Returns the storage time constant as a Python ``timedelta``.", nullptr},
    {"gw_fraction", getter<LinearReservoir, [](const LinearReservoir& r) { return r.gw_fraction; }>,
     setter<LinearReservoir, double, [](LinearReservoir& r, double v) { r.gw_fraction = v; }>,
     "Fraction of rainfall loss that contributes to this reservoir's baseflow.\n"
     "Must be in [0.0, 1.0].",
     const_cast<char*>("gw_fraction")},
    {"initial_q", getter<LinearReservoir, [](const LinearReservoir& r) { return r.initial_q; }>,
     setter<LinearReservoir, double, [](LinearReservoir& r, double v) { r.initial_q = v; }>,
     "Initial discharge at the start of the simulation (e.g., cfs).", const_cast<char*>("initial_q")},
    {"num_reservoir", getter<LinearReservoir, [](const LinearReservoir& r) { return r.num_reservoir; }>,
     setter<LinearReservoir, std::uint64_t, [](LinearReservoir& r, std::uint64_t v) { r.num_reservoir = v; }>,
     "Number of linear reservoirs chained in series.", const_cast<char*>("num_reservoir")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* run_linear_reservoir(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"basin_area", "rainfall", "reservoirs"};
    static const Signature sig{"run_linear_reservoir", names, 3};
    return call(sig, args, nargs, kwnames, [](Args& a) -> PyObject* {
        const double basin_area = a.get<double>(0);
        // Read in place: a series cannot change.
        const Borrowed<IncrementalTimeSeries> rainfall = a.get<Borrowed<IncrementalTimeSeries>>(1);
        const NamedLayers layers = a.get<NamedMap<LinearReservoir>>(2);
        // Every layer is a pass over the rainfall.
        const bool long_run = rainfall->data.size() * (layers.size() + 1) >= kLongRunValues;
        BaseflowResult result = unwrap(maybe_without_gil(
            long_run, [&] { return linear_reservoir_baseflow(basin_area, *rainfall, layers); }));
        // (total, flows), the flows dictionary keyed in the caller's layer order.
        return to_python(std::make_pair(std::move(result.total), std::move(result.flows)));
    });
}

PyMethodDef run_linear_reservoir_def = {
    "run_linear_reservoir",
    fastcall<run_linear_reservoir>(),
    METH_FASTCALL | METH_KEYWORDS,
    "run_linear_reservoir(basin_area, rainfall, reservoirs)\n--\n\n"
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
    "    fails its stability check.",
};

}  // namespace

namespace py {

const ClassInfo& PyClass<LinearReservoir>::info() {
    static const ClassInfo info{
        QUELLMAR_CLASS_TYPE_NAME("LinearReservoir"),
        "LinearReservoir(k_duration, gw_fraction, initial_q, num_reservoir=1)\n--\n\n"
        "Configuration for a single linear reservoir groundwater layer.\n\n"
        "A linear reservoir models groundwater storage with the recurrence::\n\n"
        "    Q[t] = C * I[t] + (1 - C) * Q[t-1],  where C = dt / (K + 0.5*dt)\n\n"
        "Chaining ``num_reservoir`` reservoirs in series gives a more peaked,\n"
        "delayed response.",
        0,  // not subclassable
        linear_reservoir_new,
        linear_reservoir_getset,
        nullptr,
    };
    return info;
}

}  // namespace py

void init_baseflow(PyObject* module) {
    py::register_function(module, &run_linear_reservoir_def);
    py::register_class<LinearReservoir>(module);
}

}  // namespace quellmar
