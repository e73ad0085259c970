#pragma once
// Counts the allocations made on the calling thread while counting is switched on, to show
// that a path allocates nothing. The global operator new and delete that count are replaced
// in AllocationCount.cpp, in a file of their own: inlined into the tests beside them, the
// compiler would pair the test's own new expressions with the replacement's free.
#include <cstddef>

namespace allocation_count {
extern thread_local bool counting;
extern thread_local std::size_t allocations;
}  // namespace allocation_count
