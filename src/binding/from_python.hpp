// Argument conversion: From<T>::convert(obj) returns the owned value or
// unwinds with a Python exception set (unprefixed; the argument binding adds
// the argument's name to a TypeError).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "binding/classes.hpp"
#include "binding/errors.hpp"
#include "core/duration.hpp"
#include "core/named_map.hpp"

namespace quellmar::py {

template <class T>
struct From;

// Declares the conversion into T, defined out of line (in namespace
// quellmar::py).
#define QUELLMAR_DECLARE_FROM(...)                 \
    template <>                                    \
    struct From<__VA_ARGS__> {                     \
        static __VA_ARGS__ convert(PyObject* obj); \
    }

template <>
struct From<double> {
    static double convert(PyObject* obj) {
        if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
        double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) fail();
        return v;
    }
};

QUELLMAR_DECLARE_FROM(std::vector<double>);

// Holds `view` on a one-dimensional buffer of native doubles offered by a
// numpy array, array.array or memoryview, or by an object that is no
// sequence but exports one (a series): C-contiguous, or with any stride when
// `any_stride`; false (nothing held, no error set) for anything else: a
// probe, not a failure.
bool get_double_buffer(PyObject* obj, Py_buffer& view, bool any_stride = false);

// The values of a sequence argument, for a routine that only reads them.  A
// one-dimensional, C-contiguous buffer of native doubles (a float64 numpy
// array, an array.array of doubles, a memoryview of either, a series) is read
// in place: its buffer is held until the view is destroyed, so it can be
// neither resized nor freed, and the values are exactly those a copy would
// hold.  Everything else goes through the vector conversion, with its checks
// and messages.
// Do not read a view while the interpreter lock is released.
class DoubleView {
public:
    DoubleView() = default;
    DoubleView(const DoubleView&) = delete;
    DoubleView& operator=(const DoubleView&) = delete;
    DoubleView& operator=(DoubleView&&) = delete;
    DoubleView(DoubleView&& o) noexcept;
    ~DoubleView();

    std::span<const double> values() const { return values_; }
    // True when the values are a converted copy, not the caller's buffer.
    bool owned() const { return !has_view_; }

private:
    friend struct From<DoubleView>;
    std::vector<double> owned_;
    Py_buffer view_{};
    bool has_view_ = false;
    std::span<const double> values_;
};

QUELLMAR_DECLARE_FROM(DoubleView);
QUELLMAR_DECLARE_FROM(std::int32_t);
QUELLMAR_DECLARE_FROM(std::int64_t);
QUELLMAR_DECLARE_FROM(std::uint64_t);
QUELLMAR_DECLARE_FROM(bool);
QUELLMAR_DECLARE_FROM(std::string);

// A datetime.timedelta (or subclass), read field by field.
QUELLMAR_DECLARE_FROM(Timedelta);

// Instances of module classes: exactly the class or a Python subclass; the
// value is copied out under a shared borrow.
template <ModuleClass T>
struct From<T> {
    static T convert(PyObject* obj) {
        auto* inst = checked_instance<T>(obj);
        SharedBorrow b(inst->borrow);
        return inst->value;
    }
};

// The same, read in place (see Borrowed).
template <ModuleClass T>
struct From<Borrowed<T>> {
    static Borrowed<T> convert(PyObject* obj) { return Borrowed<T>::take(obj); }
};

// None, or for an optional parameter not given (obj == nullptr): absent.
template <class T>
struct From<std::optional<T>> {
    static std::optional<T> convert(PyObject* obj) {
        if (obj == nullptr || obj == Py_None) return std::nullopt;
        return From<T>::convert(obj);
    }
};

// Walks a dict (or subclass) in its own order, calling visit(key, value)
// with references held for the call; a change to the dict during the walk is
// an internal failure.  Anything else fails by the cast rule with "dict".
void walk_dict(PyObject* obj, void (*visit)(void* ctx, PyObject* key, PyObject* value), void* ctx);

// A dictionary of named values, in the dictionary's own order.  Names are
// unique: a later entry whose text equals an earlier one replaces its value.
template <class V>
struct From<NamedMap<V>> {
    static NamedMap<V> convert(PyObject* obj) {
        struct Ctx {
            NamedMap<V> out;
            std::unordered_map<std::string, std::size_t> index;
        } ctx;
        walk_dict(
            obj,
            [](void* c, PyObject* key, PyObject* value) {
                auto& x = *static_cast<Ctx*>(c);
                std::string name = From<std::string>::convert(key);
                V v = From<V>::convert(value);
                auto [it, inserted] = x.index.try_emplace(name, x.out.size());
                if (inserted) {
                    x.out.emplace_back(std::move(name), std::move(v));
                } else {
                    x.out[it->second].second = std::move(v);
                }
            },
            &ctx);
        return std::move(ctx.out);
    }
};

// A kind the binding layer can convert an argument into.
template <class T>
concept Convertible = requires(PyObject* obj) {
    { From<T>::convert(obj) } -> std::same_as<T>;
};

}  // namespace quellmar::py
