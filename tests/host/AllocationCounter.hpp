#pragma once

// Counts heap calls (allocations and frees) made on the counting thread while counting is on.
// Linked into the test executable: without sanitizers it replaces malloc and its relatives
// (forwarding to glibc) and the global operator new/delete, so calls made inside a dlopen'ed
// module, whose statically linked operator new ends in malloc, are seen too; under
// AddressSanitizer it uses the sanitizer's malloc and free hooks instead.

#include "HostCommon.hpp"

#include <cstdint>

namespace AllocationCounter {

void start();
// Stops counting and answers the number of heap calls seen since start().
uint64_t stop();

} // namespace AllocationCounter

// Counts around each process call of a host instance.
class CountingObserver : public ProcessObserver
{
public:
    void beforeProcess() override { AllocationCounter::start(); }
    void afterProcess() override { fCount += AllocationCounter::stop(); }
    uint64_t count() const noexcept { return fCount; }

private:
    uint64_t fCount = 0;
};
