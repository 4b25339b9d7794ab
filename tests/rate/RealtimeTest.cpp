// Counts heap allocations, mutex locks and trigonometric calls while the rate adapter processes.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <mutex>
#include <random>

#include "CountingScope.h"
#include "RateAdapter.h"

namespace
{
std::atomic<long> gTrigCalls{0};

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

    CountingScope scope;
    std::mutex mutex;
    mutex.lock();
    mutex.unlock();
    scope.stop();
    EXPECT_EQ(scope.locks(), 1);

    scope.start();
    int* volatile probe = new int(3); // volatile: the compiler may drop an unused new
    delete probe;
    scope.stop();
    EXPECT_EQ(scope.allocations(), 1);
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

        gTrigCalls = 0;
        CountingScope scope;
        for (int block = 0; block < 300; ++block)
            adapter.process(in, out, blockSize(rng), render);
        scope.stop();
        EXPECT_EQ(scope.allocations(), 0) << rate;
        EXPECT_EQ(gTrigCalls.load(), 0) << rate;
        EXPECT_EQ(scope.locks(), 0) << rate;
    }
}
