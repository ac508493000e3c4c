// Argument binding and the wrapping of argument errors.
#include <algorithm>
#include <string>
#include <vector>

#include "binding/args.hpp"

namespace quellmar::py {

void wrap_argument_error(const char* name) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return;
    if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc.release());
        return;
    }
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (type != PyExc_TypeError || value == nullptr) {
        PyErr_Restore(type, value, tb);
        return;
    }
    Ref discarded_type = Ref::steal(type);
    Ref discarded_tb = Ref::steal(tb);
    Ref exc = Ref::steal(value);
#endif
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    Ref message = text ? Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get())) : Ref();
    Ref replacement = message ? Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get())) : Ref();
    if (!replacement) return;  // keep whatever failed while wrapping
    PyException_SetCause(replacement.get(), PyException_GetCause(exc.get()));  // steals the cause
    exc = Ref();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(replacement.release());
#else
    PyErr_Restore(Py_NewRef(PyExc_TypeError), replacement.release(), nullptr);
#endif
}

Args::Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : sig_(sig) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.names.size());
    const Py_ssize_t npos = std::min(nargs, n);
    for (Py_ssize_t i = 0; i < npos; ++i) values_[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) bind_keyword(PyTuple_GET_ITEM(kwnames, j), args[nargs + j]);
    }
    finish(nargs);
}

Args::Args(const Signature& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t n = static_cast<Py_ssize_t>(sig.names.size());
    const Py_ssize_t npos = std::min(nargs, n);
    for (Py_ssize_t i = 0; i < npos; ++i) values_[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(key, value);
    }
    finish(nargs);
}

void Args::bind_keyword(PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) raise(PyExc_TypeError, std::string(sig_.display) + "() keywords must be strings");
    for (std::size_t i = 0; i < sig_.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig_.names[i]) == 0) {
            if (values_[i] != nullptr) {
                raise(PyExc_TypeError,
                      std::string(sig_.display) + "() got multiple values for argument '" + sig_.names[i] + "'");
            }
            values_[i] = value;
            return;
        }
    }
    PyErr_Clear();  // a comparison with a malformed key is a mismatch
    raise(PyExc_TypeError,
          std::string(sig_.display) + "() got an unexpected keyword argument '" + utf8_of(key) + "'");
}

void Args::finish(Py_ssize_t nargs) {
    const std::size_t n = sig_.names.size();
    if (static_cast<std::size_t>(nargs) > n) {
        const bool has_defaults = sig_.required < n;
        std::string takes = has_defaults ? "from " + std::to_string(sig_.required) + " to " + std::to_string(n)
                                         : std::to_string(n);
        const bool plural = has_defaults || n != 1;
        raise(PyExc_TypeError, std::string(sig_.display) + "() takes " + takes + " positional argument" +
                                   (plural ? "s" : "") + " but " + std::to_string(nargs) + " " +
                                   (nargs == 1 ? "was" : "were") + " given");
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig_.required; ++i) {
        if (values_[i] == nullptr) missing.push_back(sig_.names[i]);
    }
    if (missing.empty()) return;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                list += " and ";
            } else {
                list += (i + 1 == missing.size()) ? ", and " : ", ";
            }
        }
        list += std::string("'") + missing[i] + "'";
    }
    raise(PyExc_TypeError, std::string(sig_.display) + "() missing " + std::to_string(missing.size()) +
                               " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " + list);
}

}  // namespace quellmar::py
