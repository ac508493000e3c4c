// Guarded allocation: sizes that could never be satisfied fail at once, and
// large vectors are backed by huge pages.  Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "core/platform.hpp"

namespace quellmar {

// Allocation guard.  Requests that could never be satisfied by this machine
// (more bytes than its physical memory) fail at once with std::bad_alloc
// instead of being granted lazily by the kernel and killing the process when
// touched.  The binding layer turns std::bad_alloc into MemoryError.
std::size_t max_allocation_bytes() noexcept;

// False when `count` elements of `elem_size` bytes could never be held.
inline bool allocatable(std::size_t count, std::size_t elem_size) {
    return elem_size == 0 || count <= max_allocation_bytes() / elem_size;
}

inline void check_allocation(std::size_t count, std::size_t elem_size) {
    if (!allocatable(count, elem_size)) throw std::bad_alloc();
}

// a + b for sizes; overflow is an allocation failure.
inline std::size_t add_sizes(std::size_t a, std::size_t b) {
    if (a > SIZE_MAX - b) throw std::bad_alloc();
    return a + b;
}
inline std::size_t mul_sizes(std::size_t a, std::size_t b) {
    if (a != 0 && b > SIZE_MAX / a) throw std::bad_alloc();
    return a * b;
}

// Fresh memory costs a page fault per 4 KiB page at its first write; on a
// virtual machine a few microseconds each, so that filling a large vector
// can take longer than the routine that fills it.  Vectors of at least this
// many bytes ask the kernel for transparent huge pages, as numpy does for
// its arrays, and have the block faulted in by one call.  Both requests
// leave the contents alone; where they are not honoured nothing changes.
// advise_huge_pages is in platform.hpp.
inline constexpr std::size_t kHugePageBytes = std::size_t{4} << 20;

template <class T>
inline void reserve_exact(std::vector<T>& v, std::size_t count) {
    check_allocation(count, sizeof(T));
    v.reserve(count);
    if (count >= kHugePageBytes / sizeof(T)) advise_huge_pages(v.data(), v.capacity() * sizeof(T));
}

// A copy of `v`, its storage reserved as above.
template <class T>
inline std::vector<T> copy_of(const std::vector<T>& v) {
    std::vector<T> out;
    reserve_exact(out, v.size());
    out.assign(v.begin(), v.end());
    return out;
}

template <class T>
inline std::vector<T> filled(std::size_t count, const T& value) {
    check_allocation(count, sizeof(T));
    return std::vector<T>(count, value);
}

}  // namespace quellmar
