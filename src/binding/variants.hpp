// Refusing an argument that may be an instance of any of several classes (a
// tagged union): the message lists every variant's reason.
#pragma once

#include <span>
#include <string>

#include "binding/ref.hpp"

namespace quellmar::py {

// Why one variant refused the argument.
struct VariantRefusal {
    const char* variant;
    std::string reason;  // e.g. "TypeError: 'float' object is not an instance of 'X'"
};

// The message of a failed enum extraction (its form: compat_strings.hpp).
std::string enum_extraction_message(const char* enum_name, std::span<const VariantRefusal> refusals);

// "TypeError: " + the cast-rule message, as a refusal reason.
std::string describe_cast(PyObject* obj, const char* target);

}  // namespace quellmar::py
