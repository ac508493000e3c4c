#include "binding.hpp"

#include <datetime.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

namespace quellmar::py {

// ---------------------------------------------------------------------------
// Raising

void raise(PyObject* type, const std::string& message) {
    Ref text = Ref::check(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyErr_SetObject(type, text.get());
    fail();
}

void raise_error(const Error& error) {
    PyObject* type = PyExc_ValueError;
    switch (error.type) {
        case ErrorType::ValueError: type = PyExc_ValueError; break;
        case ErrorType::TypeError: type = PyExc_TypeError; break;
        case ErrorType::RuntimeError: type = PyExc_RuntimeError; break;
        case ErrorType::OverflowError: type = PyExc_OverflowError; break;
    }
    raise(type, error.message);
}

namespace {

std::string utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) fail();
    return std::string(data, static_cast<std::size_t>(size));
}

std::string cast_message(PyObject* obj, const char* target) {
    if (obj == nullptr || obj == Py_None) return std::string("'None' is not an instance of '") + target + "'";
    Ref qualname = Ref::check(PyType_GetQualName(Py_TYPE(obj)));
    // Built by appending: GCC 12 misreports "literal + std::string&&" (-Wrestrict).
    std::string message = "'";
    message.append(utf8_of(qualname.get())).append("' object is not an instance of '").append(target).append("'");
    return message;
}

// PanicException, created at the first internal failure.
OnceCell panic_type_cell;

const char* const kPanicDoc =
    "The exception raised when quellmar's internal code fails during a call from Python.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally passes through ordinary `except Exception` handlers up the whole stack\n"
    "and ends the interpreter.";

PyObject* panic_type() noexcept;

// PanicException.__reduce__.  The module "ostrel_runtime" that the type names
// cannot be imported, so pickle could not find the type: a panic raised in a
// worker process would reach its caller as a PicklingError.  Instead the
// exception pickles as a call of quellmar._rebuild_panic, which gives an
// instance of the same PanicException type with the same arguments (and the
// same __dict__, __notes__ included) in the process that unpickles it.  A
// Python subclass pickles as any exception does.
PyObject* panic_reduce(PyObject* self, PyObject*) noexcept {
    PyObject* base = PyObject_GetAttrString(PyExc_BaseException, "__reduce__");
    if (base == nullptr) return nullptr;
    PyObject* reduced = PyObject_CallOneArg(base, self);
    Py_DECREF(base);
    if (reduced == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(self)) != panic_type()) return reduced;
    Ref held = Ref::steal(reduced);
    if (!PyTuple_Check(reduced) || PyTuple_GET_SIZE(reduced) < 2) return held.release();
    PyObject* quellmar = PyImport_ImportModule("quellmar");
    if (quellmar == nullptr) return nullptr;
    PyObject* rebuild = PyObject_GetAttrString(quellmar, "_rebuild_panic");
    Py_DECREF(quellmar);
    if (rebuild == nullptr) return nullptr;
    const Py_ssize_t size = PyTuple_GET_SIZE(reduced);
    PyObject* out = PyTuple_New(size);
    if (out == nullptr) {
        Py_DECREF(rebuild);
        return nullptr;
    }
    PyTuple_SET_ITEM(out, 0, rebuild);
    for (Py_ssize_t i = 1; i < size; ++i) PyTuple_SET_ITEM(out, i, Py_NewRef(PyTuple_GET_ITEM(reduced, i)));
    return out;
}

PyMethodDef panic_reduce_def = {"__reduce__", panic_reduce, METH_NOARGS, "Helper for pickle."};

PyObject* panic_type() noexcept {
    return panic_type_cell.get([]() -> PyObject* {
        PyObject* type =
            PyErr_NewExceptionWithDoc("ostrel_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
        if (type == nullptr) return nullptr;
        PyObject* reduce = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), &panic_reduce_def);
        if (reduce == nullptr || PyObject_SetAttrString(type, "__reduce__", reduce) < 0) {
            Py_XDECREF(reduce);
            Py_DECREF(type);
            return nullptr;
        }
        Py_DECREF(reduce);
        return type;
    });
}

// quellmar._rebuild_panic(*args): a new PanicException with these arguments.
PyObject* rebuild_panic(PyObject*, PyObject* args) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return nullptr;
    return PyObject_Call(type, args, nullptr);
}

PyMethodDef rebuild_panic_def = {
    "_rebuild_panic", rebuild_panic, METH_VARARGS,
    "_rebuild_panic(*args)\n--\n\n"
    "A new PanicException with the given arguments: how a pickled PanicException\n"
    "(for example one raised in a worker process) is rebuilt."};

}  // namespace

void register_panic_rebuild(PyObject* module) {
    Ref module_name = Ref::check(PyModule_GetNameObject(module));
    Ref function = Ref::check(PyCFunction_NewEx(&rebuild_panic_def, module, module_name.get()));
    if (PyObject_SetAttrString(module, rebuild_panic_def.ml_name, function.get()) < 0) fail();
}

void raise_cast(PyObject* obj, const char* target) { raise(PyExc_TypeError, cast_message(obj, target)); }

void set_panic(const std::string& message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the creation's own exception stays set
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) set_panic(kGenericPanicMessage);
    } catch (const Panic& p) {
        set_panic(p.message().empty() ? std::string(kGenericPanicMessage) : p.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic(kGenericPanicMessage);
    }
}

// ---------------------------------------------------------------------------
// The datetime C API, imported at first need and kept.

namespace {

OnceCell datetime_capsule_cell;
std::atomic<PyDateTime_CAPI*> datetime_api{nullptr};

PyDateTime_CAPI* dt_api() {
    if (PyDateTime_CAPI* api = datetime_api.load(std::memory_order_acquire)) return api;
    PyObject* capsule = datetime_capsule_cell.get([]() -> PyObject* {
        PyObject* module = PyImport_ImportModule("datetime");
        if (module == nullptr) return nullptr;
        PyObject* cap = PyObject_GetAttrString(module, "datetime_CAPI");
        Py_DECREF(module);
        if (cap != nullptr && PyCapsule_GetPointer(cap, PyDateTime_CAPSULE_NAME) == nullptr) {
            Py_CLEAR(cap);
        }
        return cap;
    });
    if (capsule == nullptr) fail();
    auto* api = static_cast<PyDateTime_CAPI*>(PyCapsule_GetPointer(capsule, PyDateTime_CAPSULE_NAME));
    if (api == nullptr) fail();
    datetime_api.store(api, std::memory_order_release);
    return api;
}

}  // namespace

Timedelta From<Timedelta>::convert(PyObject* obj) {
    PyDateTime_CAPI* api = dt_api();
    if (!PyObject_TypeCheck(obj, api->DeltaType)) raise_cast(obj, "timedelta");
    Timedelta td;
    td.days = PyDateTime_DELTA_GET_DAYS(obj);
    td.seconds = PyDateTime_DELTA_GET_SECONDS(obj);
    td.microseconds = PyDateTime_DELTA_GET_MICROSECONDS(obj);
    return td;
}

PyObject* To<WholeSeconds>::convert(WholeSeconds v) {
    PyDateTime_CAPI* api = dt_api();
    const int days = v.seconds / 86400;
    const int secs = v.seconds % 86400;
    return Ref::check(api->Delta_FromDelta(days, secs, 0, 1, api->DeltaType)).release();
}

// ---------------------------------------------------------------------------
// Scalars

namespace {

// True when `text` is a str equal to `expected`; never leaves an error set.
bool str_equals(PyObject* text, const char* expected) noexcept {
    return text != nullptr && PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// numpy's boolean scalar type: a type named "bool_" (numpy 1) or "bool"
// (numpy 2) whose module is "numpy", whatever its C-level name.  A type
// whose name or module cannot be read is not one.
bool is_numpy_bool_type(PyTypeObject* type) noexcept {
    PyObject* t = reinterpret_cast<PyObject*>(type);
    Ref name = Ref::steal(PyType_GetName(type));
    const bool named = str_equals(name.get(), "bool_") || str_equals(name.get(), "bool");
    if (!named) {
        PyErr_Clear();
        return false;
    }
    Ref module = Ref::steal(PyObject_GetAttrString(t, "__module__"));
    const bool in_numpy = str_equals(module.get(), "numpy");
    PyErr_Clear();
    return in_numpy;
}

}  // namespace

std::int32_t From<std::int32_t>::convert(PyObject* obj) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) fail();
    if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::int32_t>(v);
}

std::int64_t From<std::int64_t>::convert(PyObject* obj) {
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred()) fail();
    return static_cast<std::int64_t>(v);
}

std::uint64_t From<std::uint64_t>::convert(PyObject* obj) {
    Ref number = PyLong_Check(obj) ? Ref::borrow(obj) : Ref::check(PyNumber_Index(obj));
    unsigned long long v = PyLong_AsUnsignedLongLong(number.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail();
    return static_cast<std::uint64_t>(v);
}

bool From<bool>::convert(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    // numpy's boolean scalar, taken by its truth value.
    if (is_numpy_bool_type(Py_TYPE(obj))) {
        int truth = PyObject_IsTrue(obj);
        if (truth < 0) fail();
        return truth != 0;
    }
    raise_cast(obj, "bool");
}

std::string From<std::string>::convert(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_cast(obj, "str");
    return utf8_of(obj);
}

PyObject* To<std::string>::convert(const std::string& v) {
    return Ref::check(PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), "replace")).release();
}

// ---------------------------------------------------------------------------
// Vectors of doubles

namespace {

// The most a vector conversion reserves before reading: a length reported by
// __len__ may lie, so iteration decides the final size beyond this.
constexpr Py_ssize_t kMaxUpfrontReserve = Py_ssize_t{1} << 20;

inline double item_as_double(PyObject* item) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    double v = PyFloat_AsDouble(item);
    if (v == -1.0 && PyErr_Occurred()) fail();
    return v;
}

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
        out.push_back(item_as_double(item));
    }
#else
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (PyFloat_CheckExact(item)) {
            out.push_back(PyFloat_AS_DOUBLE(item));
            continue;
        }
        Ref held = Ref::borrow(item);
        out.push_back(item_as_double(item));
    }
#endif
    return out;
}

std::vector<double> vector_from_tuple(PyObject* tuple) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    std::vector<double> out;
    reserve_exact(out, static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(item_as_double(PyTuple_GET_ITEM(tuple, i)));
    return out;
}

}  // namespace

// numpy arrays, array.array and memoryview objects that expose a one-
// dimensional buffer of native doubles.  Only these exact types are asked for
// a buffer, so no Python-level __buffer__ ever runs.
bool get_double_buffer(PyObject* obj, Py_buffer& view, bool any_stride) {
    const char* tp_name = Py_TYPE(obj)->tp_name;
    if (!PyMemoryView_Check(obj) && std::strcmp(tp_name, "numpy.ndarray") != 0 &&
        std::strcmp(tp_name, "array.array") != 0) {
        return false;
    }
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
// bit for bit, that iteration would.  Returns false to fall back to iteration.
bool vector_from_buffer(PyObject* obj, std::vector<double>& out) {
    Py_buffer view;
    if (!get_double_buffer(obj, view, true)) return false;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const std::size_t n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides[0];
    const char* first = static_cast<const char*>(view.buf);
    reserve_exact(out, n);
    if (stride == static_cast<Py_ssize_t>(sizeof(double))) {
        const double* values = reinterpret_cast<const double*>(first);
        out.assign(values, values + n);
        return true;
    }
    for (std::size_t i = 0; i < n; ++i) {
        double v;
        std::memcpy(&v, first + static_cast<Py_ssize_t>(i) * stride, sizeof v);
        out.push_back(v);
    }
    return true;
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
    if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (PyList_CheckExact(obj)) return vector_from_list(obj);
    if (PyTuple_CheckExact(obj)) return vector_from_tuple(obj);
    std::vector<double> out;
    if (vector_from_buffer(obj, out)) return out;
    if (!PySequence_Check(obj)) raise_cast(obj, "Sequence");
    Py_ssize_t len = PyObject_Size(obj);
    if (len < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(std::min(len, kMaxUpfrontReserve)));
    }
    Ref iterator = Ref::check(PyObject_GetIter(obj));
    for (;;) {
        Ref item = Ref::steal(next_item(iterator.get()));
        if (!item) break;
        out.push_back(item_as_double(item.get()));
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

// ---------------------------------------------------------------------------
// Dictionaries

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
            if (PyDict_GET_SIZE(obj) != initial) panic("dictionary changed size during iteration");
            if (!PyDict_Next(obj, &pos, &key, &value)) break;
            if (++seen > initial) panic("dictionary keys changed during iteration");
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

// ---------------------------------------------------------------------------
// Argument error wrapping

void wrap_argument_error(const char* name) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (type != PyExc_TypeError || value == nullptr) {
        PyErr_Restore(type, value, tb);
        return;
    }
    Py_XDECREF(tb);
    Py_DECREF(type);
    PyObject* exc = value;
#endif
    PyObject* replacement = nullptr;
    PyObject* text = PyObject_Str(exc);
    if (text != nullptr) {
        PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, text);
        Py_DECREF(text);
        if (message != nullptr) {
            replacement = PyObject_CallOneArg(PyExc_TypeError, message);
            Py_DECREF(message);
        }
    }
    if (replacement == nullptr) {  // keep whatever failed while wrapping
        Py_DECREF(exc);
        return;
    }
    PyException_SetCause(replacement, PyException_GetCause(exc));  // steals the cause
    Py_DECREF(exc);
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(replacement);
#else
    PyErr_Restore(Py_NewRef(PyExc_TypeError), replacement, nullptr);
#endif
}

// ---------------------------------------------------------------------------
// Binding

Args::Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : sig_(sig) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.names.size());
    const Py_ssize_t npos = std::min(nargs, n);
    for (Py_ssize_t i = 0; i < npos; ++i) values_[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) bind_keyword(PyTuple_GET_ITEM(kwnames, j), args[nargs + j]);
    }
    finish(nargs);
}

Args::Args(const Signature& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.names.size());
    const Py_ssize_t npos = std::min(nargs, n);
    for (Py_ssize_t i = 0; i < npos; ++i) values_[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(key, value);
    }
    finish(nargs);
}

void Args::bind_keyword(PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, std::string(sig_.display) + "() keywords must be strings");
    for (std::size_t i = 0; i < sig_.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig_.names[i]) == 0) {
            if (values_[i] != nullptr) {
                raise(PyExc_TypeError,
                      std::string(sig_.display) + "() got multiple values for argument '" + sig_.names[i] + "'");
            }
            values_[i] = value;
            return;
        }
    }
    PyErr_Clear();  // a comparison with a malformed key is a mismatch
    raise(PyExc_TypeError,
          std::string(sig_.display) + "() got an unexpected keyword argument '" + utf8_of(key) + "'");
}

void Args::finish(Py_ssize_t nargs) {
    const std::size_t n = sig_.names.size();
    if (static_cast<std::size_t>(nargs) > n) {
        const bool has_defaults = sig_.required < n;
        std::string takes = has_defaults ? "from " + std::to_string(sig_.required) + " to " + std::to_string(n)
                                         : std::to_string(n);
        const bool plural = has_defaults || n != 1;
        raise(PyExc_TypeError, std::string(sig_.display) + "() takes " + takes + " positional argument" +
                                   (plural ? "s" : "") + " but " + std::to_string(nargs) + " " +
                                   (nargs == 1 ? "was" : "were") + " given");
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig_.required; ++i) {
        if (values_[i] == nullptr) missing.push_back(sig_.names[i]);
    }
    if (missing.empty()) return;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                list += " and ";
            } else {
                list += (i + 1 == missing.size()) ? ", and " : ", ";
            }
        }
        list += std::string("'") + missing[i] + "'";
    }
    raise(PyExc_TypeError, std::string(sig_.display) + "() missing " + std::to_string(missing.size()) +
                               " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " + list);
}

// ---------------------------------------------------------------------------
// Classes and borrows

const char* ClassInfo::name() const {
    const char* dot = std::strrchr(spec_name, '.');
    return dot != nullptr ? dot + 1 : spec_name;
}

PyTypeObject* create_type(const ClassInfo& info, Py_ssize_t basicsize, destructor dealloc) {
    PyType_Slot slots[8];
    int k = 0;
    slots[k++] = {Py_tp_doc, const_cast<char*>(info.doc)};
    slots[k++] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)};
    if (info.tp_new != nullptr) slots[k++] = {Py_tp_new, reinterpret_cast<void*>(info.tp_new)};
    if (info.getset != nullptr) slots[k++] = {Py_tp_getset, info.getset};
    if (info.methods != nullptr) slots[k++] = {Py_tp_methods, info.methods};
    if (info.getbuffer != nullptr) slots[k++] = {Py_bf_getbuffer, reinterpret_cast<void*>(info.getbuffer)};
    if (info.releasebuffer != nullptr) {
        slots[k++] = {Py_bf_releasebuffer, reinterpret_cast<void*>(info.releasebuffer)};
    }
    slots[k++] = {0, nullptr};
    PyType_Spec spec{info.spec_name, static_cast<int>(basicsize), 0,
                     static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | info.flags), slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) fail();
    return reinterpret_cast<PyTypeObject*>(type);
}

// The shape and the stride live in a small block of their own, freed when
// the view is released, so a consumer that moves its Py_buffer keeps valid
// pointers.  An empty vector exports a valid pointer to no values.
int export_doubles(PyObject* self, Py_buffer* view, int flags, const std::vector<double>& values) noexcept {
    if (view == nullptr) {
        PyErr_SetString(PyExc_BufferError, "NULL view in getbuffer");
        return -1;
    }
    view->obj = nullptr;
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "Object is not writable.");
        return -1;
    }
    auto* layout = static_cast<Py_ssize_t*>(PyMem_Malloc(2 * sizeof(Py_ssize_t)));
    if (layout == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    static const double no_values[1] = {0.0};
    const auto n = static_cast<Py_ssize_t>(values.size());
    layout[0] = n;
    layout[1] = static_cast<Py_ssize_t>(sizeof(double));
    view->buf = const_cast<double*>(n > 0 ? values.data() : no_values);
    view->obj = Py_NewRef(self);
    view->len = n * static_cast<Py_ssize_t>(sizeof(double));
    view->itemsize = static_cast<Py_ssize_t>(sizeof(double));
    view->readonly = 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("d") : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &layout[0] : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &layout[1] : nullptr;
    view->suboffsets = nullptr;
    view->internal = layout;
    return 0;
}

void release_doubles(PyObject*, Py_buffer* view) noexcept {
    PyMem_Free(view->internal);
    view->internal = nullptr;
}

SharedBorrow::SharedBorrow(std::atomic<std::intptr_t>& counter) : counter_(counter) {
    std::intptr_t current = counter_.load(std::memory_order_relaxed);
    for (;;) {
        if (current < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        if (counter_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) return;
    }
}

ExclusiveBorrow::ExclusiveBorrow(std::atomic<std::intptr_t>& counter) : counter_(counter) {
    std::intptr_t expected = 0;
    if (!counter_.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
        raise(PyExc_RuntimeError, "Already borrowed");
    }
}

// ---------------------------------------------------------------------------
// Warnings, registration, enum messages

void warn(const char* message) {
    Ref warnings = Ref::check(PyImport_ImportModule("warnings"));
    Ref function = Ref::check(PyObject_GetAttrString(warnings.get(), "warn"));
    Ref text = Ref::check(PyUnicode_FromString(message));
    Ref result = Ref::check(PyObject_CallOneArg(function.get(), text.get()));
}

void register_object(PyObject* module, const char* name, PyObject* obj) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
        all = Ref::check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) fail();
    }
    Ref text = Ref::check(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) < 0) fail();
    if (PyObject_SetAttr(module, text.get(), obj) < 0) fail();
}

void register_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::check(PyModule_GetNameObject(module));
    Ref function = Ref::check(PyCFunction_NewEx(def, module, module_name.get()));
    register_object(module, def->ml_name, function.get());
}

void register_submodule(PyObject* parent, PyObject* submodule) {
    const char* full = PyModule_GetName(submodule);
    if (full == nullptr) fail();
    const char* dot = std::strrchr(full, '.');
    register_object(parent, dot != nullptr ? dot + 1 : full, submodule);
}

std::string enum_extraction_message(const char* enum_name, std::span<const VariantRefusal> refusals) {
    std::string names;
    for (std::size_t i = 0; i < refusals.size(); ++i) {
        if (i > 0) names += " | ";
        names += refusals[i].variant;
    }
    std::string message = std::string("failed to extract enum ") + enum_name + " ('" + names + "')";
    for (const auto& r : refusals) {
        message += std::string("\n- variant ") + r.variant + " (" + r.variant + "): TypeError: failed to extract field " +
                   enum_name + "::" + r.variant + ".0, caused by " + r.reason;
    }
    return message;
}

std::string describe_cast(PyObject* obj, const char* target) { return "TypeError: " + cast_message(obj, target); }

}  // namespace quellmar::py
