// Module registration, warnings, and the enum extraction message.
#pragma once

#include <span>
#include <string>

#include "binding/args.hpp"
#include "binding/classes.hpp"
#include "binding/ref.hpp"

namespace quellmar::py {

// The entry of a METH_FASTCALL | METH_KEYWORDS function in a PyMethodDef.
template <auto F>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}

// The PyMethodDef of the function or method `Impl` whose parameter table is
// `Table`: its name from the table, `doc` from Table::doc.
template <class Table, auto Impl>
PyMethodDef fastcall_def(const char* doc) {
    return {Table::callable_name.c_str(), fastcall<Impl>(), METH_FASTCALL | METH_KEYWORDS, doc};
}

// The PyMethodDef of the method without parameters `Impl` (a METH_NOARGS
// function) whose parameter table is `Table`.
template <class Table, PyCFunction Impl>
PyMethodDef noargs_def(const char* doc) {
    static_assert(Table::count == 0, "a method without parameters has an empty table");
    return {Table::callable_name.c_str(), Impl, METH_NOARGS, doc};
}

// warnings.warn(message): UserWarning at stack level 1.  Unwinds when the
// warning machinery raises (for example under an "error" filter).
void warn(const char* message);

// Appends `name` to the module's __all__ (created if missing), then sets the attribute.
void register_object(PyObject* module, const char* name, PyObject* obj);
// Creates a function object bound to `module`, reporting the module's name as __module__.
void register_function(PyObject* module, PyMethodDef* def);
// Registers a filled submodule under its name after the last dot.
void register_submodule(PyObject* parent, PyObject* submodule);
// Creates the module `name`, fills it with `fill`, then registers it in `parent`.
void add_submodule(PyObject* parent, const char* name, void (*fill)(PyObject*));
// Sets quellmar._rebuild_panic (not listed in __all__), through which a
// pickled PanicException is rebuilt (binding/errors.cpp, beside the type).
void register_panic_rebuild(PyObject* module);

template <ModuleClass T>
void register_class(PyObject* module) {
    register_object(module, PyClass<T>::info().name(), reinterpret_cast<PyObject*>(type_of<T>()));
}

// Builds the message of a failed enum extraction (its form: compat_strings.hpp).
struct VariantRefusal {
    const char* variant;
    std::string reason;  // e.g. "TypeError: 'float' object is not an instance of 'X'"
};
std::string enum_extraction_message(const char* enum_name, std::span<const VariantRefusal> refusals);
// "TypeError: " + the cast-rule message, as a refusal reason.
std::string describe_cast(PyObject* obj, const char* target);

}  // namespace quellmar::py
