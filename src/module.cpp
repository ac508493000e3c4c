// The top-level module `quellmar` and the six standalone entry modules.
#include "binding/binding.hpp"
#include "binding/submodules.hpp"

namespace quellmar {
namespace {

using py::add_submodule;

void check_module(PyObject* module) {
    if (!PyModule_Check(module)) py::raise_cast(module, "module");
}

int exec_quellmar(PyObject* module) {
    return py::guard_status([&] {
        check_module(module);
        add_submodule(module, "utils", init_utils);
        add_submodule(module, "reach", init_reach);
        add_submodule(module, "reservoir", init_reservoir);
        add_submodule(module, "rainfall_transform", init_transform);
        add_submodule(module, "rainfall_loss", init_loss);
        add_submodule(module, "baseflow", init_baseflow);
        add_submodule(module, "metrics", init_metrics);
        py::register_panic_rebuild(module);
    });
}

// A standalone entry module holds one submodule's contents directly.
template <void (*Fill)(PyObject*)>
int exec_standalone(PyObject* module) {
    return py::guard_status([&] {
        check_module(module);
        Fill(module);
    });
}

// Two slots first: the execution function and the GIL declaration.  Type
// objects are process-wide, so the module refuses to load into a
// sub-interpreter with its own GIL rather than share them across interpreters.
#if PY_VERSION_HEX >= 0x030D0000
#define QUELLMAR_GIL_SLOT {.slot = Py_mod_gil, .value = Py_MOD_GIL_NOT_USED},
#else
#define QUELLMAR_GIL_SLOT
#endif
#if PY_VERSION_HEX >= 0x030C0000
#define QUELLMAR_INTERP_SLOT \
    {.slot = Py_mod_multiple_interpreters, .value = Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define QUELLMAR_INTERP_SLOT
#endif

#define QUELLMAR_MODULE_DEF(ident, name, exec)                                                            \
    PyModuleDef_Slot ident##_slots[] = {{.slot = Py_mod_exec, .value = reinterpret_cast<void*>(exec)},     \
                                        QUELLMAR_GIL_SLOT QUELLMAR_INTERP_SLOT{.slot = 0, .value = nullptr}}; \
    PyModuleDef ident##_def = {                                                                           \
        .m_base = PyModuleDef_HEAD_INIT, .m_name = name, .m_doc = "", .m_size = 0, .m_slots = ident##_slots};

QUELLMAR_MODULE_DEF(quellmar, "quellmar", exec_quellmar)
QUELLMAR_MODULE_DEF(reach, "init_reach", exec_standalone<init_reach>)
QUELLMAR_MODULE_DEF(transform, "init_transform", exec_standalone<init_transform>)
QUELLMAR_MODULE_DEF(loss, "init_loss", exec_standalone<init_loss>)
QUELLMAR_MODULE_DEF(metrics, "init_metrics", exec_standalone<init_metrics>)
QUELLMAR_MODULE_DEF(reservoir, "init_reservoir", exec_standalone<init_reservoir>)
QUELLMAR_MODULE_DEF(baseflow, "init_baseflow", exec_standalone<init_baseflow>)

}  // namespace
}  // namespace quellmar

PyMODINIT_FUNC PyInit_quellmar(void) { return PyModuleDef_Init(&quellmar::quellmar_def); }
PyMODINIT_FUNC PyInit_init_reach(void) { return PyModuleDef_Init(&quellmar::reach_def); }
PyMODINIT_FUNC PyInit_init_transform(void) { return PyModuleDef_Init(&quellmar::transform_def); }
PyMODINIT_FUNC PyInit_init_loss(void) { return PyModuleDef_Init(&quellmar::loss_def); }
PyMODINIT_FUNC PyInit_init_metrics(void) { return PyModuleDef_Init(&quellmar::metrics_def); }
PyMODINIT_FUNC PyInit_init_reservoir(void) { return PyModuleDef_Init(&quellmar::reservoir_def); }
PyMODINIT_FUNC PyInit_init_baseflow(void) { return PyModuleDef_Init(&quellmar::baseflow_def); }
