#include "core/allocation.hpp"

#include <limits>

namespace quellmar {

std::size_t max_allocation_bytes() noexcept {
    static const std::size_t limit = [] {
        const std::size_t physical = physical_memory_bytes();
        return physical != 0 ? physical : std::numeric_limits<std::size_t>::max() / 2;
    }();
    return limit;
}

}  // namespace quellmar
