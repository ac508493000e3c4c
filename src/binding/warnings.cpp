// Issuing a Python warning from a routine's binding.
#include "binding/warnings.hpp"

#include "binding/ref.hpp"

namespace quellmar::py {

void warn(const char* message) {
    Ref warnings = Ref::check(PyImport_ImportModule("warnings"));
    Ref function = Ref::check(PyObject_GetAttrString(warnings.get(), "warn"));
    Ref text = Ref::check(PyUnicode_FromString(message));
    Ref result = Ref::check(PyObject_CallOneArg(function.get(), text.get()));
}

}  // namespace quellmar::py
