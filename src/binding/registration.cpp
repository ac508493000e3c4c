// Registering functions, classes and submodules in a module.
#include "binding/registration.hpp"

#include <cstring>

namespace quellmar::py {

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

void add_submodule(PyObject* parent, const char* name, void (*fill)(PyObject*)) {
    Ref sub = Ref::check(PyModule_New(name));
    fill(sub.get());
    register_submodule(parent, sub.get());
}

}  // namespace quellmar::py
