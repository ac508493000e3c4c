// Raising Python exceptions, and the translation of C++ failures at the
// guard.
#include "binding/errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "binding/panic.hpp"
#include "core/interrupt.hpp"

namespace quellmar::py {

void raise(PyObject* type, const std::string& message) {
    Ref text = Ref::check(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyErr_SetObject(type, text.get());
    fail();
}

void raise_error(const Error& error) {
    PyObject* type = PyExc_ValueError;
    switch (error.type) {
        case ErrorType::ValueError: type = PyExc_ValueError; break;
        case ErrorType::RuntimeError: type = PyExc_RuntimeError; break;
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

void raise_cast(PyObject* obj, const char* target) { raise(PyExc_TypeError, cast_message(obj, target)); }

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
