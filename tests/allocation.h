#pragma once
// Allocation failure on demand: while a limit is set, operator new throws
// std::bad_alloc for any larger block (tests/allocation.cpp replaces it).

#include <cstddef>

struct AllocationLimit {
    explicit AllocationLimit(std::size_t bytes);
    ~AllocationLimit();
};
