// Replaces the global allocation functions of the test executable so that tests can prove
// a path allocates nothing.
#include "TestSupport.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{
std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};
} // namespace

void* operator new(std::size_t size)
{
    if (gCounting.load(std::memory_order_relaxed))
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace namtest
{
AllocationCounter::AllocationCounter()
{
    gAllocations = 0;
    gCounting = true;
}
AllocationCounter::~AllocationCounter() { gCounting = false; }
long AllocationCounter::count() const { return gAllocations.load(); }
} // namespace namtest
