// Raising Python exceptions, PanicException, and the translation of C++
// failures at the guard.
#include <atomic>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "binding/once.hpp"
#include "binding/ref.hpp"
#include "compat_strings.hpp"

namespace quellmar::py {

// ---------------------------------------------------------------------------
// Raising

void raise(PyObject* type, const std::string& message) {
    Ref text = Ref::check(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyErr_SetObject(type, text.get());
    fail();
}

void raise_error(const Error& error) {
    PyObject* type = PyExc_ValueError;
    switch (error.type) {
        case ErrorType::ValueError: type = PyExc_ValueError; break;
        case ErrorType::TypeError: type = PyExc_TypeError; break;
        case ErrorType::RuntimeError: type = PyExc_RuntimeError; break;
        case ErrorType::OverflowError: type = PyExc_OverflowError; break;
    }
    raise(type, error.message);
}

std::string utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) fail();
    return std::string(data, static_cast<std::size_t>(size));
}

std::string cast_message(PyObject* obj, const char* target) {
    if (obj == nullptr || obj == Py_None) return std::string("'None' is not an instance of '") + target + "'";
    Ref qualname = Ref::check(PyType_GetQualName(Py_TYPE(obj)));
    // Built by appending: GCC 12 misreports "literal + std::string&&" (-Wrestrict).
    std::string message = "'";
    message.append(utf8_of(qualname.get())).append("' object is not an instance of '").append(target).append("'");
    return message;
}

namespace {

// PanicException, created at the first internal failure.
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
    PyObject* base = PyObject_GetAttrString(PyExc_BaseException, "__reduce__");
    if (base == nullptr) return nullptr;
    PyObject* reduced = PyObject_CallOneArg(base, self);
    Py_DECREF(base);
    if (reduced == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(self)) != panic_type()) return reduced;
    Ref held = Ref::steal(reduced);
    if (!PyTuple_Check(reduced) || PyTuple_GET_SIZE(reduced) < 2) return held.release();
    PyObject* quellmar = PyImport_ImportModule("quellmar");
    if (quellmar == nullptr) return nullptr;
    PyObject* rebuild = PyObject_GetAttrString(quellmar, "_rebuild_panic");
    Py_DECREF(quellmar);
    if (rebuild == nullptr) return nullptr;
    const Py_ssize_t size = PyTuple_GET_SIZE(reduced);
    PyObject* out = PyTuple_New(size);
    if (out == nullptr) {
        Py_DECREF(rebuild);
        return nullptr;
    }
    PyTuple_SET_ITEM(out, 0, rebuild);
    for (Py_ssize_t i = 1; i < size; ++i) PyTuple_SET_ITEM(out, i, Py_NewRef(PyTuple_GET_ITEM(reduced, i)));
    return out;
}

PyMethodDef panic_reduce_def = {"__reduce__", panic_reduce, METH_NOARGS, "Helper for pickle."};

PyObject* panic_type() noexcept {
    return panic_type_cell.get([]() -> PyObject* {
        PyObject* type =
            PyErr_NewExceptionWithDoc(compat::kPanicExceptionName, kPanicDoc, PyExc_BaseException, nullptr);
        if (type == nullptr) return nullptr;
        PyObject* reduce = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), &panic_reduce_def);
        if (reduce == nullptr || PyObject_SetAttrString(type, "__reduce__", reduce) < 0) {
            Py_XDECREF(reduce);
            Py_DECREF(type);
            return nullptr;
        }
        Py_DECREF(reduce);
        return type;
    });
}

// quellmar._rebuild_panic(*args): a new PanicException with these arguments.
PyObject* rebuild_panic(PyObject*, PyObject* args) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return nullptr;
    return PyObject_Call(type, args, nullptr);
}

PyMethodDef rebuild_panic_def = {
    "_rebuild_panic", rebuild_panic, METH_VARARGS,
    "_rebuild_panic(*args)\n--\n\n"
    "A new PanicException with the given arguments: how a pickled PanicException\n"
    "(for example one raised in a worker process) is rebuilt."};

}  // namespace

void register_panic_rebuild(PyObject* module) {
    Ref module_name = Ref::check(PyModule_GetNameObject(module));
    Ref function = Ref::check(PyCFunction_NewEx(&rebuild_panic_def, module, module_name.get()));
    if (PyObject_SetAttrString(module, rebuild_panic_def.ml_name, function.get()) < 0) fail();
}

void raise_cast(PyObject* obj, const char* target) { raise(PyExc_TypeError, cast_message(obj, target)); }

void set_panic(const std::string& message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the creation's own exception stays set
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

bool thread_handles_signals() noexcept {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return false;
    // threading.main_thread().ident, looked up once: the main thread stays
    // the main thread.  0 while unknown; a failed lookup is tried again.
    static std::atomic<unsigned long> main_ident{0};
    unsigned long main = main_ident.load(std::memory_order_relaxed);
    if (main == 0) {
        // Called between a routine's conversions and its work: no exception
        // is set, and a failed lookup leaves none behind.
        Ref threading = Ref::steal(PyImport_ImportModule("threading"));
        Ref thread = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
        Ref ident = thread ? Ref::steal(PyObject_GetAttrString(thread.get(), "ident")) : Ref();
        if (ident) main = PyLong_AsUnsignedLong(ident.get());
        if (PyErr_Occurred() || main == static_cast<unsigned long>(-1)) {
            PyErr_Clear();
            main = 0;
        }
        main_ident.store(main, std::memory_order_relaxed);
    }
    return main != 0 && PyThread_get_thread_ident() == main;
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) set_panic(kGenericPanicMessage);
    } catch (const Interrupted&) {
        // A signal handler's exception (KeyboardInterrupt), set by the check.
        if (!PyErr_Occurred()) set_panic(kGenericPanicMessage);
    } catch (const Panic& p) {
        set_panic(p.message().empty() ? std::string(kGenericPanicMessage) : p.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic(kGenericPanicMessage);
    }
}

}  // namespace quellmar::py
