#pragma once

#include <cstddef>

// Counts global operator new calls made on any thread while a scope is open.
struct AllocationScope {
    AllocationScope();
    ~AllocationScope();
    size_t count() const;
};
