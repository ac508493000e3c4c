// The module's classes: instance layout, type objects, borrow flags.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "binding/once.hpp"
#include "binding/errors.hpp"
#include "core/compat_strings.hpp"

namespace quellmar::py {

// Layout of every instance: the object header, the borrow counter, the value.
template <class T>
struct Instance {
    PyObject ob_base;
    std::atomic<std::intptr_t> borrow;  // > 0 shared borrows, -1 exclusive
    T value;
};

// A class as its Python-facing code describes it, with designated
// initialisers; what it leaves out, the class does not have.
struct ClassInfo {
    const char* spec_name;  // QUELLMAR_CLASS_TYPE_NAME("<Name>")
    const char* doc;
    unsigned long flags = 0;  // Py_TPFLAGS_BASETYPE, Py_TPFLAGS_DISALLOW_INSTANTIATION
    newfunc tp_new = nullptr;  // none for classes without a Python constructor
    PyGetSetDef* getset = nullptr;
    PyMethodDef* methods = nullptr;
    getbufferproc getbuffer = nullptr;  // the buffer protocol, for classes that export values
    releasebufferproc releasebuffer = nullptr;

    const char* name() const;  // the part after "builtins."
};

// The description of the class whose value is T: declared with
// QUELLMAR_DECLARE_CLASS(T) where other code needs the class, and defined once
// with QUELLMAR_CLASS(T, ...) beside its Python-facing code.
template <class T>
struct PyClass;

// In namespace quellmar.
#define QUELLMAR_DECLARE_CLASS(T)                 \
    template <>                                   \
    struct py::PyClass<T> {                       \
        static const py::ClassInfo& info();       \
    }

// The class named as its value type T, in namespace quellmar or quellmar::py;
// the arguments after T are ClassInfo's fields after its name, as designated
// initialisers (.doc = ..., .flags = ..., ...).
#define QUELLMAR_CLASS(T, ...)                                                                 \
    const ::quellmar::py::ClassInfo& ::quellmar::py::PyClass<T>::info() {                       \
        static const ::quellmar::py::ClassInfo info{.spec_name = QUELLMAR_CLASS_TYPE_NAME(#T), __VA_ARGS__}; \
        return info;                                                                           \
    }

// A C++ value type that is the value of one of the module's classes.
template <class T>
concept ModuleClass = requires {
    { PyClass<T>::info() } -> std::same_as<const ClassInfo&>;
};

PyTypeObject* create_type(const ClassInfo& info, Py_ssize_t basicsize, destructor dealloc);

template <class T>
Instance<T>* instance_of(PyObject* obj) {
    return reinterpret_cast<Instance<T>*>(obj);
}

// The buffer protocol over a vector of doubles in an instance whose value
// cannot change (a class without setters): read-only, one-dimensional,
// C-contiguous, format "d".  The view holds a reference to the instance, so
// the values live as long as any view of them; being immutable, they need no
// borrow and may be read from any thread.  A request for a writable buffer
// fails with BufferError.
int export_doubles(PyObject* self, Py_buffer* view, int flags, const std::vector<double>& values) noexcept;
void release_doubles(PyObject* self, Py_buffer* view) noexcept;

// `Values` is a callable taking `const T&` and returning the exported vector.
template <class T, auto Values>
int get_doubles_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    return export_doubles(self, view, flags, Values(instance_of<T>(self)->value));
}

template <class T>
void instance_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    auto* inst = instance_of<T>(self);
    inst->value.~T();
    inst->borrow.~atomic();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The class's type object, created at its first use and shared by every
// module that registers the class.  Borrowed; unwinds on failure.
template <ModuleClass T>
PyTypeObject* type_of() {
    static OnceCell cell;
    PyObject* t = cell.get([] {
        PyObject* made = nullptr;
        try {
            made = reinterpret_cast<PyObject*>(
                create_type(PyClass<T>::info(), sizeof(Instance<T>), &instance_dealloc<T>));
        } catch (...) {
            translate_current_exception();
        }
        return made;
    });
    if (t == nullptr) fail();
    return reinterpret_cast<PyTypeObject*>(t);
}

// A new instance of `type` (the class or a Python subclass) holding `value`.
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) fail();
    auto* inst = instance_of<T>(obj);
    new (&inst->borrow) std::atomic<std::intptr_t>(0);
    new (&inst->value) T(std::move(value));
    return obj;
}

// The instance of the class T (or of a Python subclass), or the cast rule's
// TypeError naming the class.
template <ModuleClass T>
Instance<T>* checked_instance(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, type_of<T>())) raise_cast(obj, PyClass<T>::info().name());
    return instance_of<T>(obj);
}

// Borrow flags: a read takes a shared borrow for its duration, a setter an
// exclusive one; a conflicting use raises RuntimeError.
enum class BorrowKind { kShared, kExclusive };

template <BorrowKind Kind>
class Borrow {
public:
    explicit Borrow(std::atomic<std::intptr_t>& counter);
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if constexpr (Kind == BorrowKind::kShared) {
            counter_.fetch_sub(1, std::memory_order_release);
        } else {
            counter_.store(0, std::memory_order_release);
        }
    }

private:
    std::atomic<std::intptr_t>& counter_;
};

using SharedBorrow = Borrow<BorrowKind::kShared>;
using ExclusiveBorrow = Borrow<BorrowKind::kExclusive>;
template <>
SharedBorrow::Borrow(std::atomic<std::intptr_t>& counter);
template <>
ExclusiveBorrow::Borrow(std::atomic<std::intptr_t>& counter);

// An instance of a module class whose value has no setters, read in place
// by a routine that only reads it.  The object is kept alive and under a
// shared borrow until the Borrowed is destroyed, and nothing can change such
// a value, so the routine sees exactly what a copy would hold, and may read
// it without the interpreter lock.  Destroy it with the lock held.
template <ModuleClass T>
class Borrowed {
public:
    // Checks the class (the cast rule), then holds the object.
    static Borrowed take(PyObject* obj) {
        auto& counter = checked_instance<T>(obj)->borrow;
        {
            SharedBorrow b(counter);  // refuses an exclusive borrow in progress
            counter.fetch_add(1, std::memory_order_acquire);
        }
        return Borrowed(Py_NewRef(obj));
    }
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
    Borrowed& operator=(Borrowed&&) = delete;
    Borrowed(Borrowed&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
    ~Borrowed() {
        if (obj_ == nullptr) return;
        instance_of<T>(obj_)->borrow.fetch_sub(1, std::memory_order_release);
        Py_DECREF(obj_);
    }
    const T& operator*() const noexcept { return instance_of<T>(obj_)->value; }
    const T* operator->() const noexcept { return &instance_of<T>(obj_)->value; }

private:
    explicit Borrowed(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_;
};

}  // namespace quellmar::py
