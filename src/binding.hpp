// The binding layer: the one road every Python-callable piece follows.
//
//   bind the arguments to the callable's parameter table -> convert each
//   argument into an owned C++ value -> run the routine -> convert the result
//   into new Python objects, or raise the routine's error.
//
// One header per concern, all under binding/:
//   ref.hpp           references, the exception guard, releasing the lock
//   once.hpp          state created once per process
//   classes.hpp       instance layout, type objects, borrow flags, Borrowed
//   from_python.hpp   argument conversions (From<T>)
//   to_python.hpp     result conversions (To<T>)
//   args.hpp          parameter tables, argument binding, call and construct
//   attributes.hpp    getters, setters, methods without parameters
//   registration.hpp  registering classes, functions and submodules; warnings
#pragma once

#include "binding/args.hpp"
#include "binding/attributes.hpp"
#include "binding/classes.hpp"
#include "binding/from_python.hpp"
#include "binding/once.hpp"
#include "binding/ref.hpp"
#include "binding/registration.hpp"
#include "binding/to_python.hpp"
