#include "core/platform.hpp"

#if defined(QUELLMAR_X86_64_WIDE)
#include <cpuid.h>
#endif

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#else
#include <unistd.h>
#if defined(__linux__)
#include <sys/mman.h>
#endif
#endif

namespace quellmar {

std::size_t physical_memory_bytes() noexcept {
#if defined(_WIN32)
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) return 0;
    const auto total = status.ullTotalPhys;
    if (total > std::numeric_limits<std::size_t>::max()) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(total);
#elif defined(__APPLE__)
    std::uint64_t total = 0;
    std::size_t size = sizeof(total);
    if (sysctlbyname("hw.memsize", &total, &size, nullptr, 0) != 0 || size != sizeof(total)) return 0;
    if (total > std::numeric_limits<std::size_t>::max()) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(total);
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    std::size_t total = 0;
    if (mul_overflows(static_cast<std::size_t>(pages), static_cast<std::size_t>(page_size), total)) {
        return std::numeric_limits<std::size_t>::max();
    }
    return total;
#endif
}

void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    static const std::uintptr_t page = [] {
        const long size = sysconf(_SC_PAGE_SIZE);
        return size > 0 ? static_cast<std::uintptr_t>(size) : std::uintptr_t{4096};
    }();
    // The whole pages of the block (the first one shared with the
    // allocator's header, which a hint cannot harm); errors are ignored.
    const auto first = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
    madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#endif
#else
    (void)data;
    (void)bytes;
#endif
}

VectorUnit x86_64_vector_unit() noexcept {
#if defined(QUELLMAR_X86_64_WIDE)
    static const VectorUnit unit = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (!__get_cpuid(1, &a, &b, &c, &d)) return VectorUnit::baseline;
        // AVX, and the system saves the wide registers (OSXSAVE, then XCR0)
        if (!(c & (1u << 27)) || !(c & (1u << 28))) return VectorUnit::baseline;
        unsigned xcr0 = 0, xcr0_high = 0;
        __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
        if ((xcr0 & 0x6u) != 0x6u) return VectorUnit::baseline;  // SSE and AVX state
        if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return VectorUnit::baseline;
        if ((b & (1u << 16)) && (xcr0 & 0xe0u) == 0xe0u) return VectorUnit::avx512f;  // and opmask, ZMM state
        if (b & (1u << 5)) return VectorUnit::avx2;
        return VectorUnit::baseline;
    }();
    return unit;
#else
    return VectorUnit::baseline;
#endif
}

}  // namespace quellmar
