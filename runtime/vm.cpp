#include "runtime/vm.h"

#include "runtime/update_pre.h"

lum_vm_wake::~lum_vm_wake() = default;
void lum_vm_wake::reserved_op() {}

lum_vm::lum_vm() : logger(lum_make_default_log()) {}

lum_vm::~lum_vm() {
    if (pools_torn_down_) return;
    // The host normally tears the pools down; do it here with this VM current
    // and locked so that releases made by item destructors reach the pools.
    lum_thread_local& tl = lum_get_thread_local();
    lum_vm* previous = tl.vm;
    tl.vm = this;
    {
        lum_vm_lock_guard guard(this);
        teardown_pools();
    }
    tl.vm = previous == this ? nullptr : previous;
}

std::vector<lum_pool_base*> lum_vm::pools_in_teardown_order() {
    return {&pool_contexts,       &pool_object_holders, &pool_class_holders,  &pool_class_def_holders,
            &pool_functions,      &pool_ext_functions,  &pool_member_names,   &pool_member_indexes,
            &pool_member_keys,    &pool_jsons,          &pool_strings,        &pool_buffers,
            &pool_cells,          &pool_records};
}

size_t lum_vm::drain_pool_rings() {
    size_t returned = 0;
    for (lum_pool_base* pool : pools_in_teardown_order()) returned += pool->drain_deferred();
    return returned;
}

void lum_vm::teardown_pools() {
    if (pools_torn_down_) return;
    // What the VM still holds is released while the pools exist.
    jobs.clear();
    deferred_releases.clear();
    waiting.clear();
    task_heap.clear();
    for (lumobject_update_pre* object : update_list) object->forget_update_vm();
    update_list.clear();
    for (lum_pool_base* pool : pools_in_teardown_order()) pool->drain_deferred();
    for (lum_pool_base* pool : pools_in_teardown_order()) pool->teardown();
    pools_torn_down_ = true;
}
