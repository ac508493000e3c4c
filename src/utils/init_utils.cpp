// The `utils` submodule: ContinuousTimeSeries and IncrementalTimeSeries.
#include "submodules.hpp"
#include "utils/py_utils.hpp"

namespace quellmar {
namespace {

using namespace quellmar::py;

constexpr const char* kSeriesParams[] = {"data", "time_step", "kind"};

// The constructor of both classes, in its order of checks: data converted,
// time_step's type checked, kind converted and validated, then time_step
// converted to whole seconds.
template <class Series>
Series build_series(Args& a) {
    std::vector<double> data = a.get<std::vector<double>>(0);
    const Timedelta step = a.get<Timedelta>(1);
    std::string kind = a.get<std::string>(2);
    unwrap(validate_kind(kind));
    const std::int32_t seconds = unwrap(series_time_step(step));
    return Series{std::move(data), seconds, std::move(kind)};
}

template <class Series>
PyObject* series_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);

template <>
PyObject* series_new<ContinuousTimeSeries>(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"ContinuousTimeSeries.__new__", kSeriesParams, 3};
    return construct<ContinuousTimeSeries>(sig, subtype, args, kwargs, build_series<ContinuousTimeSeries>);
}

template <>
PyObject* series_new<IncrementalTimeSeries>(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"IncrementalTimeSeries.__new__", kSeriesParams, 3};
    return construct<IncrementalTimeSeries>(sig, subtype, args, kwargs, build_series<IncrementalTimeSeries>);
}

template <class Series>
PyGetSetDef* series_getset() {
    static PyGetSetDef defs[] = {
        {"data", getter<Series, [](const Series& s) -> const auto& { return s.data; }>, nullptr, "", nullptr},
        {"time_step", getter<Series, [](const Series& s) { return WholeSeconds{s.time_step}; }>, nullptr, "",
         nullptr},
        {"kind", getter<Series, [](const Series& s) -> const auto& { return s.kind; }>, nullptr, "", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return defs;
}

// The values, exported read-only without a copy (np.asarray, memoryview).
template <class Series>
int series_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    return get_doubles_buffer<Series, [](const Series& s) -> const auto& { return s.data; }>(self, view, flags);
}

PyObject* disaggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"target_step"};
    static const Signature sig{"IncrementalTimeSeries.disaggregate", names, 1};
    return call(sig, args, nargs, kwnames, [&](Args& a) -> PyObject* {
        const std::int32_t target = a.get<std::int32_t>(0);
        auto* inst = instance_of<IncrementalTimeSeries>(self);
        Expected<IncrementalTimeSeries> result = [&] {
            SharedBorrow b(inst->borrow);
            return inst->value.disaggregate(target);
        }();
        return to_python(unwrap(std::move(result)));
    });
}

PyMethodDef continuous_methods[] = {
    {"total_duration",
     method_noargs<ContinuousTimeSeries, [](const ContinuousTimeSeries& s) { return s.total_duration(); }>,
     METH_NOARGS,
     "total_duration($self)\n--\n\n"
     "Total duration from the first to the last data point, in seconds."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef incremental_methods[] = {
    {"total_duration",
     method_noargs<IncrementalTimeSeries, [](const IncrementalTimeSeries& s) { return s.total_duration(); }>,
     METH_NOARGS,
     "total_duration($self)\n--\n\n"
     "Total duration spanning all time-step intervals, in seconds."},
    {"disaggregate", fastcall<disaggregate>(),
     METH_FASTCALL | METH_KEYWORDS,
     "disaggregate($self, target_step)\n--\n\n"
     "Disaggregate the series to a finer ``target_step``, given in seconds.\n\n"
     "Each interval's value is spread evenly over its sub-intervals, so the total\n"
     "depth is preserved. ``target_step`` must be at least 30 seconds and divide\n"
     "the series' own time step."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace py {

const ClassInfo& PyClass<ContinuousTimeSeries>::info() {
    static const ClassInfo info{
        "builtins.ContinuousTimeSeries",
        "ContinuousTimeSeries(data, time_step, kind)\n--\n\n"
        "A uniformly spaced time series in which each value is a quantity at a\n"
        "discrete point in time (for example discharge, elevation, storage).\n\n"
        "The total duration spans the first to the last point,\n"
        "``time_step * (len(data) - 1)``. The series supports linear interpolation\n"
        "between points.",
        Py_TPFLAGS_BASETYPE,
        series_new<ContinuousTimeSeries>,
        series_getset<ContinuousTimeSeries>(),
        continuous_methods,
        series_buffer<ContinuousTimeSeries>,
        release_doubles,
    };
    return info;
}

const ClassInfo& PyClass<IncrementalTimeSeries>::info() {
    static const ClassInfo info{
        "builtins.IncrementalTimeSeries",
        "IncrementalTimeSeries(data, time_step, kind)\n--\n\n"
        "A uniformly spaced time series in which each value is a quantity\n"
        "accumulated over one time-step interval (for example rainfall depth,\n"
        "volume added).\n\n"
        "The total duration spans all intervals, ``time_step * len(data)``. The\n"
        "series supports disaggregation to a finer time step.",
        Py_TPFLAGS_BASETYPE,
        series_new<IncrementalTimeSeries>,
        series_getset<IncrementalTimeSeries>(),
        incremental_methods,
        series_buffer<IncrementalTimeSeries>,
        release_doubles,
    };
    return info;
}

}  // namespace py

void init_utils(PyObject* module) {
    py::register_class<ContinuousTimeSeries>(module);
    py::register_class<IncrementalTimeSeries>(module);
}

}  // namespace quellmar
