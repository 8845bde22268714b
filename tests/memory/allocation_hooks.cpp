#include "tests/memory/allocation_hooks.h"

#include <cstdlib>
#include <new>

namespace {
// Allocations of this thread left before the one that fails; -1: none fails.
thread_local long long allocations_before_failure = -1;
thread_local bool counting = false;
thread_local uint64_t counted = 0;
}  // namespace

namespace {
void* allocate(std::size_t size) {
    if (allocations_before_failure >= 0 && allocations_before_failure-- == 0) throw std::bad_alloc();
    if (counting) ++counted;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* allocate_nothrow(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
}  // namespace

// Every form that pairs with the plain delete is replaced (the library's
// temporary buffers come from the nothrow form), so each block is freed by
// the allocator that made it. The aligned forms stay the library's, in pairs.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size); }
// The compiler cannot see that the replaced operator new takes its memory
// from malloc.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

lum_failing_allocation::lum_failing_allocation(long long n) { allocations_before_failure = n; }
lum_failing_allocation::~lum_failing_allocation() { allocations_before_failure = -1; }
bool lum_failing_allocation::fired() { return allocations_before_failure < 0; }

lum_counting_allocations::lum_counting_allocations() {
    counted = 0;
    counting = true;
}
lum_counting_allocations::~lum_counting_allocations() { counting = false; }
uint64_t lum_counting_allocations::stop() {
    counting = false;
    return counted;
}
