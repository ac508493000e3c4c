// Texts that callers match and that therefore never change, each with the
// reason it is kept as it is.  Plain C++.
//
// quellmar took over a Python interface whose users already catch these
// exceptions, compare these messages and print these names.  Their wording
// is part of that interface, oddities included: correcting one breaks the
// code that matches it.  Tests pin every one of them.
#pragma once

namespace quellmar::compat {

// The qualified name of the exception for internal failures.  Callers
// recognise a panic by this name (the type is not importable: it is no
// attribute of any module), so it stays, although no module "ostrel_runtime"
// exists.
inline constexpr const char kPanicExceptionName[] = "ostrel_runtime.PanicException";

// The type name of every class is "builtins." + the class name, so that
// `__module__` reports "builtins" and the class prints as a built-in one, as
// callers' checks of `__module__` and of printed types expect.  A literal, so
// that the type object can keep pointing at it.
#define QUELLMAR_CLASS_TYPE_NAME(name) "builtins." name

// Table-ordering messages keep their doubled "must must": callers compare
// the whole text.
inline constexpr const char kXValuesUnsorted[] = "`x_values` must must be sorted and can't have duplicates";
inline constexpr const char kYValuesUnsorted[] = "`y_values` must must be sorted";
inline constexpr const char kElevationUnsorted[] = "`elevation` must must be sorted and can't have duplicates";
inline constexpr const char kDischargeUnsorted[] = "`discharge` must must be sorted";
inline constexpr const char kStorageUnsorted[] = "`storage` must must be sorted and can't have duplicates";

// The OverflowError of a 32-bit integer argument outside its range, worded
// as callers have always seen it (and without the "argument" prefix, since
// it is no TypeError).
inline constexpr const char kIntegerOutOfRange[] = "out of range integral type conversion attempted";

// The OverflowError of an integer argument beyond 64 bits: the interpreter's
// message for a C `long` of 64 bits, which callers have always seen, kept on
// platforms whose `long` is narrower.
inline constexpr const char kIntegerTooLarge[] = "Python int too large to convert to C long";

// The TypeError for a str given where a sequence of floats is expected: a
// str is a sequence, but never one of numbers.
inline constexpr const char kStrToVector[] = "Can't extract `str` to `Vec`";

// The TypeError of an outlet that is none of the outlet kinds, built from these
// pieces (py::enum_extraction_message):
//   failed to extract enum <Enum> ('<A> | <B> ...')
//   - variant <A> (<A>): TypeError: failed to extract field <Enum>::<A>.0, caused by <reason>
// Callers read the variant lines to learn which kinds were tried and why each
// refused the object.
inline constexpr const char kEnumExtractHead[] = "failed to extract enum ";
inline constexpr const char kEnumVariantLine[] = "\n- variant ";
inline constexpr const char kEnumFieldExtract[] = "): TypeError: failed to extract field ";
inline constexpr const char kEnumCausedBy[] = ".0, caused by ";

// The RuntimeErrors of conflicting uses of one instance from two threads,
// and the AttributeError of deleting a settable attribute: worded like the
// errors callers already handle for these cases.
inline constexpr const char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr const char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr const char kNoDeleter[] = "property has no deleter";

// The internal failure of a level pool run whose last second, (n - 1) times
// the time step, does not fit in 64 bits: the wording of the arithmetic
// check it stands for, as callers have seen it.
inline constexpr const char kMultiplyOverflow[] = "attempt to multiply with overflow";

// A dictionary argument changed while it was read: the interpreter's own
// words for the same fault in a Python loop over a dict.
inline constexpr const char kDictChangedSize[] = "dictionary changed size during iteration";
inline constexpr const char kDictKeysChanged[] = "dictionary keys changed during iteration";

}  // namespace quellmar::compat
