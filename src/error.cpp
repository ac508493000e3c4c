#include "error.hpp"

#include <sys/mman.h>  // madvise: Linux (platform.hpp)
#include <unistd.h>    // sysconf: Linux (platform.hpp)

#include <cstdint>

#include <limits>
#include <string>

#include "platform.hpp"

namespace quellmar {

const char* const kAbsentValueMessage = "a value required by the computation is missing";
const char* const kGenericPanicMessage = "quellmar's internal code failed during this call";

void panic(std::string message) { throw Panic(std::move(message)); }

void panic_index(std::size_t len, std::size_t index) {
    // Built by appending: GCC 12 misreports "literal + std::string&&" (-Wrestrict).
    std::string message = "index out of bounds: the len is ";
    message.append(std::to_string(len)).append(" but the index is ").append(std::to_string(index));
    panic(std::move(message));
}

void panic_absent() { panic(kAbsentValueMessage); }

std::size_t max_allocation_bytes() noexcept {
    static const std::size_t limit = [] {
        // Physical memory as Linux reports it (platform.hpp).
        long pages = sysconf(_SC_PHYS_PAGES);
        long page_size = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::size_t>::max() / 2;
        return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
    }();
    return limit;
}

void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    static const std::uintptr_t page = [] {
        long size = sysconf(_SC_PAGE_SIZE);
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

}  // namespace quellmar
