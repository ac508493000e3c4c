// Parameter tables and argument binding.
//
// Each callable with parameters declares them once, in a table:
//
//   using RunClarkUh = Function<"run_clark_uh",
//       Param<"rainfall", Borrowed<IncrementalTimeSeries>>,
//       Param<"basin_area", double>, ...>;
//
// giving each parameter's name, the kind it converts into, and its default
// (Required, DefaultNone, or Default<value>).  From the table come the names
// and the required count that binding checks, the conversions with their
// defaults, the text-signature line of the docstring (RunClarkUh::doc), and
// the converted values that the body receives: one RunClarkUh::Values, read
// by parameter name (arg<"basin_area">(a)), so that a body cannot take its
// arguments in another order than the table's.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "binding/from_python.hpp"
#include "binding/errors.hpp"

namespace quellmar::py {

template <std::size_t N>
struct FixedString {
    char text[N] = {};
    constexpr FixedString() = default;
    constexpr FixedString(const char (&s)[N]) { std::copy_n(s, N, text); }
    static constexpr std::size_t length = N - 1;
    constexpr const char* c_str() const { return text; }
};

template <std::size_t A, std::size_t B>
constexpr bool operator==(const FixedString<A>& a, const FixedString<B>& b) {
    if constexpr (A != B) {
        return false;
    } else {
        return std::equal(a.text, a.text + A, b.text);
    }
}

template <std::size_t... Ns>
consteval auto concat(const FixedString<Ns>&... parts) {
    FixedString<(0 + ... + (Ns - 1)) + 1> out{};
    std::size_t at = 0;
    ((std::copy_n(parts.text, Ns - 1, out.text + at), at += Ns - 1), ...);
    out.text[at] = '\0';
    return out;
}

namespace detail {

consteval std::size_t decimal_digits(unsigned long long v) {
    std::size_t n = 1;
    while (v >= 10) {
        v /= 10;
        ++n;
    }
    return n;
}

// The Python literal of a default value: True/False, or a non-negative integer.
template <auto V>
consteval auto python_literal() {
    if constexpr (std::is_same_v<decltype(V), bool>) {
        if constexpr (V) {
            return FixedString("True");
        } else {
            return FixedString("False");
        }
    } else {
        static_assert(std::is_integral_v<decltype(V)> && V >= 0, "a default is a bool or a non-negative integer");
        constexpr std::size_t n = decimal_digits(static_cast<unsigned long long>(V));
        FixedString<n + 1> out{};
        auto v = static_cast<unsigned long long>(V);
        for (std::size_t i = n; i-- > 0; v /= 10) out.text[i] = static_cast<char>('0' + v % 10);
        return out;
    }
}

// A parameter's text in the list: "name=default", after ", " unless first.
template <std::size_t I, class P>
consteval auto listed() {
    if constexpr (I == 0) {
        return P::text;
    } else {
        return concat(FixedString(", "), P::text);
    }
}

// One converted argument: the value of parameter P, the I-th of its table.
template <std::size_t I, class P>
struct Value {
    typename P::kind value;
};

template <std::size_t I, class P>
typename P::kind& value_at(Value<I, P>& v) {
    return v.value;
}

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

}  // namespace detail

// A parameter that must be given.
struct Required {
    static constexpr FixedString suffix = "";
};
// An optional std::optional parameter: absent, or None, gives no value.
struct DefaultNone {
    static constexpr FixedString suffix = "=None";
};
// An optional parameter taking `V` when absent; an explicit None is refused
// by its conversion like any other wrong value.
template <auto V>
struct Default {
    static constexpr auto value = V;
    static constexpr auto suffix = concat(FixedString("="), detail::python_literal<V>());
};

template <class D>
inline constexpr bool is_required = std::is_same_v<D, Required>;

template <FixedString Name, Convertible Kind, class Def = Required>
struct Param {
    using kind = Kind;
    using default_policy = Def;
    static constexpr auto name = Name;
    static constexpr auto text = concat(Name, Def::suffix);  // "name" or "name=default"
    static_assert(!std::is_same_v<Def, DefaultNone> || detail::is_optional<Kind>,
                  "a parameter whose default is None converts into a std::optional");

    // The argument bound to this parameter (NULL when an optional one was
    // not given), converted.
    static Kind convert(PyObject* raw) {
        if constexpr (requires { Def::value; }) {
            if (raw == nullptr) return Kind(Def::value);
        }
        return From<Kind>::convert(raw);
    }
};

// A parameter description at run time, for binding.
struct Signature {
    const char* display;  // "run_clark_uh" or "ContinuousTimeSeries.__new__"
    std::span<const char* const> names;
    std::size_t required;
};

// The most parameters a callable can have (Args' capacity).
inline constexpr std::size_t kMaxParams = 8;

// Replaces a TypeError (exactly that type) by "argument '<name>': <message>",
// keeping the replaced exception's __cause__; other failures pass unchanged.
void wrap_argument_error(const char* name) noexcept;

// Binds the arguments of one call to a parameter description: positional
// arguments fill the parameters from the first on, keywords by name; a
// missing required one, an unknown or repeated keyword, or too many
// positional arguments raise the interpreter's kind of TypeError.
class Args {
public:
    // Module functions and methods (vectorcall).
    Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // Constructors (argument tuple and keyword dictionary).
    Args(const Signature& sig, PyObject* args, PyObject* kwargs);

    // The bound argument, borrowed; nullptr when an optional one was not given.
    PyObject* raw(std::size_t i) const { return values_[i]; }
    const char* name(std::size_t i) const { return sig_.names[i]; }

private:
    void bind_keyword(PyObject* key, PyObject* value);
    void finish(Py_ssize_t nargs);
    const Signature& sig_;
    PyObject* values_[kMaxParams] = {};
};

// The converted arguments of one call, read by parameter name with arg<>.
// An aggregate, so that each value is initialised directly by its conversion.
template <class Indices, class... Params>
struct Values;
template <std::size_t... I, class... Params>
struct Values<std::index_sequence<I...>, Params...> : detail::Value<I, Params>... {
    static constexpr std::size_t count = sizeof...(Params);
    // The position of the parameter called `Name`, or the count when none is.
    template <FixedString Name>
    static consteval std::size_t index_of() {
        constexpr bool match[] = {(Params::name == Name)..., false};
        std::size_t i = 0;
        while (i < sizeof...(Params) && !match[i]) ++i;
        return i;
    }
};

// The value of the parameter called `Name` (the body may move it away).
template <FixedString Name, class V>
auto& arg(V& values) {
    constexpr std::size_t i = V::template index_of<Name>();
    static_assert(i < V::count, "the table has no parameter of this name");
    return detail::value_at<i>(values);
}

// The value of the one parameter of a table that has one.
template <class V>
auto& only_arg(V& values) {
    static_assert(V::count == 1, "only_arg reads a table of one parameter");
    return detail::value_at<0>(values);
}

// Converts with `convert`, naming `name` in a TypeError.
template <class F>
decltype(auto) converting(const char* name, F&& convert) {
    try {
        return convert();
    } catch (const PythonError&) {
        wrap_argument_error(name);
        throw;
    }
}

// Converts a value for an attribute setter, naming the attribute.
template <Convertible T>
T convert_named(PyObject* obj, const char* name) {
    return converting(name, [&] { return From<T>::convert(obj); });
}

enum class CallableKind { Function, Constructor, Method };

template <CallableKind K, FixedString Owner, FixedString Name, class... Params>
struct Parameters {
    static constexpr auto callable_name = Name;  // a function's or method's __name__
    static constexpr std::size_t count = sizeof...(Params);
    static_assert(count <= kMaxParams, "more parameters than Args can hold: raise kMaxParams");

    static constexpr std::size_t required = (0 + ... + (is_required<typename Params::default_policy> ? 1 : 0));
    static consteval bool required_lead() {
        constexpr bool flags[] = {is_required<typename Params::default_policy>..., false};
        for (std::size_t i = 0; i < required; ++i) {
            if (!flags[i]) return false;
        }
        return true;
    }
    static_assert(required_lead(), "the required parameters come first");

    // As binding errors name the callable: "f", "Class.__new__", "Class.method".
    static constexpr auto display = [] {
        if constexpr (K == CallableKind::Function) {
            return Name;
        } else {
            return concat(Owner, FixedString("."), Name);
        }
    }();

    static constexpr const char* names[count + 1] = {Params::name.c_str()..., nullptr};
    static constexpr Signature signature{display.c_str(), std::span<const char* const>(names, count), required};

    // "a, b=None": the parameters as the text signature lists them.
    static constexpr auto parameter_list = [] {
        return []<std::size_t... I>(std::index_sequence<I...>) {
            return concat(FixedString(""), detail::listed<I, Params>()...);
        }(std::index_sequence_for<Params...>{});
    }();

    // The docstring's first line with the line "--" and an empty line after
    // it, from which the interpreter takes __text_signature__:
    //   f(a, b=None)   Class(a, b=None)   method($self, a)
    static constexpr auto text_signature = [] {
        constexpr FixedString tail = ")\n--\n\n";
        if constexpr (K == CallableKind::Function) {
            return concat(Name, FixedString("("), parameter_list, tail);
        } else if constexpr (K == CallableKind::Constructor) {
            return concat(Owner, FixedString("("), parameter_list, tail);
        } else if constexpr (count == 0) {
            return concat(Name, FixedString("($self"), tail);
        } else {
            return concat(Name, FixedString("($self, "), parameter_list, tail);
        }
    }();

    // The whole docstring: the text signature, then `body`.
    template <std::size_t N>
    static consteval auto doc(const char (&body)[N]) {
        return concat(text_signature, FixedString<N>(body));
    }

    // The converted arguments that a body receives.
    using Values = py::Values<std::index_sequence_for<Params...>, Params...>;

    // Converts the bound arguments in parameter order, naming the parameter
    // in a TypeError, and calls body(values) with the owned values, which it
    // reads by name (arg<"name">(values)) and may move away.
    template <class Body>
    static decltype(auto) apply(const Args& a, Body&& body) {
        static_assert(std::is_invocable_v<Body, Values&>,
                      "a body takes its table's Values and reads each argument by name");
        return [&]<std::size_t... I>(std::index_sequence<I...>) -> decltype(auto) {
            // A braced list is evaluated left to right: parameter order.  Each
            // value is built in place, without a move.
            Values values{{converting(names[I], [&] { return Params::convert(a.raw(I)); })}...};
            return std::forward<Body>(body)(values);
        }(std::index_sequence_for<Params...>{});
    }
};

template <FixedString Name, class... Params>
using Function = Parameters<CallableKind::Function, FixedString(""), Name, Params...>;
template <FixedString Class, class... Params>
using Constructor = Parameters<CallableKind::Constructor, Class, FixedString("__new__"), Params...>;
template <FixedString Class, FixedString Name, class... Params>
using Method = Parameters<CallableKind::Method, Class, Name, Params...>;

// The road of a module function or method with parameters: bind, convert,
// run `body` on the owned values.
template <class Table, class Body>
PyObject* call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    return guard([&]() -> PyObject* {
        Args a(Table::signature, args, nargs, kwnames);
        return Table::apply(a, body);
    });
}

// The road of a constructor: binds, converts, builds the value with `body`,
// places it in a new instance of the requested type (the class or a Python
// subclass).
template <class T, class Table, class Body>
PyObject* construct(PyTypeObject* subtype, PyObject* args, PyObject* kwargs, Body&& body) {
    return guard([&]() -> PyObject* {
        Args a(Table::signature, args, kwargs);
        T value = Table::apply(a, body);
        return new_instance<T>(subtype, std::move(value));
    });
}

}  // namespace quellmar::py
