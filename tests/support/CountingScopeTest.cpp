// The counter under the suites' real-time checks: a counter that missed a form of operator new
// would let those checks pass on code that allocates.

#include "CountingScope.h"

#include <gtest/gtest.h>

#include <mutex>
#include <new>
#include <thread>

namespace {

struct alignas(64) Wide
{
    float v[16];
};

// The results are held in volatile pointers: the compiler may drop a new whose result is unused.
void allocateEveryForm()
{
    int* volatile single = new int(1);
    delete single;
    int* volatile array = new int[4];
    delete[] array;
    int* volatile nothrow = new (std::nothrow) int(2);
    delete nothrow;
    Wide* volatile wide = new Wide;
    delete wide;
    Wide* volatile wideArray = new Wide[2];
    delete[] wideArray;
}

void lockOnce()
{
    std::mutex mutex;
    mutex.lock();
    mutex.unlock();
}

TEST(CountingScope, SeesEveryFormOfNewAndEveryLockOnAnyThread)
{
    CountingScope scope;
    allocateEveryForm();
    scope.stop();
    EXPECT_EQ(scope.allocations(), 5);

    scope.start();
    std::thread(lockOnce).join();
    scope.stop();
    EXPECT_GE(scope.locks(), 1);

    scope.start();
    std::thread(allocateEveryForm).join();
    scope.stop();
    EXPECT_GE(scope.allocations(), 5); // the thread's start may allocate too
}

TEST(CountingScope, CountsNothingOutsideAndStartsFromZero)
{
    CountingScope scope;
    allocateEveryForm();
    lockOnce();
    scope.stop();
    ASSERT_EQ(scope.allocations(), 5);
    ASSERT_EQ(scope.locks(), 1);

    allocateEveryForm();
    lockOnce();
    EXPECT_EQ(scope.allocations(), 5);
    EXPECT_EQ(scope.locks(), 1);

    scope.start();
    EXPECT_EQ(scope.allocations(), 0);
    EXPECT_EQ(scope.locks(), 0);
}

} // namespace
