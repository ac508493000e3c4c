// PanicException: the exception of an internal failure, created at the first
// one, and rebuilt under the same type when unpickled.
#include "binding/panic.hpp"

#include "binding/once.hpp"
#include "core/compat_strings.hpp"

namespace quellmar::py {
namespace {

OnceCell panic_type_cell;

const char* const kPanicDoc =
    "The exception raised when quellmar's internal code fails during a call from Python.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally passes through ordinary `except Exception` handlers up the whole stack\n"
    "and ends the interpreter.";

PyObject* panic_type() noexcept;

// PanicException.__reduce__.  The module "ostrel_runtime" that the type names
// cannot be imported, so pickle could not find the type: a panic raised in a
// worker process would reach its caller as a PicklingError.  Instead the
// exception pickles as a call of quellmar._rebuild_panic, which gives an
// instance of the same PanicException type with the same arguments (and the
// same __dict__, __notes__ included) in the process that unpickles it.  A
// Python subclass pickles as any exception does.
PyObject* panic_reduce(PyObject* self, PyObject*) noexcept {
    Ref base = Ref::steal(PyObject_GetAttrString(PyExc_BaseException, "__reduce__"));
    if (!base) return nullptr;
    Ref reduced = Ref::steal(PyObject_CallOneArg(base.get(), self));
    if (!reduced || reinterpret_cast<PyObject*>(Py_TYPE(self)) != panic_type()) return reduced.release();
    if (!PyTuple_Check(reduced.get()) || PyTuple_GET_SIZE(reduced.get()) < 2) return reduced.release();
    Ref quellmar = Ref::steal(PyImport_ImportModule("quellmar"));
    if (!quellmar) return nullptr;
    Ref rebuild = Ref::steal(PyObject_GetAttrString(quellmar.get(), "_rebuild_panic"));
    if (!rebuild) return nullptr;
    const Py_ssize_t size = PyTuple_GET_SIZE(reduced.get());
    PyObject* out = PyTuple_New(size);
    if (out == nullptr) return nullptr;
    PyTuple_SET_ITEM(out, 0, rebuild.release());
    for (Py_ssize_t i = 1; i < size; ++i) PyTuple_SET_ITEM(out, i, Py_NewRef(PyTuple_GET_ITEM(reduced.get(), i)));
    return out;
}

PyMethodDef panic_reduce_def = {
    .ml_name = "__reduce__",
    .ml_meth = panic_reduce,
    .ml_flags = METH_NOARGS,
    .ml_doc = "Helper for pickle.",
};

PyObject* panic_type() noexcept {
    return panic_type_cell.get([]() -> PyObject* {
        Ref type = Ref::steal(
            PyErr_NewExceptionWithDoc(compat::kPanicExceptionName, kPanicDoc, PyExc_BaseException, nullptr));
        if (!type) return nullptr;
        Ref reduce = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), &panic_reduce_def));
        if (!reduce || PyObject_SetAttrString(type.get(), "__reduce__", reduce.get()) < 0) return nullptr;
        return type.release();
    });
}

// quellmar._rebuild_panic(*args): a new PanicException with these arguments.
PyObject* rebuild_panic(PyObject*, PyObject* args) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return nullptr;
    return PyObject_Call(type, args, nullptr);
}

PyMethodDef rebuild_panic_def = {
    .ml_name = "_rebuild_panic",
    .ml_meth = rebuild_panic,
    .ml_flags = METH_VARARGS,
    .ml_doc = "_rebuild_panic(*args)\n--\n\n"
              "A new PanicException with the given arguments: how a pickled PanicException\n"
              "(for example one raised in a worker process) is rebuilt.",
};

}  // namespace

void set_panic(const std::string& message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the creation's own exception stays set
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void register_panic_rebuild(PyObject* module) {
    Ref module_name = Ref::check(PyModule_GetNameObject(module));
    Ref function = Ref::check(PyCFunction_NewEx(&rebuild_panic_def, module, module_name.get()));
    if (PyObject_SetAttrString(module, rebuild_panic_def.ml_name, function.get()) < 0) fail();
}

}  // namespace quellmar::py
