#pragma once
// The memory tests' binary replaces the global operator new (with malloc and
// free underneath): a test can make one chosen allocation of its thread fail,
// or count the allocations its thread makes. Other threads are never touched.

#include <cstdint>

// Arms the failure of the thread's n-th allocation from now (0: the next
// one); disarms on destruction, so a failure never reaches the test's own
// checks.
class lum_failing_allocation {
public:
    explicit lum_failing_allocation(long long n);
    ~lum_failing_allocation();
    lum_failing_allocation(const lum_failing_allocation&) = delete;
    lum_failing_allocation& operator=(const lum_failing_allocation&) = delete;
    // Whether the armed allocation was reached.
    static bool fired();
};

// Counts the thread's allocations from now until stop() (or destruction).
class lum_counting_allocations {
public:
    lum_counting_allocations();
    ~lum_counting_allocations();
    lum_counting_allocations(const lum_counting_allocations&) = delete;
    lum_counting_allocations& operator=(const lum_counting_allocations&) = delete;
    // Stops counting; the number of allocations made while it counted.
    uint64_t stop();
};
