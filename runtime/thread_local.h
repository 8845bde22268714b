// The per-thread runtime block: thread id, current VM, logger, task, VM-lock
// depth and the pooling switch. Every lookup goes through the registry's
// thread-local getter, so a host that installs its own getter makes the module
// share the host's block.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/ptr.h"

struct lum_vm;
struct lum_task;
class lum_log_base;

// Entry of the reserved per-thread table.
struct lum_thread_local_entry {
    lumptr_strong<lumptr_base_internal> handle;
    std::vector<std::pair<std::string, uint64_t>> values;
};

struct lum_thread_local {
    uint32_t thread_id = 0;               // OS thread id of the owning thread
    std::string name;                     // name of the thread or VM context
    lum_vm* vm = nullptr;                 // the VM this thread works for
    lumptr_strong<lum_log_base> logger;   // the thread's own logger, first choice of lum_get_log()
    lum_task* current_task = nullptr;     // task whose code the thread runs
    lum_task* second_task = nullptr;      // task whose globals are being cleared
    uint32_t vm_lock_depth = 0;           // nesting of lum_vm_lock_guard on this thread
    std::unordered_map<uint64_t, lum_thread_local_entry> table{8}; // reserved
    uint32_t reserved_counter_a = 0;
    uint32_t reserved_counter_b = 0;
    uint32_t pooling_suspended = 0;       // > 0: cells, records and pooled objects come from the heap

    // Fills the initial values; the thread id is the calling thread's.
    lum_thread_local();
    lum_thread_local(const lum_thread_local&) = delete;
    lum_thread_local& operator=(const lum_thread_local&) = delete;
    ~lum_thread_local();
};

// OS thread id of the calling thread (runtime/platform.h).
uint32_t lum_os_thread_id();

using lum_thread_local_getter = std::function<lum_thread_local&()>;

namespace lum_tl_detail {
// Points at the registry's getter once the registry exists.
extern std::atomic<lum_thread_local_getter*> getter;
// All bits set while the registry's getter is still the module's own one,
// 0 once it was replaced. The own getter is an object whose destruction
// clears the mask, so a host that replaces the getter (assigning to it
// destroys the old one) is seen without the host's help. A mask rather than a
// flag: the cached pointer AND the mask is the whole fast-path test.
// (Hidden: the module's own symbols, read directly rather than through the GOT.)
extern std::atomic<uintptr_t> own_getter_mask __attribute__((visibility("hidden")));
// The block the module's own getter gave this thread (its answer never
// changes on a thread).
extern thread_local constinit lum_thread_local* cache __attribute__((tls_model("initial-exec"), visibility("hidden")));
lum_thread_local_getter* init_getter();
// Asks the registry's getter; keeps the answer while the getter is the module's own.
lum_thread_local& lookup();
// The cached block while the getter is the module's own, else null (the
// caller then takes lum_get_thread_local()'s full path).
inline lum_thread_local* cached_block() noexcept {
    return reinterpret_cast<lum_thread_local*>(reinterpret_cast<uintptr_t>(cache) &
                                               own_getter_mask.load(std::memory_order_relaxed));
}
} // namespace lum_tl_detail

// The calling thread's runtime block, as the registry's getter gives it (the
// registry is created first if needed). An empty getter throws
// std::bad_function_call. While the getter is the module's own, its answer is
// taken from a per-thread cache (one thread-local load masked by one global);
// once a host has replaced the getter, every lookup calls it.
inline lum_thread_local& lum_get_thread_local() {
    if (lum_thread_local* cached = lum_tl_detail::cached_block()) [[likely]]
        return *cached;
    return lum_tl_detail::lookup();
}

// The module's own getter: the calling thread's block, made on its first
// lookup and owned by the thread until lum_thread_local_teardown().
lum_thread_local& lum_module_thread_local();

// Tears down the calling thread's own block: it drops its VM, releases its
// logger and table while lookups still reach it (their destructors may log),
// then frees it. Every later lookup on the thread gets a VM-less stand-in
// block with the same thread id. Runs by itself when the thread exits; a
// platform whose per-thread destructors cannot be relied on calls it
// explicitly at the end of each thread. A second call does nothing.
void lum_thread_local_teardown();

// Raises the pooling-suspended counter for its lifetime (on every exit path).
class lum_pooling_suspend {
public:
    lum_pooling_suspend() : tl_(lum_get_thread_local()) { ++tl_.pooling_suspended; }
    ~lum_pooling_suspend() { --tl_.pooling_suspended; }
    lum_pooling_suspend(const lum_pooling_suspend&) = delete;
    lum_pooling_suspend& operator=(const lum_pooling_suspend&) = delete;

private:
    lum_thread_local& tl_;
};
