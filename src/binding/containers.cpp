// Conversions of sequences of doubles and of dictionaries.
#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <optional>

#include "core/allocation.hpp"
#include "binding/from_python.hpp"
#include "binding/to_python.hpp"
#include "core/compat_strings.hpp"

namespace quellmar::py {

namespace {

// The most a vector conversion reserves before reading: a length reported by
// __len__ may lie, so iteration decides the final size beyond this.  A
// length whose values could never be held (`allocatable` says so, or it
// exceeds Py_ssize_t) is believed once this many values have been read and
// more keep coming: MemoryError then, instead of reading on up to the
// machine's limit (range(10**10) would take gigabytes first).  A shorter
// sequence that only claims such a length is read as before.
constexpr Py_ssize_t kMaxUpfrontReserve = Py_ssize_t{1} << 20;

// Every item converts as a double argument does (From<double>).
//
// Exact list: the same walk as the list iterator (the size is read again at
// every step, so an item whose __float__ changes the list is seen as it would
// be through iter()).
std::vector<double> vector_from_list(PyObject* list) {
    std::vector<double> out;
    reserve_exact(out, static_cast<std::size_t>(PyList_GET_SIZE(list)));
#ifdef Py_GIL_DISABLED
    for (Py_ssize_t i = 0;; ++i) {
        PyObject* item = PyList_GetItemRef(list, i);
        if (item == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_IndexError)) {
                PyErr_Clear();
                break;
            }
            fail();
        }
        Ref held = Ref::steal(item);
        out.push_back(From<double>::convert(item));
    }
#else
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (PyFloat_CheckExact(item)) {
            out.push_back(PyFloat_AS_DOUBLE(item));
            continue;
        }
        Ref held = Ref::borrow(item);
        out.push_back(From<double>::convert(item));
    }
#endif
    return out;
}

std::vector<double> vector_from_tuple(PyObject* tuple) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    std::vector<double> out;
    reserve_exact(out, static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(From<double>::convert(PyTuple_GET_ITEM(tuple, i)));
    return out;
}

}  // namespace

// numpy arrays, array.array and memoryview objects that expose a one-
// dimensional buffer of native doubles; and any other object that exports
// such a buffer but is no sequence (a quellmar series, a Python class with
// __buffer__): those were refused before buffers were asked for, so no
// sequence that was read by iteration is now read differently.
bool get_double_buffer(PyObject* obj, Py_buffer& view, bool any_stride) {
    const char* tp_name = Py_TYPE(obj)->tp_name;
    const bool known = PyMemoryView_Check(obj) || std::strcmp(tp_name, "numpy.ndarray") == 0 ||
                       std::strcmp(tp_name, "array.array") == 0;
    if (!known && (!PyObject_CheckBuffer(obj) || PySequence_Check(obj))) return false;
    const int layout = any_stride ? PyBUF_STRIDES : PyBUF_C_CONTIGUOUS;
    if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | layout) < 0) {
        PyErr_Clear();
        return false;
    }
    const char* format = view.format;
    const bool native_double = format != nullptr && (std::strcmp(format, "d") == 0 ||
                                                     std::strcmp(format, "@d") == 0 ||
                                                     std::strcmp(format, "=d") == 0);
    if (view.ndim != 1 || view.itemsize != sizeof(double) || !native_double) {
        PyBuffer_Release(&view);
        return false;
    }
    return true;
}

namespace {

// Such a buffer is copied in one pass (a strided one, such as a column or
// every other value of an array, element by element), giving the same vector,
// bit for bit, that iteration would.  Nothing for any other object, which is
// then iterated.
std::optional<std::vector<double>> vector_from_buffer(PyObject* obj) {
    Py_buffer view;
    if (!get_double_buffer(obj, view, true)) return std::nullopt;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const std::size_t n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides[0];
    const char* first = static_cast<const char*>(view.buf);
    std::vector<double> out;
    reserve_exact(out, n);
    if (stride == static_cast<Py_ssize_t>(sizeof(double))) {
        const double* values = reinterpret_cast<const double*>(first);
        out.assign(values, values + n);
        return out;
    }
    for (std::size_t i = 0; i < n; ++i) {
        double v;
        std::memcpy(&v, first + static_cast<Py_ssize_t>(i) * stride, sizeof v);
        out.push_back(v);
    }
    return out;
}

PyObject* next_item(PyObject* iterator) {
#if PY_VERSION_HEX >= 0x030E0000
    PyObject* item = nullptr;
    int r = PyIter_NextItem(iterator, &item);
    if (r < 0) fail();
    return item;  // nullptr when exhausted
#else
    PyObject* item = PyIter_Next(iterator);
    if (item == nullptr && PyErr_Occurred()) fail();
    return item;
#endif
}

}  // namespace

std::vector<double> From<std::vector<double>>::convert(PyObject* obj) {
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, compat::kStrToVector);
    if (PyList_CheckExact(obj)) return vector_from_list(obj);
    if (PyTuple_CheckExact(obj)) return vector_from_tuple(obj);
    if (std::optional<std::vector<double>> copied = vector_from_buffer(obj)) return std::move(*copied);
    if (!PySequence_Check(obj)) raise_cast(obj, "Sequence");
    std::vector<double> out;
    bool unholdable = false;
    Py_ssize_t len = PyObject_Size(obj);
    if (len < 0) {
        // A length beyond Py_ssize_t (range(10**20)) could never be held.
        unholdable = PyErr_ExceptionMatches(PyExc_OverflowError);
        PyErr_Clear();
    } else {
        unholdable = !allocatable(static_cast<std::size_t>(len), sizeof(double));
        out.reserve(static_cast<std::size_t>(std::min(len, kMaxUpfrontReserve)));
    }
    Ref iterator = Ref::check(PyObject_GetIter(obj));
    for (;;) {
        Ref item = Ref::steal(next_item(iterator.get()));
        if (!item) break;
        if (unholdable && out.size() == static_cast<std::size_t>(kMaxUpfrontReserve)) throw std::bad_alloc();
        out.push_back(From<double>::convert(item.get()));
    }
    return out;
}

DoubleView From<DoubleView>::convert(PyObject* obj) {
    DoubleView out;
    if (get_double_buffer(obj, out.view_)) {
        out.has_view_ = true;
        out.values_ = std::span<const double>(static_cast<const double*>(out.view_.buf),
                                              static_cast<std::size_t>(out.view_.len) / sizeof(double));
    } else {
        out.owned_ = From<std::vector<double>>::convert(obj);
        out.values_ = out.owned_;
    }
    return out;
}

DoubleView::DoubleView(DoubleView&& o) noexcept
    : owned_(std::move(o.owned_)), view_(o.view_), has_view_(std::exchange(o.has_view_, false)) {
    values_ = has_view_ ? o.values_ : std::span<const double>(owned_);
}

DoubleView::~DoubleView() {
    if (has_view_) PyBuffer_Release(&view_);
}

// A value equal bit for bit to the one before it, or a positive zero after
// the first, shares that value's float object (floats are immutable): runs
// of dry-weather zeros, constant releases and plateaus cost a reference
// instead of an allocation.  The values are unchanged bit for bit.
PyObject* To<std::vector<double>>::convert(const std::vector<double>& v) {
    const std::size_t n = v.size();
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(n)));
    PyObject* previous = nullptr;
    PyObject* zero = nullptr;
    std::uint64_t previous_bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, &v[i], sizeof bits);
        PyObject* f;
        if (previous != nullptr && bits == previous_bits) {
            f = Py_NewRef(previous);
        } else if (bits == 0 && zero != nullptr) {
            f = Py_NewRef(zero);
        } else {
            f = PyFloat_FromDouble(v[i]);
            if (f == nullptr) fail();
            if (bits == 0) zero = f;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
        previous = f;
        previous_bits = bits;
    }
    return list.release();
}

void walk_dict(PyObject* obj, void (*visit)(void*, PyObject*, PyObject*), void* ctx) {
    if (!PyDict_Check(obj)) raise_cast(obj, "dict");
    std::exception_ptr failure;
#ifdef Py_GIL_DISABLED
    Py_BEGIN_CRITICAL_SECTION(obj);
#endif
    try {
        const Py_ssize_t initial = PyDict_GET_SIZE(obj);
        Py_ssize_t pos = 0;
        Py_ssize_t seen = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (;;) {
            if (PyDict_GET_SIZE(obj) != initial) panic(compat::kDictChangedSize);
            if (!PyDict_Next(obj, &pos, &key, &value)) break;
            if (++seen > initial) panic(compat::kDictKeysChanged);
            Ref k = Ref::borrow(key);
            Ref v = Ref::borrow(value);
            visit(ctx, k.get(), v.get());
        }
    } catch (...) {
        failure = std::current_exception();
    }
#ifdef Py_GIL_DISABLED
    Py_END_CRITICAL_SECTION();
#endif
    if (failure) std::rethrow_exception(failure);
}

}  // namespace quellmar::py
