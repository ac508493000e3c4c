// Conversions of scalars: numbers, booleans, text, durations.
#include "binding/from_python.hpp"
#include "binding/once.hpp"
#include "binding/to_python.hpp"

#include <datetime.h>

#include <atomic>
#include <cstring>

#include "core/compat_strings.hpp"

namespace quellmar::py {

// The datetime C API, imported at first need and kept.
namespace {

OnceCell datetime_capsule_cell;
std::atomic<PyDateTime_CAPI*> datetime_api{nullptr};

PyDateTime_CAPI* dt_api() {
    if (PyDateTime_CAPI* api = datetime_api.load(std::memory_order_acquire)) return api;
    PyObject* capsule = datetime_capsule_cell.get([]() -> PyObject* {
        Ref module = Ref::steal(PyImport_ImportModule("datetime"));
        if (!module) return nullptr;
        Ref cap = Ref::steal(PyObject_GetAttrString(module.get(), "datetime_CAPI"));
        if (cap && PyCapsule_GetPointer(cap.get(), PyDateTime_CAPSULE_NAME) == nullptr) return nullptr;
        return cap.release();
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

namespace {

// An int, or an object with __index__, read whole as 64 bits whatever the
// width of C `long` (32 bits on Windows); a value beyond 64 bits fails with
// the interpreter's own words for a 64-bit `long`, the same on every platform.
std::int64_t int64_of(PyObject* obj) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) raise(PyExc_OverflowError, compat::kIntegerTooLarge);
    if (v == -1 && PyErr_Occurred()) fail();
    return static_cast<std::int64_t>(v);
}

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
    // Read whole, then range-checked.
    const std::int64_t v = int64_of(obj);
    if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, compat::kIntegerOutOfRange);
    return static_cast<std::int32_t>(v);
}

std::int64_t From<std::int64_t>::convert(PyObject* obj) { return int64_of(obj); }

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

}  // namespace quellmar::py
