// Failures as values and internal failures.
//
// Plain C++: the numerical routines include this header and never see a
// Python object.  Four ways to fail, each with its own place:
//
//   - Invalid input, in the routines and the value classes' constructors:
//     return an `Error` through `Expected<T>` (or `Status` when there is no
//     result).  It names the Python exception type and carries the message;
//     the binding layer raises it (py::unwrap).  The caller decides: a
//     routine passes its callee's error on, it never throws it.
//   - A violated invariant (an index outside a vector, a NaN where an order
//     is needed, a table that fails its own checks): call `panic`, which
//     throws `Panic`; the binding layer's guard raises PanicException.
//   - Memory: std::bad_alloc, thrown by the allocator or by the allocation
//     guards (core/allocation.hpp) for sizes that can never be satisfied; the
//     binding layer's guard raises MemoryError.
//   - In the binding layer only (src/binding, init_*.cpp): a Python
//     exception is already set, so throw py::PythonError (py::fail) and let
//     the guard return failure to the interpreter.
//
// Nothing else signals a failure.  A probe that answers "this does not
// apply, try the next way" (a buffer that is not one of doubles, an object
// that is not this outlet kind) returns false or an empty std::optional and
// sets no error: it is not a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quellmar {

enum class ErrorType { ValueError, RuntimeError };

struct Error {
    ErrorType type;
    std::string message;
};

inline Error value_error(std::string message) { return {ErrorType::ValueError, std::move(message)}; }
inline Error runtime_error(std::string message) { return {ErrorType::RuntimeError, std::move(message)}; }

template <class T>
class [[nodiscard]] Expected {
public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Expected(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const Error& error() const& { return std::get<1>(v_); }
    Error&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Error> v_;
};

struct Unit {};
using Status = Expected<Unit>;
inline Status success() { return Unit{}; }

// Internal failure: caught by the binding layer's guard and raised as
// PanicException carrying `what()`.
class Panic {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

[[noreturn]] void panic(std::string message);
// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void panic_index(std::size_t len, std::size_t index);
// A value the code requires is absent (for example a NaN table lookup).
[[noreturn]] void panic_absent();

extern const char* const kAbsentValueMessage;
extern const char* const kGenericPanicMessage;

// Bounds-checked element access: an index outside the vector is an internal
// failure, never undefined behaviour.
template <class V>
inline auto& at(V& v, std::size_t i) {
    if (i >= v.size()) panic_index(v.size(), i);
    return v[i];
}

}  // namespace quellmar
