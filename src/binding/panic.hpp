// PanicException: the exception of an internal failure, created at the first
// one, and rebuilt under the same type when unpickled.
#pragma once

#include <string>

#include "binding/ref.hpp"

namespace quellmar::py {

// Sets PanicException with `message` (no unwinding).
void set_panic(const std::string& message) noexcept;

// Sets quellmar._rebuild_panic (not listed in __all__), through which a
// pickled PanicException is rebuilt.
void register_panic_rebuild(PyObject* module);

}  // namespace quellmar::py
