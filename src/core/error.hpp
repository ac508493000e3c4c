// Failures as values, internal failures, and guarded allocation.
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
//   - Memory: std::bad_alloc, thrown by the allocator or by the guards below
//     for sizes that can never be satisfied; the guard raises MemoryError.
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
#include <new>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/platform.hpp"

namespace quellmar {

enum class ErrorType { ValueError, TypeError, RuntimeError, OverflowError };

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

// Allocation guard.  Requests that could never be satisfied by this machine
// (more bytes than its physical memory) fail at once with std::bad_alloc
// instead of being granted lazily by the kernel and killing the process when
// touched.  The binding layer turns std::bad_alloc into MemoryError.
std::size_t max_allocation_bytes() noexcept;

// False when `count` elements of `elem_size` bytes could never be held.
inline bool allocatable(std::size_t count, std::size_t elem_size) {
    return elem_size == 0 || count <= max_allocation_bytes() / elem_size;
}

inline void check_allocation(std::size_t count, std::size_t elem_size) {
    if (!allocatable(count, elem_size)) throw std::bad_alloc();
}

// a + b for sizes; overflow is an allocation failure.
inline std::size_t add_sizes(std::size_t a, std::size_t b) {
    if (a > SIZE_MAX - b) throw std::bad_alloc();
    return a + b;
}
inline std::size_t mul_sizes(std::size_t a, std::size_t b) {
    if (a != 0 && b > SIZE_MAX / a) throw std::bad_alloc();
    return a * b;
}

// Fresh memory costs a page fault per 4 KiB page at its first write; on a
// virtual machine a few microseconds each, so that filling a large vector
// can take longer than the routine that fills it.  Vectors of at least this
// many bytes ask the kernel for transparent huge pages, as numpy does for
// its arrays, and have the block faulted in by one call.  Both requests
// leave the contents alone; where they are not honoured nothing changes.
// advise_huge_pages is in platform.hpp.
inline constexpr std::size_t kHugePageBytes = std::size_t{4} << 20;

template <class T>
inline void reserve_exact(std::vector<T>& v, std::size_t count) {
    check_allocation(count, sizeof(T));
    v.reserve(count);
    if (count >= kHugePageBytes / sizeof(T)) advise_huge_pages(v.data(), v.capacity() * sizeof(T));
}

// A copy of `v`, its storage reserved as above.
template <class T>
inline std::vector<T> copy_of(const std::vector<T>& v) {
    std::vector<T> out;
    reserve_exact(out, v.size());
    out.assign(v.begin(), v.end());
    return out;
}

template <class T>
inline std::vector<T> filled(std::size_t count, const T& value) {
    check_allocation(count, sizeof(T));
    return std::vector<T>(count, value);
}

}  // namespace quellmar
