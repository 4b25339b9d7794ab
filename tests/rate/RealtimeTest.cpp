// Counts heap allocations, mutex locks and trigonometric calls while the rate adapter processes.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <new>
#include <random>

#include "RateAdapter.h"

namespace
{
std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};
std::atomic<long> gTrigCalls{0};
std::atomic<long> gLocks{0};

void* countedAlloc(std::size_t size)
{
    if (gCounting.load(std::memory_order_relaxed))
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void* countedAlignedAlloc(std::size_t size, std::align_val_t align)
{
    if (gCounting.load(std::memory_order_relaxed))
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t a = std::max(std::size_t(align), sizeof(void*));
    void* p = nullptr;
    if (posix_memalign(&p, a, size ? size : 1) != 0)
        throw std::bad_alloc();
    return p;
}

template <typename Fn>
Fn nextSymbol(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void countTrig()
{
    gTrigCalls.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

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

// The library is linked into this executable, so its calls into libm land here first.
extern "C" {
double sin(double x) { countTrig(); static auto f = nextSymbol<double (*)(double)>("sin"); return f(x); }
double cos(double x) { countTrig(); static auto f = nextSymbol<double (*)(double)>("cos"); return f(x); }
double tan(double x) { countTrig(); static auto f = nextSymbol<double (*)(double)>("tan"); return f(x); }
float sinf(float x) { countTrig(); static auto f = nextSymbol<float (*)(float)>("sinf"); return f(x); }
float cosf(float x) { countTrig(); static auto f = nextSymbol<float (*)(float)>("cosf"); return f(x); }
float tanf(float x) { countTrig(); static auto f = nextSymbol<float (*)(float)>("tanf"); return f(x); }
void sincos(double x, double* s, double* c)
{
    countTrig();
    static auto f = nextSymbol<void (*)(double, double*, double*)>("sincos");
    f(x, s, c);
}
int pthread_mutex_lock(pthread_mutex_t* m)
{
    gLocks.fetch_add(1, std::memory_order_relaxed);
    static auto f = nextSymbol<int (*)(pthread_mutex_t*)>("pthread_mutex_lock");
    return f(m);
}
void sincosf(float x, float* s, float* c)
{
    countTrig();
    static auto f = nextSymbol<void (*)(float, float*, float*)>("sincosf");
    f(x, s, c);
}
}

TEST(RateAdapterRealtime, CountersSeeTheCallsTheyCount)
{
    const long trig = gTrigCalls.load();
    volatile double x = 0.25;
    EXPECT_NEAR(std::sin(double(x)), 0.247403959254523, 1e-15);
    EXPECT_EQ(gTrigCalls.load(), trig + 1);

    // The kernel tables are built from sines; seen here when this test builds them first.
    const bool built = RationalResampler::sKernelTablesBuilt;
    RateAdapter adapter;
    adapter.reset(44100, 2048);
    if (!built)
    {
        EXPECT_GE(gTrigCalls.load() - trig - 1, 2L * 8000 * 24);
    }

    const long locks = gLocks.load();
    std::mutex mutex;
    mutex.lock();
    mutex.unlock();
    EXPECT_EQ(gLocks.load(), locks + 1);

    gCounting = true;
    int* probe = new int(3);
    delete probe;
    gCounting = false;
    EXPECT_EQ(gAllocations.exchange(0), 1);
}

TEST(RateAdapterRealtime, ProcessAllocatesNothingLocksNothingAndCallsNoTrigonometry)
{
    static float in[2048], out[2048];
    for (int i = 0; i < 2048; ++i)
        in[i] = 0.5f * float(i % 97) / 97.0f - 0.25f;
    const std::function<void(const float*, float*, unsigned int)> render = [](const float* i, float* o, unsigned int n) {
        for (unsigned int k = 0; k < n; ++k)
            o[k] = 0.9f * i[k];
    };

    for (double rate : {44100.0, 96000.0, 22050.0, 192000.0, 48000.0})
    {
        RateAdapter adapter;
        adapter.reset(rate, 2048);
        std::mt19937 rng{static_cast<unsigned>(rate)};
        std::uniform_int_distribution<unsigned int> blockSize(1, 2048);

        gAllocations = 0;
        gTrigCalls = 0;
        gLocks = 0;
        gCounting = true;
        for (int block = 0; block < 300; ++block)
            adapter.process(in, out, blockSize(rng), render);
        gCounting = false;
        EXPECT_EQ(gAllocations.load(), 0) << rate;
        EXPECT_EQ(gTrigCalls.load(), 0) << rate;
        EXPECT_EQ(gLocks.load(), 0) << rate;
    }
}
