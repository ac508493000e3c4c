// The `rainfall_loss` submodule: DeficitConstantResult and
// run_deficit_and_constant.
#include "rainfall_loss/deficit_and_constant.hpp"
#include "submodules.hpp"
#include "utils/py_utils.hpp"

namespace quellmar::py {

template <>
struct PyClass<DeficitConstantResult> {
    static const ClassInfo& info();
};

}  // namespace quellmar::py

namespace quellmar {
namespace {

using namespace quellmar::py;

PyGetSetDef result_getset[] = {
    {"excess",
     getter<DeficitConstantResult, [](const DeficitConstantResult& r) -> const auto& { return r.excess; }>, nullptr,
     "Excess rainfall that becomes surface runoff (inches per time step).", nullptr},
    {"loss", getter<DeficitConstantResult, [](const DeficitConstantResult& r) -> const auto& { return r.loss; }>,
     nullptr, "Total infiltrated depth per time step (constant loss plus deficit fill, inches).", nullptr},
    {"deficit",
     getter<DeficitConstantResult, [](const DeficitConstantResult& r) -> const auto& { return r.deficit; }>,
     nullptr, "Running soil moisture deficit at the end of each time step (inches).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* run_deficit_and_constant(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"rainfall", "initial_deficit", "max_deficit", "constant_loss_per_hr",
                                            "time_to_dry"};
    static const Signature sig{"run_deficit_and_constant", names, 5};
    return call(sig, args, nargs, kwnames, [](Args& a) -> PyObject* {
        // Read in place: a series cannot change.
        const Borrowed<IncrementalTimeSeries> rainfall = a.get<Borrowed<IncrementalTimeSeries>>(0);
        const double initial_deficit = a.get<double>(1);
        const double max_deficit = a.get<double>(2);
        const double constant_loss_per_hr = a.get<double>(3);
        const Timedelta time_to_dry = a.get<Timedelta>(4);
        Expected<DeficitConstantResult> result =
            maybe_without_gil(rainfall->data.size() >= kLongRunValues, [&] {
                return deficit_and_constant(*rainfall, initial_deficit, max_deficit, constant_loss_per_hr,
                                            time_to_dry);
            });
        return to_python(unwrap(std::move(result)));
    });
}

PyMethodDef run_deficit_and_constant_def = {
    "run_deficit_and_constant",
    fastcall<run_deficit_and_constant>(),
    METH_FASTCALL | METH_KEYWORDS,
    "run_deficit_and_constant(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)\n--\n\n"
    "Separate gross rainfall into excess runoff and infiltration losses using the\n"
    "deficit-and-constant model.\n\n"
    "Arguments:\n"
    "    rainfall: gross rainfall, an IncrementalTimeSeries in inches per time step.\n"
    "    initial_deficit: starting soil moisture deficit (inches).\n"
    "    max_deficit: maximum soil moisture storage capacity (inches).\n"
    "    constant_loss_per_hr: constant infiltration rate (inches per hour).\n"
    "    time_to_dry: characteristic drying time for deficit recovery (timedelta).\n\n"
    "Returns:\n"
    "    A DeficitConstantResult with `excess`, `loss` and `deficit` series.",
};

}  // namespace

namespace py {

const ClassInfo& PyClass<DeficitConstantResult>::info() {
    static const ClassInfo info{
        QUELLMAR_CLASS_TYPE_NAME("DeficitConstantResult"),
        "Results from the deficit-and-constant rainfall loss model.",
        Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        nullptr,
        result_getset,
        nullptr,
    };
    return info;
}

}  // namespace py

void init_loss(PyObject* module) {
    py::register_class<DeficitConstantResult>(module);
    py::register_function(module, &run_deficit_and_constant_def);
}

}  // namespace quellmar
