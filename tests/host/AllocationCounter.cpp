#include "AllocationCounter.hpp"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<uint64_t> sCalls{ 0 };
// Plain zero-initialised TLS: safe to touch from inside malloc.
thread_local bool tCounting = false;

inline void note() noexcept
{
    if (tCounting)
        sCalls.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

namespace AllocationCounter {

void start()
{
    sCalls.store(0);
    tCounting = true;
}

uint64_t stop()
{
    tCounting = false;
    return sCalls.load();
}

} // namespace AllocationCounter

#if defined(__SANITIZE_ADDRESS__)

// From the sanitizer run-time (gcc ships the library but not this header).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, size_t),
                                                         void (*freeHook)(const volatile void*));

namespace {

void mallocHook(const volatile void*, size_t) { note(); }
void freeHook(const volatile void*) { note(); }

struct InstallHooks
{
    InstallHooks() { __sanitizer_install_malloc_and_free_hooks(mallocHook, freeHook); }
} sInstallHooks;

} // namespace

#else

// Replacements of the C allocator, exported from the executable (ENABLE_EXPORTS) so that the
// modules bind to them; glibc's own implementation does the work.
extern "C" {

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* ptr);

void* malloc(size_t size)
{
    note();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    note();
    return __libc_calloc(count, size);
}

void* realloc(void* ptr, size_t size)
{
    note();
    return __libc_realloc(ptr, size);
}

void free(void* ptr)
{
    if (ptr != nullptr)
        note();
    __libc_free(ptr);
}

void* memalign(size_t alignment, size_t size)
{
    note();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    note();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size)
{
    note();
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* const p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}

void* valloc(size_t size)
{
    note();
    return __libc_memalign(4096, size);
}

} // extern "C"

// The global operator new and delete of the executable, counted through malloc and free.
void* operator new(size_t size)
{
    void* const p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }
void* operator new(size_t size, std::align_val_t align)
{
    void* p = nullptr;
    if (posix_memalign(&p, static_cast<size_t>(align), size != 0 ? size : 1) != 0)
        throw std::bad_alloc();
    return p;
}
void* operator new[](size_t size, std::align_val_t align) { return operator new(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }

#endif
