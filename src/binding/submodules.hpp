// The submodule initialisers: each fills the module object it is given with
// its classes and functions, in registration order.  They unwind with
// py::PythonError on failure.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quellmar {

void init_utils(PyObject* module);
void init_reach(PyObject* module);
void init_reservoir(PyObject* module);
void init_transform(PyObject* module);
void init_loss(PyObject* module);
void init_baseflow(PyObject* module);
void init_metrics(PyObject* module);

}  // namespace quellmar
