// The binding layer: the one road every Python-callable piece follows.
//
//   bind the arguments to the callable's parameter table -> convert each
//   argument into an owned C++ value -> run the routine -> convert the result
//   into new Python objects, or raise the routine's error.
//
// One concern per header (and its source of the same name, where it has one)
// under binding/:
//   ref.hpp            owned references; the signal that an exception is set
//   errors.hpp         raising exceptions; the guard around every call
//   panic.hpp          PanicException and its pickling
//   once.hpp           state created once per process
//   allow_threads.hpp  long work without the interpreter lock; Ctrl-C
//   classes.hpp        instance layout, type objects, borrow flags, Borrowed
//   from_python.hpp    argument conversions (From<T>)
//   to_python.hpp      result conversions (To<T>)
//   variants.hpp       refusing an argument of a tagged union
//   args.hpp           parameter tables, argument binding, call and construct
//   attributes.hpp     getters, setters, methods without parameters
//   warnings.hpp       issuing a Python warning
//   registration.hpp   registering functions, classes and submodules
#pragma once

#include "binding/allow_threads.hpp"
#include "binding/args.hpp"
#include "binding/attributes.hpp"
#include "binding/classes.hpp"
#include "binding/errors.hpp"
#include "binding/from_python.hpp"
#include "binding/once.hpp"
#include "binding/panic.hpp"
#include "binding/ref.hpp"
#include "binding/registration.hpp"
#include "binding/to_python.hpp"
#include "binding/variants.hpp"
#include "binding/warnings.hpp"
