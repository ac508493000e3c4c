// The binding layer: the one road every Python-callable piece follows.
//
//   bind the arguments to a parameter description -> convert each argument
//   into an owned C++ value -> run the routine -> convert the result into new
//   Python objects, or raise the routine's error.
//
// Inside a guarded call, a failure that has already set a Python exception is
// signalled by throwing `PythonError`; `guard` catches it, and also turns an
// internal failure (`quellmar::Panic`) into PanicException and an allocation
// failure into MemoryError.  No C++ exception ever reaches the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "duration.hpp"
#include "error.hpp"

namespace quellmar::py {

// ---------------------------------------------------------------------------
// References and failure signalling

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
// Sets PanicException with `message` (no unwinding).
void set_panic(const std::string& message) noexcept;

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

template <class F>
PyObject* guard(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

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
// Python exception or read a DoubleView.
class AllowThreads {
public:
    AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;
    ~AllowThreads() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// Work of at least this many value steps is worth releasing the lock for:
// taking it back costs a few microseconds when other threads want it.
inline constexpr std::size_t kLongRunValues = 16384;

// Runs `work` without the interpreter lock when `long_enough`, else as is.
template <class Work>
decltype(auto) maybe_without_gil(bool long_enough, Work&& work) {
    if (!long_enough) return work();
    AllowThreads released;
    return work();
}

// ---------------------------------------------------------------------------
// Once-per-process state

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

// ---------------------------------------------------------------------------
// Module classes

// Layout of every instance: the object header, the borrow counter, the value.
template <class T>
struct Instance {
    PyObject ob_base;
    std::atomic<std::intptr_t> borrow;  // > 0 shared borrows, -1 exclusive
    T value;
};

struct ClassInfo {
    const char* spec_name;  // "builtins.<Name>"
    const char* doc;
    unsigned long flags;  // Py_TPFLAGS_BASETYPE, Py_TPFLAGS_DISALLOW_INSTANTIATION
    newfunc tp_new;       // nullptr for classes without a Python constructor
    PyGetSetDef* getset;
    PyMethodDef* methods;
    getbufferproc getbuffer = nullptr;  // the buffer protocol, for classes that export values
    releasebufferproc releasebuffer = nullptr;

    const char* name() const;  // the part after "builtins."
};

// Specialised beside each class's Python-facing code:
//   template <> struct PyClass<Foo> { static const ClassInfo& info(); };
template <class T>
struct PyClass;

PyTypeObject* create_type(const ClassInfo& info, Py_ssize_t basicsize, destructor dealloc);

template <class T>
void instance_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    inst->value.~T();
    inst->borrow.~atomic();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// The class's type object, created at its first use and shared by every
// module that registers the class.  Borrowed; unwinds on failure.
template <class T>
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
    auto* inst = reinterpret_cast<Instance<T>*>(obj);
    new (&inst->borrow) std::atomic<std::intptr_t>(0);
    new (&inst->value) T(std::move(value));
    return obj;
}

// Borrow flags.
class SharedBorrow {
public:
    explicit SharedBorrow(std::atomic<std::intptr_t>& counter);
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { counter_.fetch_sub(1, std::memory_order_release); }

private:
    std::atomic<std::intptr_t>& counter_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(std::atomic<std::intptr_t>& counter);
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { counter_.store(0, std::memory_order_release); }

private:
    std::atomic<std::intptr_t>& counter_;
};

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

// ---------------------------------------------------------------------------
// Argument conversion: From<T>::convert(obj) returns the owned value or
// unwinds with a Python exception set (unprefixed; Args adds the argument name).

template <class T, class = void>
struct From;

// Holds `view` on a one-dimensional buffer of native doubles offered by a
// numpy array, array.array or memoryview: C-contiguous, or with any stride
// when `any_stride`; false (nothing held, no error set) for anything else.
bool get_double_buffer(PyObject* obj, Py_buffer& view, bool any_stride = false);

template <>
struct From<double> {
    static double convert(PyObject* obj) {
        if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
        double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) fail();
        return v;
    }
};

template <>
struct From<std::vector<double>> {
    static std::vector<double> convert(PyObject* obj);
};

// The values of a sequence argument, for a routine that only reads them.  A
// one-dimensional, C-contiguous buffer of native doubles (a float64 numpy
// array, an array.array of doubles, a memoryview of either) is read in place:
// its buffer is held until the view is destroyed, so it can be neither resized
// nor freed, and the values are exactly those a copy would hold.  Everything
// else goes through the vector conversion, with its checks and messages.
// Do not read a view while the interpreter lock is released.
class DoubleView {
public:
    DoubleView() = default;
    DoubleView(const DoubleView&) = delete;
    DoubleView& operator=(const DoubleView&) = delete;
    DoubleView& operator=(DoubleView&&) = delete;
    DoubleView(DoubleView&& o) noexcept;
    ~DoubleView();

    std::span<const double> values() const { return values_; }
    // True when the values are a converted copy, not the caller's buffer.
    bool owned() const { return !has_view_; }

private:
    friend struct From<DoubleView>;
    std::vector<double> owned_;
    Py_buffer view_{};
    bool has_view_ = false;
    std::span<const double> values_;
};

template <>
struct From<DoubleView> {
    static DoubleView convert(PyObject* obj);
};

template <>
struct From<std::int32_t> {
    static std::int32_t convert(PyObject* obj);
};

template <>
struct From<std::int64_t> {
    static std::int64_t convert(PyObject* obj);
};

template <>
struct From<std::uint64_t> {
    static std::uint64_t convert(PyObject* obj);
};

template <>
struct From<bool> {
    static bool convert(PyObject* obj);
};

template <>
struct From<std::string> {
    static std::string convert(PyObject* obj);
};

// A datetime.timedelta (or subclass), read field by field.
template <>
struct From<Timedelta> {
    static Timedelta convert(PyObject* obj);
};

// Instances of module classes: exactly the class or a Python subclass; the
// value is copied out under a shared borrow.
template <class T>
struct From<T, std::void_t<decltype(PyClass<T>::info())>> {
    static T convert(PyObject* obj) {
        PyTypeObject* tp = type_of<T>();
        if (!PyObject_TypeCheck(obj, tp)) raise_cast(obj, PyClass<T>::info().name());
        auto* inst = instance_of<T>(obj);
        SharedBorrow b(inst->borrow);
        return inst->value;
    }
};

// An instance of a module class whose value has no setters, read in place
// by a routine that only reads it.  The object is kept alive and under a
// shared borrow until the Borrowed is destroyed, and nothing can change such
// a value, so the routine sees exactly what a copy would hold, and may read
// it without the interpreter lock.  Destroy it with the lock held.
template <class T>
class Borrowed {
public:
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
    friend struct From<Borrowed<T>>;
    explicit Borrowed(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_;
};

template <class T>
struct From<Borrowed<T>> {
    static Borrowed<T> convert(PyObject* obj) {
        PyTypeObject* tp = type_of<T>();
        if (!PyObject_TypeCheck(obj, tp)) raise_cast(obj, PyClass<T>::info().name());
        auto& counter = instance_of<T>(obj)->borrow;
        {
            SharedBorrow b(counter);  // refuses an exclusive borrow in progress
            counter.fetch_add(1, std::memory_order_acquire);
        }
        return Borrowed<T>(Py_NewRef(obj));
    }
};

template <class T>
struct From<std::optional<T>> {
    static std::optional<T> convert(PyObject* obj) {
        if (obj == nullptr || obj == Py_None) return std::nullopt;
        return From<T>::convert(obj);
    }
};

// A dictionary of named values, in the dictionary's own order.  Names are
// unique: a later entry whose text equals an earlier one replaces its value.
template <class V>
using NamedMap = std::vector<std::pair<std::string, V>>;

// Walks a dict (or subclass) in its own order, calling visit(key, value)
// with references held for the call; a change to the dict during the walk is
// an internal failure.  Anything else fails by the cast rule with "dict".
void walk_dict(PyObject* obj, void (*visit)(void* ctx, PyObject* key, PyObject* value), void* ctx);

template <class V>
struct From<NamedMap<V>> {
    static NamedMap<V> convert(PyObject* obj) {
        struct Ctx {
            NamedMap<V> out;
            std::unordered_map<std::string, std::size_t> index;
        } ctx;
        walk_dict(
            obj,
            [](void* c, PyObject* key, PyObject* value) {
                auto& x = *static_cast<Ctx*>(c);
                std::string name = From<std::string>::convert(key);
                V v = From<V>::convert(value);
                auto [it, inserted] = x.index.try_emplace(name, x.out.size());
                if (inserted) {
                    x.out.emplace_back(std::move(name), std::move(v));
                } else {
                    x.out[it->second].second = std::move(v);
                }
            },
            &ctx);
        return std::move(ctx.out);
    }
};

// Replaces a TypeError (exactly that type) by "argument '<name>': <message>",
// keeping the replaced exception's __cause__; other failures pass unchanged.
void wrap_argument_error(const char* name) noexcept;

// ---------------------------------------------------------------------------
// Parameter descriptions and binding

struct Signature {
    const char* display;  // "run_clark_uh" or "ContinuousTimeSeries.__new__"
    std::span<const char* const> names;
    std::size_t required;
};

inline constexpr std::size_t kMaxParams = 8;

class Args {
public:
    // Module functions and methods (vectorcall).
    Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // Constructors (argument tuple and keyword dictionary).
    Args(const Signature& sig, PyObject* args, PyObject* kwargs);

    // The bound argument, borrowed; nullptr when an optional one was not given.
    PyObject* raw(std::size_t i) const { return values_[i]; }
    // Given and not None: only for parameters whose default is None.  A
    // parameter with another default (False, 1) refuses an explicit None, so
    // test raw(i) != nullptr for those.
    bool given(std::size_t i) const { return values_[i] != nullptr && values_[i] != Py_None; }

    // Converts argument i, naming it in a TypeError.
    template <class T>
    T get(std::size_t i) const {
        try {
            return From<T>::convert(values_[i]);
        } catch (const PythonError&) {
            wrap_argument_error(sig_.names[i]);
            throw;
        }
    }

private:
    void bind_keyword(PyObject* key, PyObject* value);
    void finish(Py_ssize_t nargs);
    const Signature& sig_;
    PyObject* values_[kMaxParams] = {};
};

// Converts a value for an attribute setter, naming the attribute.
template <class T>
T convert_named(PyObject* obj, const char* name) {
    try {
        return From<T>::convert(obj);
    } catch (const PythonError&) {
        wrap_argument_error(name);
        throw;
    }
}

// The road of a module function or method with parameters.
template <class Body>
PyObject* call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    return guard([&]() -> PyObject* {
        Args a(sig, args, nargs, kwnames);
        return body(a);
    });
}

// The road of a constructor: binds, converts, builds the value, places it in
// a new instance of the requested type (the class or a Python subclass).
template <class T, class Body>
PyObject* construct(const Signature& sig, PyTypeObject* subtype, PyObject* args, PyObject* kwargs, Body&& body) {
    return guard([&]() -> PyObject* {
        Args a(sig, args, kwargs);
        T value = body(a);
        return new_instance<T>(subtype, std::move(value));
    });
}

// ---------------------------------------------------------------------------
// Results: To<T>::convert(value) returns a new reference or unwinds.

// A duration in whole seconds, returned to Python as datetime.timedelta.
struct WholeSeconds {
    std::int32_t seconds;
};

template <class T, class = void>
struct To;

template <>
struct To<double> {
    static PyObject* convert(double v) { return Ref::check(PyFloat_FromDouble(v)).release(); }
};
template <>
struct To<std::int64_t> {
    static PyObject* convert(std::int64_t v) { return Ref::check(PyLong_FromLongLong(v)).release(); }
};
template <>
struct To<std::uint64_t> {
    static PyObject* convert(std::uint64_t v) { return Ref::check(PyLong_FromUnsignedLongLong(v)).release(); }
};
template <>
struct To<bool> {
    static PyObject* convert(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
};
template <>
struct To<std::string> {
    static PyObject* convert(const std::string& v);
};
template <>
struct To<std::vector<double>> {
    static PyObject* convert(const std::vector<double>& v);
};
template <>
struct To<WholeSeconds> {
    static PyObject* convert(WholeSeconds v);
};
template <class T>
struct To<std::optional<T>> {
    static PyObject* convert(const std::optional<T>& v) {
        if (!v) return Py_NewRef(Py_None);
        return To<T>::convert(*v);
    }
};
// Module class values become new instances of the class itself.
template <class T>
struct To<T, std::void_t<decltype(PyClass<T>::info())>> {
    static PyObject* convert(T v) { return new_instance<T>(type_of<T>(), std::move(v)); }
};
template <class V>
struct To<NamedMap<V>> {
    static PyObject* convert(NamedMap<V> m) {
        Ref d = Ref::check(PyDict_New());
        for (auto& [name, value] : m) {
            Ref key = Ref::check(To<std::string>::convert(name));
            Ref val = Ref::steal(To<V>::convert(std::move(value)));
            if (PyDict_SetItem(d.get(), key.get(), val.get()) < 0) fail();
        }
        return d.release();
    }
};
template <class A, class B>
struct To<std::pair<A, B>> {
    static PyObject* convert(std::pair<A, B> v) {
        Ref first = Ref::steal(To<A>::convert(std::move(v.first)));
        Ref second = Ref::steal(To<B>::convert(std::move(v.second)));
        return Ref::check(PyTuple_Pack(2, first.get(), second.get())).release();
    }
};

template <class T>
PyObject* to_python(T&& v) {
    return To<std::decay_t<T>>::convert(std::forward<T>(v));
}

// ---------------------------------------------------------------------------
// Attribute getters and setters

// A getter that converts one field of the instance's value: `Field` is a
// callable taking `const T&` and returning the field (by reference or value).
template <class T, auto Field>
PyObject* getter(PyObject* self, void*) {
    return guard([&]() -> PyObject* {
        auto* inst = instance_of<T>(self);
        SharedBorrow b(inst->borrow);
        decltype(auto) field = Field(inst->value);
        return To<std::decay_t<decltype(field)>>::convert(field);
    });
}

// A getter of one data member of the instance's value.
template <class T, auto Member>
PyObject* member_getter(PyObject* self, void* closure) {
    return getter<T, [](const T& v) -> const auto& { return v.*Member; }>(self, closure);
}

// A setter: converts the new value (naming the attribute), then takes the
// exclusive borrow and stores it.  Deleting raises "property has no deleter".
template <class T, class V, auto Store>
int setter(PyObject* self, PyObject* value, void* closure) {
    return guard_status([&] {
        const char* name = static_cast<const char*>(closure);
        if (value == nullptr) raise(PyExc_AttributeError, "property has no deleter");
        V v = convert_named<V>(value, name);
        auto* inst = instance_of<T>(self);
        ExclusiveBorrow b(inst->borrow);
        Store(inst->value, std::move(v));
    });
}

// A method without parameters computing a value from the instance's value.
template <class T, auto Method>
PyObject* method_noargs(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        auto* inst = instance_of<T>(self);
        SharedBorrow b(inst->borrow);
        return to_python(Method(inst->value));
    });
}

// The entry of a METH_FASTCALL | METH_KEYWORDS function in a PyMethodDef.
template <auto F>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}

// ---------------------------------------------------------------------------
// Warnings and module registration

// warnings.warn(message): UserWarning at stack level 1.  Unwinds when the
// warning machinery raises (for example under an "error" filter).
void warn(const char* message);

// Appends `name` to the module's __all__ (created if missing), then sets the attribute.
void register_object(PyObject* module, const char* name, PyObject* obj);
// Creates a function object bound to `module`, reporting the module's name as __module__.
void register_function(PyObject* module, PyMethodDef* def);
// Registers a filled submodule under its name after the last dot.
void register_submodule(PyObject* parent, PyObject* submodule);
// Sets quellmar._rebuild_panic (not listed in __all__), through which a
// pickled PanicException is rebuilt.
void register_panic_rebuild(PyObject* module);

template <class T>
void register_class(PyObject* module) {
    register_object(module, PyClass<T>::info().name(), reinterpret_cast<PyObject*>(type_of<T>()));
}

// Builds the standard message of a failed enum extraction.
//   failed to extract enum <Enum> ('<A> | <B> ...')
//   - variant <A> (<A>): TypeError: failed to extract field <Enum>::<A>.0, caused by <reason>
struct VariantRefusal {
    const char* variant;
    std::string reason;  // e.g. "TypeError: 'float' object is not an instance of 'X'"
};
std::string enum_extraction_message(const char* enum_name, std::span<const VariantRefusal> refusals);
// "TypeError: " + the cast-rule message, as a refusal reason.
std::string describe_cast(PyObject* obj, const char* target);

}  // namespace quellmar::py
