// Python-facing part of this submodule: filled in as its routines land.
#include "submodules.hpp"

namespace quellmar {

void init_loss(PyObject*) {}

}  // namespace quellmar
