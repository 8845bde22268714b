// The VM object as the module sees it. The host owns and creates it (see
// host/host_vm.h); the module reads and writes the fields below.
//
// Pools of forward-declared item types: lum_pool never needs the complete
// item type in its layout, constructor or destructor (see runtime/pool.h), so
// this header compiles with forward declarations only. Code that allocates or
// frees items (lum_pool_new / lum_pool_delete, pool.allocate/deallocate)
// includes the item's own header as well.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/job_queue.h"
#include "runtime/log.h"
#include "runtime/pool.h"
#include "runtime/ptr.h"
#include "runtime/thread_local.h"
#include "runtime/value_records_fwd.h"
#include "runtime/vm_lock.h"

class lumobject_base;
class lumobject_update_pre;
struct lum_task;
struct lumvar;
class lum_std_string;
class lum_std_json;
class lum_std_buffer;
struct lum_vm_context;

// Object woken from any thread, without the VM lock, when tasks are due or
// a worker posted a result.
class lum_vm_wake {
public:
    virtual ~lum_vm_wake();
    virtual void reserved_op();
    virtual void wake() = 0;
};

struct lum_vm_settings {
    uint32_t max_call_depth = 0; // 0 = no limit
};

// One record of the return ring: written by a worker job, read by the host.
struct lum_return_record {
    lum_task* task = nullptr;          // one strong reference held for the reader
    lumvar* result = nullptr;          // one reference held for the reader
    lumobject_base* object = nullptr;  // null or one strong reference held
    uint8_t set = 0;
    lumvar* value = nullptr;           // the worker's own result cell (heap), one reference held for the reader
};

struct lum_return_ring {
    static constexpr uint32_t capacity = 1024;
    std::atomic<uint32_t> write_counter{0};
    std::atomic<uint32_t> read_counter{0};
    std::atomic<uint8_t> state[capacity] = {}; // 0 free, 1 being written, 2 full
    lum_return_record records[capacity];
};

struct lum_vm {
    lum_vm();
    ~lum_vm(); // tears the pools down if the host did not
    lum_vm(const lum_vm&) = delete;
    lum_vm& operator=(const lum_vm&) = delete;

    lum_vm_lock lock;
    lumptr_strong<lum_log_base> logger;  // never empty
    lum_vm_settings settings;
    lum_vm_wake* wake = nullptr;         // may be null
    std::string name;                    // copied into worker threads' runtime blocks
    std::vector<lumptr_strong<lum_task>> task_heap; // binary min-heap on due time
    std::vector<lumptr_strong<lum_task>> waiting;   // suspended tasks
    uint64_t task_sequence = 0;                     // schedules so far: equal due times run in this order
    lum_job_queue jobs;
    lum_return_ring returns;

    // The fourteen pools.
    lum_pool<lumvar, true> pool_cells;
    lum_pool<lumptr_ref_record, true> pool_records;
    lum_pool<lum_std_string, true> pool_strings;
    lum_pool<lum_std_json, true> pool_jsons;
    lum_pool<lum_std_buffer, true> pool_buffers;
    lum_pool<lum_vm_context, true> pool_contexts;
    lum_pool<lumvar_object_holder, false> pool_object_holders;         // type 8
    lum_pool<lumvar_class_holder, false> pool_class_holders;           // type 10
    lum_pool<lumvar_class_def_holder, false> pool_class_def_holders;   // type 11
    lum_pool<lumvar_function_record, false> pool_functions;            // type 12
    lum_pool<lumvar_ext_function_record, false> pool_ext_functions;    // type 13
    lum_pool<lumvar_member_name_ref, false> pool_member_names;         // type 14
    lum_pool<lumvar_member_index_ref, false> pool_member_indexes;      // type 15
    lum_pool<lumvar_member_key_ref, false> pool_member_keys;           // type 16

    std::vector<lumobject_update_pre*> update_list;
    uint8_t update_list_changed = 0;
    std::vector<lumptr_strong<lumobject_base>> deferred_releases;
    uint32_t worker_count = 0;

    // Every pool, in teardown order (contexts first: they hold cells; records last).
    std::vector<lum_pool_base*> pools_in_teardown_order();
    // Owner thread: drains every pool's deferred-free ring. Returns the number of items returned.
    size_t drain_pool_rings();
    // Owner thread: tears down every pool (see lum_pool_base::teardown).
    void teardown_pools();

private:
    bool pools_torn_down_ = false;
};

// The pool-or-heap rule: the thread's current VM when it exists, the thread
// owns its lock and pooling is not suspended; else null.
inline lum_vm* lum_pool_vm(const lum_thread_local& tl) noexcept {
    lum_vm* vm = tl.vm;
    if (vm != nullptr &&
        ((vm->lock.owner.load(std::memory_order_relaxed) ^ tl.thread_id) | tl.pooling_suspended) == 0)
        return vm;
    return nullptr;
}
inline lum_vm* lum_pool_vm() { return lum_pool_vm(lum_get_thread_local()); }

// The thread's current VM when the thread owns its lock, else null (the
// release rule: pooling suspension does not matter for returns).
inline lum_vm* lum_owned_vm(const lum_thread_local& tl) noexcept {
    lum_vm* vm = tl.vm;
    if (vm != nullptr && vm->lock.owner.load(std::memory_order_relaxed) == tl.thread_id) return vm;
    return nullptr;
}

// For fast paths that fall back to a full slow path: as lum_owned_vm(), but
// null as well when the thread's runtime block is not at hand without a call
// (lum_tl_detail::cached_block()).
inline lum_vm* lum_owned_vm_fast() noexcept {
    lum_thread_local* tl = lum_tl_detail::cached_block();
    return tl != nullptr ? lum_owned_vm(*tl) : nullptr;
}

template <class M>
struct lum_pool_member_traits;
template <class P>
struct lum_pool_member_traits<P lum_vm::*> {
    using pool_type = P;
    using item_type = typename P::item_type;
};

// The step lum_pool_new applies to every item it hands out (none by default).
struct lum_pool_no_prepare {
    template <class T>
    void operator()(T*) const noexcept {}
};

// Heap item with slot 255 (the heap half of lum_pool_new).
template <class T, class Prepare = lum_pool_no_prepare>
[[gnu::noinline]] T* lum_pool_new_heap() {
    T* item = new T();
    item->pool_slot = LUM_POOL_HEAP_SLOT;
    Prepare{}(item);
    return item;
}

// The pool's slow path (a new chunk, a chunk further down the free-chunk
// stack), and a heap item when the pool cannot grow.
template <auto PoolMember, class Prepare = lum_pool_no_prepare>
[[gnu::noinline]] auto* lum_pool_new_from(lum_vm* vm) {
    using T = typename lum_pool_member_traits<decltype(PoolMember)>::item_type;
    if (T* item = (vm->*PoolMember).allocate()) {
        Prepare{}(item);
        return item;
    }
    return lum_pool_new_heap<T, Prepare>();
}

// lum_pool_new through the thread's block when it is not at hand without a call.
template <auto PoolMember, class Prepare = lum_pool_no_prepare>
[[gnu::noinline]] auto* lum_pool_new_lookup() {
    using T = typename lum_pool_member_traits<decltype(PoolMember)>::item_type;
    if (lum_vm* vm = lum_pool_vm()) return lum_pool_new_from<PoolMember, Prepare>(vm);
    return lum_pool_new_heap<T, Prepare>();
}

// A new item from the VM pool named by PoolMember when the pool-or-heap rule
// holds, else (or when the pool cannot grow) a heap item `new T()` with slot
// 255. Checked pools hand out their built-once items as they are; `Prepare`
// (a stateless callable taking T*) is applied to the item on every path.
//   lumvar* cell = lum_pool_new<&lum_vm::pool_cells>();
template <auto PoolMember, class Prepare = lum_pool_no_prepare>
[[gnu::always_inline]] inline auto* lum_pool_new() {
    using T = typename lum_pool_member_traits<decltype(PoolMember)>::item_type;
    if (lum_thread_local* tl = lum_tl_detail::cached_block()) [[likely]] {
        if (lum_vm* vm = lum_pool_vm(*tl)) [[likely]] {
            if (T* item = (vm->*PoolMember).try_allocate()) [[likely]] {
                Prepare{}(item);
                return item;
            }
            return lum_pool_new_from<PoolMember, Prepare>(vm);
        }
        return lum_pool_new_heap<T, Prepare>();
    }
    return lum_pool_new_lookup<PoolMember, Prepare>();
}

// The full half of lum_pool_delete: a heap item (slot 255) is deleted; on a
// thread without a VM nothing happens (the item stays in its chunk); the VM's
// owner returns it at once (slow path of the pool included); any other thread
// hands it to the pool's deferred-free ring, and when the ring is full takes
// the VM lock and returns it directly.
template <auto PoolMember, class T>
[[gnu::noinline]] void lum_pool_delete_slow(T* item) {
    if (item->pool_slot == LUM_POOL_HEAP_SLOT) {
        delete item;
        return;
    }
    const lum_thread_local& tl = lum_get_thread_local();
    lum_vm* vm = tl.vm;
    if (vm == nullptr) return; // the item stays in its chunk
    auto& pool = vm->*PoolMember;
    if (vm->lock.owner.load(std::memory_order_relaxed) == tl.thread_id) {
        pool.deallocate(item);
        return;
    }
    if (pool.push_deferred(item)) return;
    lum_vm_lock_guard guard(vm);
    pool.deallocate(item);
}

// Releases an item from any thread (see lum_pool_delete_slow). Inline: a heap
// item, and the owner's return into the chunk tried first.
template <auto PoolMember, class T>
[[gnu::always_inline]] inline void lum_pool_delete(T* item) {
    using Item = typename lum_pool_member_traits<decltype(PoolMember)>::item_type;
    static_assert(std::is_same_v<std::remove_cv_t<T>, Item>, "item type does not match the pool");
    if (item == nullptr) return;
    const uint32_t slot = item->pool_slot;
    if (slot == LUM_POOL_HEAP_SLOT) {
        delete item;
        return;
    }
    if (lum_vm* vm = lum_owned_vm_fast()) [[likely]] {
        if ((vm->*PoolMember).try_deallocate(item, slot)) [[likely]]
            return;
    }
    lum_pool_delete_slow<PoolMember>(item);
}
