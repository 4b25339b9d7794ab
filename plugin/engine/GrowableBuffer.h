#pragma once

#include <cstdint>

// A heap block sized in bytes that grows in generous steps and hands memory back only on request.
// Owners size it while preparing; the audio path only reads and writes the block.
class GrowableBuffer
{
public:
    GrowableBuffer() = default;
    ~GrowableBuffer();

    GrowableBuffer(const GrowableBuffer&) = delete;
    GrowableBuffer& operator=(const GrowableBuffer&) = delete;

    // Sets the used size in bytes (negative counts as 0) and returns get(). When memory runs out
    // nothing changes: callers detect that by getSize() differing from what they asked for.
    void* resize(int size, bool canShrink);

    // The block, or null while the used size is 0.
    void* get() const noexcept { return used != 0 ? data : nullptr; }

    int32_t getSize() const noexcept { return used; }

    // Treats the block as a list of pointers and appends one; stores nothing if the list cannot grow.
    void appendPointer(void* item);

    void* data = nullptr;
    int32_t allocated = 0;
    int32_t used = 0;
    int32_t granularity = 4096;
};
