#include "GrowableBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace
{
constexpr int64_t kPage = 4096;
constexpr int64_t kMaxStep = 4194304;
// Leaves room for the allocator's own header, so the block plus header ends on a page.
constexpr int64_t kHeaderRoom = 96;
} // namespace

GrowableBuffer::~GrowableBuffer()
{
    std::free(data);
}

void* GrowableBuffer::resize(int size, bool canShrink)
{
    const int32_t n = size < 0 ? 0 : size;

    if (n == used)
        return get();

    int32_t shrinkBelow = 0;
    if (canShrink && n < used)
        shrinkBelow = std::max(std::min(allocated - 4 * granularity, allocated / 2), 1);

    if (n <= allocated && n >= shrinkBelow)
    {
        used = n;
        return get();
    }

    // 64-bit so that requests near the int32 limit cannot overflow; such a size counts as out of memory.
    int64_t newAllocated = 0;
    if (n >= 1)
    {
        int64_t step = std::max<int64_t>(n / 2, granularity);
        step = (step / kPage) * kPage;
        step = std::min(std::max(step, kPage), kMaxStep);
        newAllocated = ((int64_t(n) + step + kHeaderRoom) / kPage) * kPage - kHeaderRoom;
    }
    if (newAllocated > std::numeric_limits<int32_t>::max())
        return get();

    if (newAllocated != allocated)
    {
        if (newAllocated <= 0)
        {
            std::free(data);
            data = nullptr;
            allocated = 0;
            used = 0;
            return nullptr;
        }

        void* block = std::realloc(data, size_t(newAllocated));
        if (block == nullptr)
        {
            block = std::malloc(size_t(newAllocated));
            if (block == nullptr)
                return get();
            if (data != nullptr)
            {
                const int32_t keep = std::min(n, used);
                if (keep > 0)
                    std::memcpy(block, data, size_t(keep));
                std::free(data);
            }
        }
        data = block;
        allocated = int32_t(newAllocated);
    }

    used = n;
    return get();
}

void GrowableBuffer::appendPointer(void* item)
{
    const size_t k = size_t(used) / sizeof(void*);
    const size_t request = (k + 1) * sizeof(void*);
    if (request > size_t(std::numeric_limits<int32_t>::max()))
        return;
    resize(int(request), false);
    if (size_t(used) == request)
        std::memcpy(static_cast<char*>(data) + k * sizeof(void*), &item, sizeof(void*));
}
