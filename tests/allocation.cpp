#include "allocation.h"

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

namespace {
std::atomic<std::size_t> limit{std::numeric_limits<std::size_t>::max()};

void* allocate(std::size_t size) {
    if (size > limit.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

AllocationLimit::AllocationLimit(std::size_t bytes) { limit = bytes; }
AllocationLimit::~AllocationLimit() { limit = std::numeric_limits<std::size_t>::max(); }

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
