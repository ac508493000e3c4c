// State created once per process: the type objects, PanicException, the
// datetime C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace quellmar::py {

// Holds one object created on first need and kept for the life of the
// process.  Creation happens at most once; a thread that finds it under way
// waits for it with the interpreter lock released (so the creating thread can
// never be blocked by the waiter); a failed creation lets the next caller try
// again.  get() returns a borrowed reference, or NULL with an exception set.
class OnceCell {
public:
    template <class Make>
    PyObject* get(Make&& make) noexcept {
        for (;;) {
            if (state_.load(std::memory_order_acquire) == kReady) return value_;
            int expected = kEmpty;
            if (state_.compare_exchange_strong(expected, kBusy, std::memory_order_acq_rel)) {
                owner_.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
                PyObject* v = make();
                owner_.store(0, std::memory_order_relaxed);
                if (v == nullptr) {
                    state_.store(kEmpty, std::memory_order_release);
                    state_.notify_all();
                    return nullptr;
                }
                value_ = v;
                state_.store(kReady, std::memory_order_release);
                state_.notify_all();
                return v;
            }
            if (expected == kBusy) {
                if (owner_.load(std::memory_order_relaxed) == PyThread_get_thread_ident()) {
                    PyErr_SetString(PyExc_RuntimeError, "quellmar: recursive initialisation of cached state");
                    return nullptr;
                }
                Py_BEGIN_ALLOW_THREADS
                state_.wait(kBusy, std::memory_order_acquire);
                Py_END_ALLOW_THREADS
            }
        }
    }

private:
    static constexpr int kEmpty = 0, kBusy = 1, kReady = 2;
    std::atomic<int> state_{kEmpty};
    std::atomic<unsigned long> owner_{0};
    PyObject* value_ = nullptr;
};

}  // namespace quellmar::py
