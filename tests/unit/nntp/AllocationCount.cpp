#include "AllocationCount.h"

#include <cstdlib>
#include <new>

namespace allocation_count {
thread_local bool counting = false;
thread_local std::size_t allocations = 0;
}  // namespace allocation_count

void* operator new(std::size_t size) {
    if (allocation_count::counting) {
        ++allocation_count::allocations;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
