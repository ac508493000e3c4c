// Results: To<T>::convert(value) returns a new reference or unwinds.  Every
// result and every attribute read is a new object: nothing is shared with the
// module's internal values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/classes.hpp"
#include "binding/errors.hpp"
#include "core/named_map.hpp"

namespace quellmar::py {

// A duration in whole seconds, returned to Python as datetime.timedelta.
struct WholeSeconds {
    std::int32_t seconds;
};

template <class T>
struct To;

template <>
struct To<double> {
    static PyObject* convert(double v) { return Ref::check(PyFloat_FromDouble(v)).release(); }
};
template <>
struct To<std::int64_t> {
    static PyObject* convert(std::int64_t v) { return Ref::check(PyLong_FromLongLong(v)).release(); }
};
template <>
struct To<std::uint64_t> {
    static PyObject* convert(std::uint64_t v) { return Ref::check(PyLong_FromUnsignedLongLong(v)).release(); }
};
template <>
struct To<bool> {
    static PyObject* convert(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
};
template <>
struct To<std::string> {
    static PyObject* convert(const std::string& v);
};
template <>
struct To<std::vector<double>> {
    static PyObject* convert(const std::vector<double>& v);
};
template <>
struct To<WholeSeconds> {
    static PyObject* convert(WholeSeconds v);
};
template <class T>
struct To<std::optional<T>> {
    static PyObject* convert(const std::optional<T>& v) {
        if (!v) return Py_NewRef(Py_None);
        return To<T>::convert(*v);
    }
};
// Module class values become new instances of the class itself.
template <ModuleClass T>
struct To<T> {
    static PyObject* convert(T v) { return new_instance<T>(type_of<T>(), std::move(v)); }
};
// A new dict keyed in the map's order.
template <class V>
struct To<NamedMap<V>> {
    static PyObject* convert(NamedMap<V> m) {
        Ref d = Ref::check(PyDict_New());
        for (auto& [name, value] : m) {
            Ref key = Ref::check(To<std::string>::convert(name));
            Ref val = Ref::steal(To<V>::convert(std::move(value)));
            if (PyDict_SetItem(d.get(), key.get(), val.get()) < 0) fail();
        }
        return d.release();
    }
};
template <class A, class B>
struct To<std::pair<A, B>> {
    static PyObject* convert(std::pair<A, B> v) {
        Ref first = Ref::steal(To<A>::convert(std::move(v.first)));
        Ref second = Ref::steal(To<B>::convert(std::move(v.second)));
        return Ref::check(PyTuple_Pack(2, first.get(), second.get())).release();
    }
};

template <class T>
PyObject* to_python(T&& v) {
    return To<std::decay_t<T>>::convert(std::forward<T>(v));
}

}  // namespace quellmar::py
