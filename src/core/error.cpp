#include "core/error.hpp"

#include <string>

namespace quellmar {

const char* const kAbsentValueMessage = "a value required by the computation is missing";
const char* const kGenericPanicMessage = "quellmar's internal code failed during this call";

void panic(std::string message) { throw Panic(std::move(message)); }

void panic_index(std::size_t len, std::size_t index) {
    // Built by appending: GCC 12 misreports "literal + std::string&&" (-Wrestrict).
    std::string message = "index out of bounds: the len is ";
    message.append(std::to_string(len)).append(" but the index is ").append(std::to_string(index));
    panic(std::move(message));
}

void panic_absent() { panic(kAbsentValueMessage); }

}  // namespace quellmar
