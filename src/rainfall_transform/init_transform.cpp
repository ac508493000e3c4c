// The `rainfall_transform` submodule: run_clark_uh.
#include "rainfall_transform/clark_uh.hpp"
#include "submodules.hpp"
#include "utils/py_utils.hpp"

namespace quellmar {
namespace {

using namespace quellmar::py;

// Order of a call: the four arguments converted in parameter order, then `tc`
// and `storage_r` taken as durations (a negative `tc` is reported first).
PyObject* run_clark_uh(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"rainfall", "basin_area", "tc", "storage_r"};
    static const Signature sig{"run_clark_uh", names, 4};
    return call(sig, args, nargs, kwnames, [](Args& a) -> PyObject* {
        // Read in place: a series cannot change.
        const Borrowed<IncrementalTimeSeries> rainfall = a.get<Borrowed<IncrementalTimeSeries>>(0);
        const double basin_area = a.get<double>(1);
        const Timedelta tc = a.get<Timedelta>(2);
        const Timedelta storage_r = a.get<Timedelta>(3);

        const Duration tc_duration = unwrap(to_duration(tc));
        const Duration r_duration = unwrap(to_duration(storage_r));
        // Work grows with the number of ordinates times the rainfall values.
        const double ordinates = tc_duration.as_seconds() / static_cast<double>(rainfall->time_step);
        const bool long_run = static_cast<double>(rainfall->data.size()) * (ordinates + 1.0) >=
                              static_cast<double>(kLongRunValues);
        ContinuousTimeSeries runoff =
            maybe_without_gil(long_run, [&] { return clark_uh(*rainfall, basin_area, tc_duration, r_duration); });
        return to_python(std::move(runoff));
    });
}

PyMethodDef transform_functions[] = {
    {"run_clark_uh", fastcall<run_clark_uh>(),
     METH_FASTCALL | METH_KEYWORDS,
     "run_clark_uh(rainfall, basin_area, tc, storage_r)\n--\n\n"
     "Transform excess rainfall into a runoff hydrograph with the Clark unit\n"
     "hydrograph.\n\n"
     "Args:\n"
     "    rainfall: The excess rainfall series, in inches per time step.\n"
     "    basin_area: The drainage area, in acres.\n"
     "    tc: The time of concentration; it controls the duration and shape of the\n"
     "        translation hydrograph.\n"
     "    storage_r: The linear reservoir storage coefficient; it controls the\n"
     "        attenuation.\n\n"
     "Returns:\n"
     "    A ``ContinuousTimeSeries`` (kind \"discharge\", cfs) at the same time step\n"
     "    as ``rainfall``."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_transform(PyObject* module) { py::register_function(module, &transform_functions[0]); }

}  // namespace quellmar
