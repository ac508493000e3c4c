// What the code assumes of the platform.  Plain C++.
//
// quellmar builds on 64-bit Linux with GCC or Clang, and CMakeLists.txt stops
// on anything else.  The assumptions, and where the code makes them:
//
//   - Linux: the module exports its entry points through a GNU ld version
//     script (src/exports.map, CMakeLists.txt), the allocation guard reads
//     the machine's physical memory with sysconf(_SC_PHYS_PAGES), and large
//     vectors are advised onto huge pages with madvise (error.cpp).
//   - GCC or Clang: products of sizes and times are checked with
//     __builtin_mul_overflow (`mul_overflows` below); the Clark kernel uses
//     __restrict and, on GCC for x86-64, target_clones (clark_uh.cpp).
//   - 64-bit `long`: 64-bit integer arguments are read with PyLong_AsLong,
//     and 32-bit ones are range-checked after it (binding layer).
//
// A port starts here: each item needs its replacement, and this header's
// checks tell the compiler to stop where one is missing.
#pragma once

#if !defined(__linux__)
#error "quellmar builds on Linux only (see src/platform.hpp)"
#endif
#if !defined(__GNUC__)
#error "quellmar builds with GCC or Clang only (see src/platform.hpp)"
#endif

static_assert(sizeof(long) == 8, "quellmar reads 64-bit integers with PyLong_AsLong: `long` must hold 64 bits");

namespace quellmar {

// a * b into `out`; true when the exact product does not fit (and `out`
// holds the wrapped value).
template <class T>
inline bool mul_overflows(T a, T b, T& out) noexcept {
    return __builtin_mul_overflow(a, b, &out);
}

}  // namespace quellmar
