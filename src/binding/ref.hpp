// References, the signalling of a set Python exception, and the guard that
// keeps every C++ exception away from the interpreter.
//
// Inside a guarded call, a failure that has already set a Python exception is
// signalled by throwing `PythonError`; `guard` catches it, and also turns an
// internal failure (`quellmar::Panic`) into PanicException and an allocation
// failure into MemoryError (error.hpp says which idiom is used where).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>
#include <utility>

#include "error.hpp"
#include "interrupt.hpp"

namespace quellmar::py {

// A Python exception is set; unwind to the guard.
struct PythonError {};

[[noreturn]] inline void fail() { throw PythonError{}; }

// An owned (strong) reference, released on every path.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Takes a new reference returned by the C API; NULL means an exception is set.
    static Ref check(PyObject* p) {
        if (p == nullptr) fail();
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Raises `type` with `message` and unwinds.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Raises a routine's error value.
[[noreturn]] void raise_error(const Error& error);
// The cast rule: "'<type>' object is not an instance of '<target>'", or
// "'None' is not an instance of '<target>'".
[[noreturn]] void raise_cast(PyObject* obj, const char* target);
// The cast rule's message alone.
std::string cast_message(PyObject* obj, const char* target);
// Sets PanicException with `message` (no unwinding).
void set_panic(const std::string& message) noexcept;
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

// Releases the interpreter lock (detaches the thread on free-threaded builds)
// for pure C++ work on owned values, and takes it back on every path,
// exceptions included.  Nothing inside may touch a Python object, raise a
// Python exception or read a DoubleView.  As the interrupt check of the work
// (interrupt.hpp) it takes the lock back for a moment to let the interpreter
// run its signal handlers; a handler's exception (KeyboardInterrupt) stays
// set and stops the work.
class AllowThreads final : public InterruptCheck {
public:
    AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;
    ~AllowThreads() { PyEval_RestoreThread(state_); }

    bool stop_requested() override {
        PyEval_RestoreThread(state_);
        const bool stop = PyErr_CheckSignals() != 0;
        state_ = PyEval_SaveThread();
        return stop;
    }

private:
    PyThreadState* state_;
};

// True on the thread that runs the interpreter's signal handlers: the main
// thread of the main interpreter (PyErr_CheckSignals does nothing elsewhere,
// so other threads are never asked to take the lock back).  Call attached.
bool thread_handles_signals() noexcept;

// Work of at least this many value steps is worth releasing the lock for:
// taking it back costs a few microseconds when other threads want it.
inline constexpr std::size_t kLongRunValues = 16384;

// Runs `work` without the interpreter lock when `long_enough`, else as is.
// Long work on the signal-handling thread can be interrupted (Ctrl-C) at its
// loops' polls.
template <class Work>
decltype(auto) maybe_without_gil(bool long_enough, Work&& work) {
    if (!long_enough) return work();
    const bool signals = thread_handles_signals();
    AllowThreads released;
    ScopedInterruptCheck interruptible(signals ? &released : nullptr);
    return work();
}

}  // namespace quellmar::py
