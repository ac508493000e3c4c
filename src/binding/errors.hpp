// Raising Python exceptions, and the guard that keeps every C++ exception
// away from the interpreter.
//
// `guard` catches a PythonError (the exception is already set), turns an
// internal failure (`quellmar::Panic`) into PanicException and an allocation
// failure into MemoryError (error.hpp says which idiom is used where).
#pragma once

#include <string>
#include <utility>

#include "binding/ref.hpp"
#include "core/error.hpp"

namespace quellmar::py {

// Raises `type` with `message` and unwinds.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Raises a routine's error value.
[[noreturn]] void raise_error(const Error& error);
// The cast rule: "'<type>' object is not an instance of '<target>'", or
// "'None' is not an instance of '<target>'".
[[noreturn]] void raise_cast(PyObject* obj, const char* target);
// The cast rule's message alone.
std::string cast_message(PyObject* obj, const char* target);
// The UTF-8 text of a str; unwinds when it has none.
std::string utf8_of(PyObject* str);

template <class T>
T unwrap(Expected<T>&& result) {
    if (!result.ok()) raise_error(result.error());
    return std::move(result).value();
}
inline void unwrap(Status&& status) {
    if (!status.ok()) raise_error(status.error());
}

// Translates the exception in flight (call only from a catch block).
void translate_current_exception() noexcept;

// Runs `body`, returning its new reference, or NULL with the failure raised.
template <class F>
PyObject* guard(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

// Runs `body`, returning 0, or -1 with the failure raised.
template <class F>
int guard_status(F&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

}  // namespace quellmar::py
