#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "GrowableBuffer.h"

TEST(GrowableBuffer, FirstAllocationReservesAboutHalfAgainOnPageBoundaries)
{
    const struct
    {
        int request;
        int32_t allocated;
    } cases[] = {{8, 4000}, {4096, 8096}, {8192, 12192}, {100000, 147360}};

    for (const auto& c : cases)
    {
        GrowableBuffer b;
        void* p = b.resize(c.request, false);
        EXPECT_NE(p, nullptr) << c.request;
        EXPECT_EQ(p, b.get());
        EXPECT_EQ(b.allocated, c.allocated) << c.request;
        EXPECT_EQ(b.getSize(), c.request);
    }
}

TEST(GrowableBuffer, ShrinkKeepsTheBlockDownToTheBoundAndReallocatesBelowIt)
{
    const struct
    {
        int request;
        int32_t allocated;
        int32_t bound;        // smallest size that keeps the block under canShrink
        int32_t reallocated;  // allocation after asking for one byte less (0: released)
    } cases[] = {
        {8192, 12192, 1, 0},              // small blocks: only 0 gives memory back
        {20000, 24480, 8096, 8096},       // allocated - 4 pages
        {100000, 147360, 73680, 106400},  // allocated / 2
    };

    for (const auto& c : cases)
    {
        GrowableBuffer b;
        b.resize(c.request, true);
        ASSERT_EQ(b.allocated, c.allocated);
        void* block = b.data;

        EXPECT_EQ(b.resize(c.bound, true), block) << c.request;
        EXPECT_EQ(b.allocated, c.allocated);
        EXPECT_EQ(b.used, c.bound);

        // Growing back within the allocation does not move the block either.
        EXPECT_EQ(b.resize(c.request, true), block);

        b.resize(c.bound - 1, true);
        EXPECT_EQ(b.allocated, c.reallocated) << c.request;
        EXPECT_EQ(b.used, c.bound - 1);
        EXPECT_EQ(b.data == nullptr, c.reallocated == 0);
    }
}

TEST(GrowableBuffer, ZeroAndNegativeSizes)
{
    GrowableBuffer b;
    EXPECT_EQ(b.resize(-5, true), nullptr);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.allocated, 0);

    b.resize(100, false);
    void* block = b.data;

    // Without canShrink the block is kept for later use.
    EXPECT_EQ(b.resize(0, false), nullptr);
    EXPECT_EQ(b.get(), nullptr);
    EXPECT_EQ(b.data, block);
    EXPECT_EQ(b.allocated, 4000);
    EXPECT_EQ(b.used, 0);

    // Already empty: canShrink has nothing to act on.
    EXPECT_EQ(b.resize(0, true), nullptr);
    EXPECT_EQ(b.data, block);
    EXPECT_EQ(b.allocated, 4000);

    b.resize(100, false);
    EXPECT_EQ(b.data, block);
    EXPECT_EQ(b.resize(-1, true), nullptr);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.allocated, 0);
    EXPECT_EQ(b.used, 0);
}

TEST(GrowableBuffer, ContentsSurviveGrowthAndTheSameSizeChangesNothing)
{
    GrowableBuffer b;
    auto* bytes = static_cast<unsigned char*>(b.resize(1000, false));
    for (int i = 0; i < 1000; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + 1);

    EXPECT_EQ(b.resize(1000, true), bytes);
    EXPECT_EQ(b.resize(3000, false), bytes);  // within the allocation
    auto* moved = static_cast<unsigned char*>(b.resize(50000, false));
    ASSERT_NE(moved, nullptr);
    EXPECT_GE(b.allocated, 50000);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(moved[i], static_cast<unsigned char>(i * 7 + 1)) << i;
}

TEST(GrowableBuffer, RequestBeyondTheAddressableSizeFailsWithoutChange)
{
    GrowableBuffer b;
    auto* bytes = static_cast<unsigned char*>(b.resize(1000, false));
    std::memset(bytes, 0x5a, 1000);

    // Growth would overflow the 32-bit allocation size: treated as out of memory.
    EXPECT_EQ(b.resize(std::numeric_limits<int>::max(), false), bytes);
    EXPECT_EQ(b.getSize(), 1000);
    EXPECT_EQ(b.allocated, 4000);
    EXPECT_EQ(bytes[999], 0x5a);
}

TEST(GrowableBuffer, AppendPointerBuildsAListInOneBlock)
{
    int items[3];
    GrowableBuffer list;
    for (int i = 0; i < 3; ++i)
    {
        list.appendPointer(&items[i]);
        EXPECT_EQ(list.getSize(), int32_t((i + 1) * sizeof(void*)));
        EXPECT_EQ(list.allocated, 4000);
    }
    void* block = list.data;
    auto** entries = static_cast<void**>(list.get());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(entries[i], &items[i]);

    // Emptied the way the rate adapter does it: the block stays for the next append.
    list.resize(0, false);
    list.appendPointer(&items[2]);
    EXPECT_EQ(list.data, block);
    EXPECT_EQ(list.getSize(), int32_t(sizeof(void*)));
    EXPECT_EQ(static_cast<void**>(list.get())[0], &items[2]);
}
