// Values keyed by name, in the caller's order.  Plain C++.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quellmar {

// A dictionary argument of named configurations (groundwater layers,
// outlets) and the named results keyed like it: the entries in the
// dictionary's own order, names unique.  Routines visit the entries in this
// order and key their results in it.
template <class V>
using NamedMap = std::vector<std::pair<std::string, V>>;

}  // namespace quellmar
