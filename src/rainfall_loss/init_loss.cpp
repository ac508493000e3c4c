// The `rainfall_loss` submodule: DeficitConstantResult and
// run_deficit_and_constant.
#include "rainfall_loss/deficit_and_constant.hpp"
#include "binding/submodules.hpp"
#include "utils/py_utils.hpp"

namespace quellmar {

QUELLMAR_DECLARE_CLASS(DeficitConstantResult);

namespace {

using namespace quellmar::py;

using Result = DeficitConstantResult;

PyGetSetDef result_getset[] = {
    read_only<Result, &Result::excess>("excess", "Excess rainfall that becomes surface runoff (inches per time step)."),
    read_only<Result, &Result::loss>(
        "loss", "Total infiltrated depth per time step (constant loss plus deficit fill, inches)."),
    read_only<Result, &Result::deficit>(
        "deficit", "Running soil moisture deficit at the end of each time step (inches)."),
    kGetSetEnd,
};

// The rainfall is read in place: a series cannot change.
using RunDeficitAndConstant = Function<"run_deficit_and_constant",
                                       Param<"rainfall", Borrowed<IncrementalTimeSeries>>,
                                       Param<"initial_deficit", double>,
                                       Param<"max_deficit", double>,
                                       Param<"constant_loss_per_hr", double>,
                                       Param<"time_to_dry", Timedelta>>;

PyObject* run_deficit_and_constant(RunDeficitAndConstant::Values& a) {
    const auto& rainfall = arg<"rainfall">(a);
    Expected<DeficitConstantResult> result = maybe_without_gil(rainfall->data.size() >= kLongRunValues, [&] {
        return deficit_and_constant(*rainfall, arg<"initial_deficit">(a), arg<"max_deficit">(a),
                                    arg<"constant_loss_per_hr">(a), arg<"time_to_dry">(a));
    });
    return to_python(unwrap(std::move(result)));
}

constexpr auto kRunDeficitAndConstantDoc = RunDeficitAndConstant::doc(
    "Separate gross rainfall into excess runoff and infiltration losses using the\n"
    "deficit-and-constant model.\n\n"
    "Arguments:\n"
    "    rainfall: gross rainfall, an IncrementalTimeSeries in inches per time step.\n"
    "    initial_deficit: starting soil moisture deficit (inches).\n"
    "    max_deficit: maximum soil moisture storage capacity (inches).\n"
    "    constant_loss_per_hr: constant infiltration rate (inches per hour).\n"
    "    time_to_dry: characteristic drying time for deficit recovery (timedelta).\n\n"
    "Returns:\n"
    "    A DeficitConstantResult with `excess`, `loss` and `deficit` series.\n\n"
    "Raises:\n"
    "    ValueError: if `time_to_dry` is negative, or a `rainfall` value is NaN\n"
    "        or infinite (a gap is not read as a dry step).");

PyMethodDef run_deficit_and_constant_def =
    function_def<RunDeficitAndConstant, run_deficit_and_constant>(kRunDeficitAndConstantDoc.c_str());

}  // namespace

QUELLMAR_CLASS(DeficitConstantResult, .doc = "Results from the deficit-and-constant rainfall loss model.",
               .flags = Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, .getset = result_getset)

void init_loss(PyObject* module) {
    py::register_class<DeficitConstantResult>(module);
    py::register_function(module, &run_deficit_and_constant_def);
}

}  // namespace quellmar
