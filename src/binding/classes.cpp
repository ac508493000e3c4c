// Type objects and borrow flags.
#include <cstring>

#include "binding/classes.hpp"
#include "core/compat_strings.hpp"

namespace quellmar::py {

const char* ClassInfo::name() const {
    const char* dot = std::strrchr(spec_name, '.');
    return dot != nullptr ? dot + 1 : spec_name;
}

PyTypeObject* create_type(const ClassInfo& info, Py_ssize_t basicsize, destructor dealloc) {
    PyType_Slot slots[8];
    int k = 0;
    slots[k++] = {Py_tp_doc, const_cast<char*>(info.doc)};
    slots[k++] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)};
    if (info.tp_new != nullptr) slots[k++] = {Py_tp_new, reinterpret_cast<void*>(info.tp_new)};
    if (info.getset != nullptr) slots[k++] = {Py_tp_getset, info.getset};
    if (info.methods != nullptr) slots[k++] = {Py_tp_methods, info.methods};
    if (info.getbuffer != nullptr) slots[k++] = {Py_bf_getbuffer, reinterpret_cast<void*>(info.getbuffer)};
    if (info.releasebuffer != nullptr) {
        slots[k++] = {Py_bf_releasebuffer, reinterpret_cast<void*>(info.releasebuffer)};
    }
    slots[k++] = {0, nullptr};
    PyType_Spec spec{info.spec_name, static_cast<int>(basicsize), 0,
                     static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | info.flags), slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) fail();
    return reinterpret_cast<PyTypeObject*>(type);
}

// The shape and the stride live in a small block of their own, freed when
// the view is released, so a consumer that moves its Py_buffer keeps valid
// pointers.  An empty vector exports a valid pointer to no values.
int export_doubles(PyObject* self, Py_buffer* view, int flags, const std::vector<double>& values) noexcept {
    if (view == nullptr) {
        PyErr_SetString(PyExc_BufferError, "NULL view in getbuffer");
        return -1;
    }
    view->obj = nullptr;
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "Object is not writable.");
        return -1;
    }
    auto* layout = static_cast<Py_ssize_t*>(PyMem_Malloc(2 * sizeof(Py_ssize_t)));
    if (layout == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    static const double no_values[1] = {0.0};
    const auto n = static_cast<Py_ssize_t>(values.size());
    layout[0] = n;
    layout[1] = static_cast<Py_ssize_t>(sizeof(double));
    view->buf = const_cast<double*>(n > 0 ? values.data() : no_values);
    view->obj = Py_NewRef(self);
    view->len = n * static_cast<Py_ssize_t>(sizeof(double));
    view->itemsize = static_cast<Py_ssize_t>(sizeof(double));
    view->readonly = 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("d") : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &layout[0] : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &layout[1] : nullptr;
    view->suboffsets = nullptr;
    view->internal = layout;
    return 0;
}

void release_doubles(PyObject*, Py_buffer* view) noexcept {
    PyMem_Free(view->internal);
    view->internal = nullptr;
}

template <>
SharedBorrow::Borrow(std::atomic<std::intptr_t>& counter) : counter_(counter) {
    std::intptr_t current = counter_.load(std::memory_order_relaxed);
    for (;;) {
        if (current < 0) raise(PyExc_RuntimeError, compat::kAlreadyMutablyBorrowed);
        if (counter_.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) return;
    }
}

template <>
ExclusiveBorrow::Borrow(std::atomic<std::intptr_t>& counter) : counter_(counter) {
    std::intptr_t expected = 0;
    if (!counter_.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
        raise(PyExc_RuntimeError, compat::kAlreadyBorrowed);
    }
}

}  // namespace quellmar::py
