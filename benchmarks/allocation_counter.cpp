// The replaced global allocation functions, in a file of their own so that
// the compiler never inlines them into the code whose allocations they count.
#include "benchmarks/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace alloc_count {
bool counting = false;
uint64_t total = 0;
}  // namespace alloc_count

void* operator new(std::size_t n) {
    if (alloc_count::counting) ++alloc_count::total;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
