// The `utils` submodule: ContinuousTimeSeries and IncrementalTimeSeries.
#include "binding/submodules.hpp"
#include "utils/py_utils.hpp"

namespace quellmar {
namespace {

using namespace quellmar::py;

// The constructor of both classes.
template <FixedString Class>
using SeriesNew = Constructor<Class,
                              Param<"data", std::vector<double>>,
                              Param<"time_step", Timedelta>,
                              Param<"kind", std::string>>;

// The order of checks: data converted, time_step's type checked, kind
// converted and validated, then time_step converted to whole seconds.
template <class Series, FixedString Class>
Series series_new(typename SeriesNew<Class>::Values& a) {
    unwrap(validate_kind(arg<"kind">(a)));
    const std::int32_t seconds = unwrap(series_time_step(arg<"time_step">(a)));
    return Series{std::move(arg<"data">(a)), seconds, std::move(arg<"kind">(a))};
}

// The series' attributes have always had an empty docstring (__doc__ is "",
// not None), which callers may read.
constexpr const char* kEmptyDoc = "";

template <class Series>
PyGetSetDef* series_getset() {
    static constexpr auto time_step_of = [](const Series& s) { return WholeSeconds{s.time_step}; };
    static PyGetSetDef defs[] = {
        read_only<Series, &Series::data>("data", kEmptyDoc),
        computed<Series, time_step_of>("time_step", kEmptyDoc),
        read_only<Series, &Series::kind>("kind", kEmptyDoc),
        kGetSetEnd,
    };
    return defs;
}

// The values, exported read-only without a copy (np.asarray, memoryview).
template <class Series>
int series_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    return get_doubles_buffer<Series, [](const Series& s) -> const auto& { return s.data; }>(self, view, flags);
}

template <FixedString Class>
using TotalDuration = Method<Class, "total_duration">;

template <class Series, FixedString Class>
PyMethodDef total_duration_def(const char* doc) {
    return noargs_def<TotalDuration<Class>, method_noargs<Series, [](const Series& s) { return s.total_duration(); }>>(
        doc);
}
using Disaggregate = Method<"IncrementalTimeSeries", "disaggregate", Param<"target_step", std::int32_t>>;

PyObject* disaggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call<Disaggregate>(args, nargs, kwnames, [&](auto& a) -> PyObject* {
        Expected<IncrementalTimeSeries> result = read_value<IncrementalTimeSeries>(
            self, [&](const IncrementalTimeSeries& s) { return s.disaggregate(arg<"target_step">(a)); });
        return to_python(unwrap(std::move(result)));
    });
}

constexpr auto kContinuousTotalDurationDoc =
    TotalDuration<"ContinuousTimeSeries">::doc("Total duration from the first to the last data point, in seconds.");
constexpr auto kIncrementalTotalDurationDoc =
    TotalDuration<"IncrementalTimeSeries">::doc("Total duration spanning all time-step intervals, in seconds.");
constexpr auto kDisaggregateDoc = Disaggregate::doc(
    "Disaggregate the series to a finer ``target_step``, given in seconds.\n\n"
    "Each interval's value is spread evenly over its sub-intervals, so the total\n"
    "depth is preserved. ``target_step`` must be at least 30 seconds and divide\n"
    "the series' own time step.");

PyMethodDef continuous_methods[] = {
    total_duration_def<ContinuousTimeSeries, "ContinuousTimeSeries">(kContinuousTotalDurationDoc.c_str()),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef incremental_methods[] = {
    total_duration_def<IncrementalTimeSeries, "IncrementalTimeSeries">(kIncrementalTotalDurationDoc.c_str()),
    fastcall_def<Disaggregate, disaggregate>(kDisaggregateDoc.c_str()),
    {nullptr, nullptr, 0, nullptr},
};

constexpr auto kContinuousDoc = SeriesNew<"ContinuousTimeSeries">::doc(
    "A uniformly spaced time series in which each value is a quantity at a\n"
    "discrete point in time (for example discharge, elevation, storage).\n\n"
    "The total duration spans the first to the last point,\n"
    "``time_step * (len(data) - 1)``. The series supports linear interpolation\n"
    "between points.");

constexpr auto kIncrementalDoc = SeriesNew<"IncrementalTimeSeries">::doc(
    "A uniformly spaced time series in which each value is a quantity\n"
    "accumulated over one time-step interval (for example rainfall depth,\n"
    "volume added).\n\n"
    "The total duration spans all intervals, ``time_step * len(data)``. The\n"
    "series supports disaggregation to a finer time step.");

}  // namespace

namespace py {

QUELLMAR_CLASS(ContinuousTimeSeries, .doc = kContinuousDoc.c_str(), .flags = Py_TPFLAGS_BASETYPE,
               .tp_new = constructor<SeriesNew<"ContinuousTimeSeries">, series_new<ContinuousTimeSeries, "ContinuousTimeSeries">>,
               .getset = series_getset<ContinuousTimeSeries>(), .methods = continuous_methods,
               .getbuffer = series_buffer<ContinuousTimeSeries>, .releasebuffer = release_doubles)
QUELLMAR_CLASS(IncrementalTimeSeries, .doc = kIncrementalDoc.c_str(), .flags = Py_TPFLAGS_BASETYPE,
               .tp_new = constructor<SeriesNew<"IncrementalTimeSeries">, series_new<IncrementalTimeSeries, "IncrementalTimeSeries">>,
               .getset = series_getset<IncrementalTimeSeries>(), .methods = incremental_methods,
               .getbuffer = series_buffer<IncrementalTimeSeries>, .releasebuffer = release_doubles)

}  // namespace py

void init_utils(PyObject* module) {
    py::register_class<ContinuousTimeSeries>(module);
    py::register_class<IncrementalTimeSeries>(module);
}

}  // namespace quellmar
