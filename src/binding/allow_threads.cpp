// Running long pure C++ work without the interpreter lock, interruptible by
// the interpreter's signal handlers.
#include "binding/allow_threads.hpp"

#include <atomic>

#include "binding/ref.hpp"

namespace quellmar::py {

bool thread_handles_signals() noexcept {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return false;
    // threading.main_thread().ident, looked up once: the main thread stays
    // the main thread.  0 while unknown; a failed lookup is tried again.
    static std::atomic<unsigned long> main_ident{0};
    unsigned long main = main_ident.load(std::memory_order_relaxed);
    if (main == 0) {
        // Called between a routine's conversions and its work: no exception
        // is set, and a failed lookup leaves none behind.
        Ref threading = Ref::steal(PyImport_ImportModule("threading"));
        Ref thread = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
        Ref ident = thread ? Ref::steal(PyObject_GetAttrString(thread.get(), "ident")) : Ref();
        if (ident) main = PyLong_AsUnsignedLong(ident.get());
        if (PyErr_Occurred() || main == static_cast<unsigned long>(-1)) {
            PyErr_Clear();
            main = 0;
        }
        main_ident.store(main, std::memory_order_relaxed);
    }
    return main != 0 && PyThread_get_thread_ident() == main;
}

}  // namespace quellmar::py
