// Running long pure C++ work without the interpreter lock, interruptible by
// the interpreter's signal handlers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "core/interrupt.hpp"

namespace quellmar::py {

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
