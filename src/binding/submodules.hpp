// The table of submodules, in registration order: the name under `quellmar`,
// the initialiser that fills a module object with the submodule's classes and
// functions (unwinding with py::PythonError on failure), and whether the
// submodule also has a standalone entry module, named as its initialiser and
// entered through PyInit_<initialiser>.
//
// This table is the only list of submodules: module.cpp expands it into the
// top-level module and the standalone entry modules, src/CMakeLists.txt reads
// the exported entry points from it, and tests/test_module.py the names.  Keep
// one QUELLMAR_SUBMODULE line per submodule, in this form.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define QUELLMAR_SUBMODULES(X)                           \
    QUELLMAR_SUBMODULE(X, utils, init_utils, 0)          \
    QUELLMAR_SUBMODULE(X, reach, init_reach, 1)          \
    QUELLMAR_SUBMODULE(X, reservoir, init_reservoir, 1)  \
    QUELLMAR_SUBMODULE(X, rainfall_transform, init_transform, 1) \
    QUELLMAR_SUBMODULE(X, rainfall_loss, init_loss, 1)   \
    QUELLMAR_SUBMODULE(X, baseflow, init_baseflow, 1)    \
    QUELLMAR_SUBMODULE(X, metrics, init_metrics, 1)

#define QUELLMAR_SUBMODULE(X, name, initialiser, standalone) X(name, initialiser, standalone)

namespace quellmar {

#define QUELLMAR_DECLARE_INITIALISER(name, initialiser, standalone) void initialiser(PyObject* module);
QUELLMAR_SUBMODULES(QUELLMAR_DECLARE_INITIALISER)
#undef QUELLMAR_DECLARE_INITIALISER

}  // namespace quellmar
