// Type objects and borrow flags.
#include <cstring>

#include "binding/classes.hpp"
#include "compat_strings.hpp"

namespace quellmar::py {

// ---------------------------------------------------------------------------
// Classes and borrows

const char* ClassInfo::name() const {
    const char* dot = std::strrchr(spec_name, '.');
    return dot != nullptr ? dot + 1 : spec_name;
}

PyTypeObject* create_type(const ClassInfo& info, Py_ssize_t basicsize, destructor dealloc) {
    PyType_Slot slots[6];
    int k = 0;
    slots[k++] = {Py_tp_doc, const_cast<char*>(info.doc)};
    slots[k++] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)};
    if (info.tp_new != nullptr) slots[k++] = {Py_tp_new, reinterpret_cast<void*>(info.tp_new)};
    if (info.getset != nullptr) slots[k++] = {Py_tp_getset, info.getset};
    if (info.methods != nullptr) slots[k++] = {Py_tp_methods, info.methods};
    slots[k++] = {0, nullptr};
    PyType_Spec spec{info.spec_name, static_cast<int>(basicsize), 0,
                     static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | info.flags), slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) fail();
    return reinterpret_cast<PyTypeObject*>(type);
}

SharedBorrow::SharedBorrow(std::atomic<std::intptr_t>& counter) : counter_(counter) {
    std::intptr_t current = counter_.load(std::memory_order_relaxed);
    for (;;) {
        if (current < 0) raise(PyExc_RuntimeError, compat::kAlreadyMutablyBorrowed);
        if (counter_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) return;
    }
}

ExclusiveBorrow::ExclusiveBorrow(std::atomic<std::intptr_t>& counter) : counter_(counter) {
    std::intptr_t expected = 0;
    if (!counter_.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
        raise(PyExc_RuntimeError, compat::kAlreadyBorrowed);
    }
}

}  // namespace quellmar::py
