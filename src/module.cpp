// The top-level module `quellmar` and the standalone entry modules, both
// expanded from the table of submodules in binding/submodules.hpp.
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
#define QUELLMAR_ADD_SUBMODULE(name, initialiser, standalone) add_submodule(module, #name, initialiser);
        QUELLMAR_SUBMODULES(QUELLMAR_ADD_SUBMODULE)
#undef QUELLMAR_ADD_SUBMODULE
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
#define QUELLMAR_STANDALONE_DEF_0(initialiser)
#define QUELLMAR_STANDALONE_DEF_1(initialiser) QUELLMAR_MODULE_DEF(initialiser, #initialiser, exec_standalone<initialiser>)
#define QUELLMAR_STANDALONE_DEF(name, initialiser, standalone) QUELLMAR_STANDALONE_DEF_##standalone(initialiser)
QUELLMAR_SUBMODULES(QUELLMAR_STANDALONE_DEF)

}  // namespace
}  // namespace quellmar

PyMODINIT_FUNC PyInit_quellmar(void) { return PyModuleDef_Init(&quellmar::quellmar_def); }
#define QUELLMAR_STANDALONE_ENTRY_0(initialiser)
#define QUELLMAR_STANDALONE_ENTRY_1(initialiser) \
    PyMODINIT_FUNC PyInit_##initialiser(void) { return PyModuleDef_Init(&quellmar::initialiser##_def); }
#define QUELLMAR_STANDALONE_ENTRY(name, initialiser, standalone) QUELLMAR_STANDALONE_ENTRY_##standalone(initialiser)
QUELLMAR_SUBMODULES(QUELLMAR_STANDALONE_ENTRY)
