// Registering functions, classes and submodules in a module.
#pragma once

#include <type_traits>

#include "binding/args.hpp"
#include "binding/classes.hpp"

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

// The PyMethodDef of the module function whose parameter table is `Table`
// and whose body `Body`, a PyObject* (Table::Values&), runs on the converted
// arguments: every module function takes the road of `call`.
template <class Table, auto Body>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call<Table>(args, nargs, kwnames, Body);
}
template <class Table, auto Body>
PyMethodDef function_def(const char* doc) {
    return fastcall_def<Table, function_entry<Table, Body>>(doc);
}

// The tp_new of the class whose constructor's parameter table is `Table` and
// whose body `Body`, returning the new value from Table::Values&, builds it:
// every constructor takes the road of `construct`.
template <class Table, auto Body>
PyObject* constructor(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    using T = std::remove_cvref_t<std::invoke_result_t<decltype(Body), typename Table::Values&>>;
    return construct<T, Table>(subtype, args, kwargs, Body);
}

// The PyMethodDef of the method without parameters `Impl` (a METH_NOARGS
// function) whose parameter table is `Table`.
template <class Table, PyCFunction Impl>
PyMethodDef noargs_def(const char* doc) {
    static_assert(Table::count == 0, "a method without parameters has an empty table");
    return {Table::callable_name.c_str(), Impl, METH_NOARGS, doc};
}

// Appends `name` to the module's __all__ (created if missing), then sets the attribute.
void register_object(PyObject* module, const char* name, PyObject* obj);
// Creates a function object bound to `module`, reporting the module's name as __module__.
void register_function(PyObject* module, PyMethodDef* def);
// Registers a filled submodule under its name after the last dot.
void register_submodule(PyObject* parent, PyObject* submodule);
// Creates the module `name`, fills it with `fill`, then registers it in `parent`.
void add_submodule(PyObject* parent, const char* name, void (*fill)(PyObject*));

template <ModuleClass T>
void register_class(PyObject* module) {
    register_object(module, PyClass<T>::info().name(), reinterpret_cast<PyObject*>(type_of<T>()));
}

}  // namespace quellmar::py
