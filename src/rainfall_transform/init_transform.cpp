// The `rainfall_transform` submodule: run_clark_uh.
#include "rainfall_transform/clark_uh.hpp"
#include "binding/submodules.hpp"
#include "utils/py_utils.hpp"

namespace quellmar {
namespace {

using namespace quellmar::py;

// The rainfall is read in place: a series cannot change.
using RunClarkUh = Function<"run_clark_uh",
                            Param<"rainfall", Borrowed<IncrementalTimeSeries>>,
                            Param<"basin_area", double>,
                            Param<"tc", Timedelta>,
                            Param<"storage_r", Timedelta>>;

// Order of a call: the arguments converted in parameter order, then `tc`
// and `storage_r` taken as durations (a negative `tc` is reported first).
PyObject* run_clark_uh(RunClarkUh::Values& a) {
    const auto& rainfall = arg<"rainfall">(a);
    const Duration tc_duration = unwrap(to_duration(arg<"tc">(a), "tc"));
    const Duration r_duration = unwrap(to_duration(arg<"storage_r">(a), "storage_r"));
    // Work grows with the number of ordinates times the rainfall values.
    const double ordinates = tc_duration.as_seconds() / static_cast<double>(rainfall->time_step);
    const bool long_run =
        static_cast<double>(rainfall->data.size()) * (ordinates + 1.0) >= static_cast<double>(kLongRunValues);
    ContinuousTimeSeries runoff = maybe_without_gil(
        long_run, [&] { return clark_uh(*rainfall, arg<"basin_area">(a), tc_duration, r_duration); });
    return to_python(std::move(runoff));
}

constexpr auto kRunClarkUhDoc = RunClarkUh::doc(
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
    "    as ``rainfall``.");

PyMethodDef run_clark_uh_def = function_def<RunClarkUh, run_clark_uh>(kRunClarkUhDoc.c_str());

}  // namespace

void init_transform(PyObject* module) { py::register_function(module, &run_clark_uh_def); }

}  // namespace quellmar
