// Where the code meets the platform.  Plain C++.
//
// Everything else in src/ is standard C++20 and evaluates floating point the
// same way everywhere.  What differs between operating systems, compilers
// and processors lives here and in platform.cpp, each with a portable
// fallback:
//
//   - the machine's physical memory, for the allocation guard (sysconf on
//     Linux and other POSIX systems, sysctl hw.memsize on macOS,
//     GlobalMemoryStatusEx on Windows);
//   - transparent huge pages for large vectors (madvise on Linux, nothing
//     elsewhere);
//   - a checked multiplication of integers;
//   - `Pair`, two doubles computed side by side, lane by lane, in plain C++
//     that compilers vectorise;
//   - the widest x86-64 vector unit the machine runs, for copies of a kernel
//     compiled for AVX2 and AVX-512 (GCC and clang on x86-64);
//   - the exported symbols: exactly the PyInit_* entry points of the table of
//     submodules (binding/submodules.hpp), through
//     a GNU ld version script on ELF, an exported-symbols list on Mach-O and
//     PyMODINIT_FUNC's dllexport on Windows (CMakeLists.txt).
//
// None of these changes a result: a checked product is the exact product,
// a pair computes each lane with the same single rounding as the scalar
// code, and every copy of a kernel performs the same product and sum per element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace quellmar {

// The machine's physical memory in bytes; 0 when the system does not say.
std::size_t physical_memory_bytes() noexcept;

// Asks the kernel to back the whole pages of [data, data + bytes) with huge
// pages and to fault them in at once.  A hint: contents are left alone and
// nothing changes where it is not honoured.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

// a * b into `out`; true when the exact product does not fit T (and `out`
// then holds the product wrapped modulo 2^bits).
template <class T>
constexpr bool mul_overflows(T a, T b, T& out) noexcept {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    using U = std::make_unsigned_t<T>;
    out = static_cast<T>(static_cast<U>(static_cast<U>(a) * static_cast<U>(b)));
    if constexpr (std::is_unsigned_v<T>) {
        return a != 0 && b > std::numeric_limits<T>::max() / a;
    } else {
        constexpr T max = std::numeric_limits<T>::max();
        constexpr T min = std::numeric_limits<T>::min();
        if (a > 0) return b > 0 ? a > max / b : b < min / a;
        if (a < 0) return b > 0 ? a < min / b : (b != 0 && b < max / a);
        return false;
    }
}

// Two doubles computed side by side: +, -, * and / lane by lane, each lane
// rounded once as the same operation on a double would be.  Plain C++:
// GCC and Clang pack it into one SSE2 or NEON register by themselves (GCC
// gives the same instructions as for its vector extension).
struct Pair {
    double lane[2];
    double operator[](int i) const noexcept { return lane[i]; }
    friend Pair operator+(Pair a, Pair b) noexcept { return {{a.lane[0] + b.lane[0], a.lane[1] + b.lane[1]}}; }
    friend Pair operator-(Pair a, Pair b) noexcept { return {{a.lane[0] - b.lane[0], a.lane[1] - b.lane[1]}}; }
    friend Pair operator*(Pair a, Pair b) noexcept { return {{a.lane[0] * b.lane[0], a.lane[1] * b.lane[1]}}; }
    friend Pair operator/(Pair a, Pair b) noexcept { return {{a.lane[0] / b.lane[0], a.lane[1] / b.lane[1]}}; }
};
inline Pair pair_of(double first, double second) noexcept { return Pair{{first, second}}; }

}  // namespace quellmar

// The widest x86-64 vector unit that both the processor and the operating
// system enable (CPUID and XGETBV), read once.  `baseline` elsewhere and where
// the compiler cannot build code for wider units (QUELLMAR_X86_64_WIDE unset).
namespace quellmar {
enum class VectorUnit { baseline, avx2, avx512f };
VectorUnit x86_64_vector_unit() noexcept;
}  // namespace quellmar

// Defined where GCC or clang build for x86-64: a kernel is then also compiled
// for AVX2 and for AVX-512 (QUELLMAR_TARGET("avx2") before a definition) and
// picked by x86_64_vector_unit().  Chosen by the module itself, not by the
// loader's ifunc or the compiler runtime's CPU model, which some toolchains
// (Zig's) leave at the baseline, and which PE and Mach-O lack.
#if defined(__GNUC__) && defined(__x86_64__)
#define QUELLMAR_X86_64_WIDE 1
#define QUELLMAR_TARGET(isa) __attribute__((target(isa)))
// the one loop of a kernel, inlined into each of its copies
#define QUELLMAR_INLINE_INTO_COPIES __attribute__((always_inline))
#else
#define QUELLMAR_INLINE_INTO_COPIES
#endif
