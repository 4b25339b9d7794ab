#include "CountingScope.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#include <dlfcn.h>
#include <pthread.h>

namespace {
std::atomic<bool> sCounting{false};
std::atomic<long> sAllocations{0};
std::atomic<long> sLocks{0};

void* countedAlloc(std::size_t size)
{
    if (sCounting.load(std::memory_order_relaxed))
        sAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

void* countedAlignedAlloc(std::size_t size, std::align_val_t align)
{
    if (sCounting.load(std::memory_order_relaxed))
        sAllocations.fetch_add(1, std::memory_order_relaxed);
    void* p = nullptr;
    if (posix_memalign(&p, std::max(static_cast<std::size_t>(align), sizeof(void*)), size != 0 ? size : 1) != 0)
        throw std::bad_alloc();
    return p;
}
} // namespace

void CountingScope::start()
{
    sAllocations.store(0);
    sLocks.store(0);
    sCounting.store(true);
}

void CountingScope::stop() { sCounting.store(false); }

long CountingScope::allocations() const { return sAllocations.load(); }

long CountingScope::locks() const { return sLocks.load(); }

void* operator new(std::size_t size) { return countedAlloc(size); }
void* operator new[](std::size_t size) { return countedAlloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try { return countedAlloc(size); } catch (...) { return nullptr; }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try { return countedAlloc(size); } catch (...) { return nullptr; }
}
void* operator new(std::size_t size, std::align_val_t align) { return countedAlignedAlloc(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return countedAlignedAlloc(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex)
{
    if (sCounting.load(std::memory_order_relaxed))
        sLocks.fetch_add(1, std::memory_order_relaxed);
    static const auto next = reinterpret_cast<int (*)(pthread_mutex_t*)>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    return next(mutex);
}
