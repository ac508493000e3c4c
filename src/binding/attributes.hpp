// Attribute getters and setters, and methods without parameters.
#pragma once

#include <type_traits>
#include <utility>

#include "binding/args.hpp"
#include "binding/classes.hpp"
#include "binding/to_python.hpp"

namespace quellmar::py {

// A getter that converts one field of the instance's value: `Field` is a
// callable taking `const T&` and returning the field (by reference or value).
template <ModuleClass T, auto Field>
PyObject* getter(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        auto* inst = instance_of<T>(self);
        SharedBorrow b(inst->borrow);
        decltype(auto) field = Field(inst->value);
        return To<std::decay_t<decltype(field)>>::convert(field);
    });
}

// A getter of one data member of the instance's value.
template <ModuleClass T, auto Member>
PyObject* member_getter(PyObject* self, void* closure) {
    return getter<T, [](const T& v) -> const auto& { return v.*Member; }>(self, closure);
}

// A setter of one data member: converts the new value with the member's kind
// (naming the attribute `Name` in a TypeError), then takes the exclusive
// borrow and stores it.  Deleting raises "property has no deleter".
template <ModuleClass T, FixedString Name, auto Member>
int member_setter(PyObject* self, PyObject* value, void*) {
    using Kind = std::remove_cvref_t<decltype(std::declval<T&>().*Member)>;
    return guard_status([&] {
        if (value == nullptr) raise(PyExc_AttributeError, compat::kNoDeleter);
        Kind v = convert_named<Kind>(value, Name.c_str());
        auto* inst = instance_of<T>(self);
        ExclusiveBorrow b(inst->borrow);
        inst->value.*Member = std::move(v);
    });
}

// Table entries: an attribute read from a data member, and one that can
// also be set.  An entry without `doc` has no docstring (__doc__ is None).
template <ModuleClass T, auto Member>
constexpr PyGetSetDef read_only(const char* name, const char* doc = nullptr) {
    return {name, member_getter<T, Member>, nullptr, doc, nullptr};
}
template <ModuleClass T, FixedString Name, auto Member>
constexpr PyGetSetDef read_write(const char* doc = nullptr) {
    return {Name.c_str(), member_getter<T, Member>, member_setter<T, Name, Member>, doc, nullptr};
}
// An attribute computed by `Field` from the value.
template <ModuleClass T, auto Field>
constexpr PyGetSetDef computed(const char* name, const char* doc = nullptr) {
    return {name, getter<T, Field>, nullptr, doc, nullptr};
}
inline constexpr PyGetSetDef kGetSetEnd = {nullptr, nullptr, nullptr, nullptr, nullptr};

// A method without parameters computing a value from the instance's value.
template <ModuleClass T, auto Method>
PyObject* method_noargs(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        auto* inst = instance_of<T>(self);
        SharedBorrow b(inst->borrow);
        return to_python(Method(inst->value));
    });
}

// The value of `self`, an instance of T, read by `read` under a shared
// borrow (for methods with parameters).
template <ModuleClass T, class Read>
decltype(auto) read_value(PyObject* self, Read&& read) {
    auto* inst = instance_of<T>(self);
    SharedBorrow b(inst->borrow);
    return read(std::as_const(inst->value));
}

}  // namespace quellmar::py
