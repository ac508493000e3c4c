// The `metrics` submodule: calculate_kge.
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "metrics/kge.hpp"
#include "submodules.hpp"

namespace quellmar {
namespace {

// The values of a sequence argument, for a routine that only reads them.
// A one-dimensional, C-contiguous buffer of native doubles (a float64 numpy
// array, an array.array of doubles, a memoryview of either) is read in
// place: its buffer is held until the call returns, so it can be neither
// resized nor freed, and no Python code runs while the routine reads it, so
// the routine sees exactly the values a copy would hold, without paying for
// fresh pages for that copy.  Every other argument goes through the ordinary
// vector conversion, with its checks and messages.
class DoubleValues {
public:
    DoubleValues() = default;
    DoubleValues(const DoubleValues&) = delete;
    DoubleValues& operator=(const DoubleValues&) = delete;
    DoubleValues& operator=(DoubleValues&&) = delete;
    DoubleValues(DoubleValues&& o) noexcept
        : owned_(std::move(o.owned_)), view_(o.view_), has_view_(std::exchange(o.has_view_, false)) {
        values_ = has_view_ ? o.values_ : std::span<const double>(owned_);
    }
    ~DoubleValues() {
        if (has_view_) PyBuffer_Release(&view_);
    }

    static DoubleValues convert(PyObject* obj) {
        DoubleValues out;
        if (!out.borrow_buffer(obj)) {
            out.owned_ = py::From<std::vector<double>>::convert(obj);
            out.values_ = out.owned_;
        }
        return out;
    }

    std::span<const double> values() const { return values_; }

private:
    // The same objects and layouts that the vector conversion copies in one
    // step; false (nothing held, no error set) for anything else.
    bool borrow_buffer(PyObject* obj) {
        const char* tp_name = Py_TYPE(obj)->tp_name;
        if (!PyMemoryView_Check(obj) && std::strcmp(tp_name, "numpy.ndarray") != 0 &&
            std::strcmp(tp_name, "array.array") != 0) {
            return false;
        }
        if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            return false;
        }
        const char* format = view_.format;
        const bool native_double = format != nullptr && (std::strcmp(format, "d") == 0 ||
                                                         std::strcmp(format, "@d") == 0 ||
                                                         std::strcmp(format, "=d") == 0);
        if (view_.ndim != 1 || view_.itemsize != sizeof(double) || !native_double) {
            PyBuffer_Release(&view_);
            return false;
        }
        has_view_ = true;
        values_ = std::span<const double>(static_cast<const double*>(view_.buf),
                                          static_cast<std::size_t>(view_.len) / sizeof(double));
        return true;
    }

    std::vector<double> owned_;
    Py_buffer view_{};
    bool has_view_ = false;
    std::span<const double> values_;
};

}  // namespace

namespace py {

template <>
struct From<DoubleValues> {
    static DoubleValues convert(PyObject* obj) { return DoubleValues::convert(obj); }
};

}  // namespace py

namespace {

using namespace quellmar::py;

PyObject* calculate_kge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"sim", "obs", "use_log"};
    static const Signature sig{"calculate_kge", names, 2};
    return call(sig, args, nargs, kwnames, [](Args& a) -> PyObject* {
        const DoubleValues sim = a.get<DoubleValues>(0);
        const DoubleValues obs = a.get<DoubleValues>(1);
        // The default is False, not None: an explicit None is refused.
        const bool use_log = a.raw(2) != nullptr ? a.get<bool>(2) : false;
        return to_python(unwrap(kling_gupta_efficiency(sim.values(), obs.values(), use_log)));
    });
}

PyMethodDef calculate_kge_def = {
    "calculate_kge",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(calculate_kge)),
    METH_FASTCALL | METH_KEYWORDS,
    "calculate_kge(sim, obs, use_log=False)\n--\n\n"
    "Calculate the Kling-Gupta Efficiency (KGE) between simulated and observed series.\n\n"
    "KGE decomposes model performance into three components, each measured against\n"
    "a perfect score of 1:\n\n"
    "- r: Pearson correlation (timing and shape agreement)\n"
    "- beta = mean_sim / mean_obs (bias ratio)\n"
    "- gamma = std_sim / std_obs (variability ratio)\n\n"
    "The efficiency is::\n\n"
    "    KGE = 1 - sqrt((r - 1)^2 + (beta - 1)^2 + (gamma - 1)^2)\n\n"
    "A KGE of 1 is a perfect match; values above 0 are generally considered\n"
    "acceptable. Setting `use_log` to True applies a log transform before computing\n"
    "the statistics, which emphasises low-flow performance.\n\n"
    "Arguments:\n"
    "    sim: simulated series.\n"
    "    obs: observed series, of the same length as `sim`.\n"
    "    use_log: if True, transform both series with ln(x + 1e-6) first.\n\n"
    "Raises:\n"
    "    ValueError: if `obs` is empty or `sim` and `obs` differ in length.",
};

}  // namespace

void init_metrics(PyObject* module) { py::register_function(module, &calculate_kge_def); }

}  // namespace quellmar
