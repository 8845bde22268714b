#pragma once
// Inline context creation for the hot paths.
//
// Every script call and block entry makes a context, so the interpreter makes
// them with these inline forms; lum_vm_context::make and ::init
// (vm/context.cpp) are the same code behind a call.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/ptr.h"
#include "runtime/thread_local.h"
#include "runtime/value.h"
#include "runtime/vm.h"
#include "vm/context.h"
#include "vm/program_block.h"
#include "vm/status.h"
#include "vm/task.h"

// Grows a record's slots to `wanted` fresh none cells (the rare part of
// initialisation: a pooled record usually has its cells already).
void lum_vm_context_grow_slots(std::vector<lumvar_shared>& slots, size_t wanted);

// lum_vm_context::init without self, with `argc` arguments (the hot paths
// set self from a handle they already hold).
[[gnu::always_inline]] inline void lum_vm_context_init_fields(lum_vm_context& c, lum_task* t, lum_task* s,
                                                              lum_program_block* b, uint32_t argc) {
    c.task = t;
    c.scope = s;
    c.block = b;
    // A reused record starts like a fresh one: no position, no native call,
    // no saved resume point.
    c.ip = nullptr;
    c.native_object = nullptr;
    c.resume_offset = 0;
    c.pushed = 0;
    c.argc = argc;
    c.status = LUM_STATUS_RUNNING;
    c.default_value = 0;
    c.resumable = 0;
    c.operator_mode = 0;
    if (t != nullptr) [[likely]] {
        c.call_record_mark = static_cast<uint32_t>(t->pending_calls.size());
        c.pending_context_mark = static_cast<uint32_t>(t->pending_contexts.size());
        c.frame_mark = t->frame_depth;
    } else {
        c.call_record_mark = 0;
        c.pending_context_mark = 0;
        c.frame_mark = 0;
    }
    const size_t wanted = b != nullptr ? b->num_slots : 0;
    if (c.slots.size() < wanted) [[unlikely]]
        lum_vm_context_grow_slots(c.slots, wanted);
}

// lum_vm_context::init.
[[gnu::always_inline]] inline void lum_vm_context_init_inline(lum_vm_context& c, lum_task* t, lum_task* s,
                                                              lum_program_block* b, lum_class* self_object) {
    lum_vm_context_init_fields(c, t, s, b, 0);
    if (self_object != nullptr) c.self = lumptr_weak<lum_class>(self_object);
    else if (c.self.record() != &lumptr_null_record) c.self.reset();  // released records have none
}

// lum_vm_context::make: a record of the task's record stack (a task that the
// calling thread may change: it owns the VM lock, or there is no VM), else a
// pooled (else heap) record, with reference count 1, initialised; null only
// when no record can be had.
[[gnu::always_inline]] inline lum_vm_context* lum_vm_context_make_inline(lum_task* t, lum_task* s,
                                                                         lum_program_block* b,
                                                                         lum_class* self_object) {
    lum_vm_context* ctx = nullptr;
    if (t != nullptr) {
        const lum_thread_local& tl = lum_get_thread_local();
        if (tl.vm == nullptr || tl.vm->lock.owner.load(std::memory_order_relaxed) == tl.thread_id) {
            ctx = t->records.take();
            if (ctx != nullptr) {
                lum_vm_context_init_inline(*ctx, t, s, b, self_object);
                return ctx;
            }
        }
    }
    ctx = lum_pool_new<&lum_vm::pool_contexts>();
    if (ctx == nullptr) return nullptr;
    ctx->ref_count = 1;
    lum_vm_context_init_inline(*ctx, t, s, b, self_object);
    return ctx;
}

// The scope a call of a function value runs in: the root of the function's
// scope task while it lives, else the calling context's scope (as
// lum_call_scope, with the usual one-level root inline).
[[gnu::always_inline]] inline lum_task* lum_call_scope_inline(lum_vm_context& ctx, lum_task* scope_task) {
    if (scope_task == nullptr) return ctx.scope;
    return scope_task->global_scope ? scope_task->root() : scope_task;
}

// Flags 0, reference flags 0 and type none in one store (the pool slot byte
// that follows them is kept).
[[gnu::always_inline]] inline void lum_reset_primitive_header(lumvar* cell) {
    static_assert(offsetof(lumvar, ref_flags) == offsetof(lumvar, flags) + 1 &&
                  offsetof(lumvar, type) == offsetof(lumvar, flags) + 2);
    const uint16_t zero = 0;
    std::memcpy(&cell->flags, &zero, sizeof zero);
    cell->type = LUMVAR_NONE;
}

// Resets a cell in place to none: payload released, flag bytes cleared.
inline void lum_reset_cell_in_place(lumvar* cell) {
    cell->set_type_inline(LUMVAR_NONE);
    cell->flags = 0;
    cell->ref_flags = 0;
}

// The other cases of the reset below: a missing cell gets a fresh one; a
// cell held only here that holds more than a number is reset in place; a
// cell held elsewhere too keeps its value for its other holders (a global
// variable, in a top-level block, is cleared for all) and the slot gets a
// fresh cell.
template <class Fresh>
[[gnu::always_inline]] inline void lum_vm_context_reset_slot(lumvar_shared& slot, const lum_program_block* block,
                                                             Fresh& fresh) {
    lumvar* cell = slot.get();
    if (cell == nullptr) {
        slot = fresh();
    } else if (cell->refcount == 1) {
        lum_reset_cell_in_place(cell);
    } else {
        if (block->is_top_level()) lum_reset_cell_in_place(cell);
        slot = fresh();
    }
}

// Steps 2 and 3 of lum_vm_context::release for a record whose count fell to
// 0: the block's local cells are reset (in place when held only here; shared
// cells are replaced by `fresh()` cells, and reset in place first in a
// top-level block), self is dropped and the run fields are cleared. The
// keep-alive reference is left for the caller, who drops it after the record
// is back in its pool.
//
// lum_vm_context_reset_cells is the part that matters to the next user of the
// record (cells and self); the run fields it leaves are written by every
// initialisation.
template <class Fresh>
[[gnu::always_inline]] inline void lum_vm_context_reset_cells(lum_vm_context* ctx, Fresh&& fresh) {
    const lum_program_block* block = ctx->block;
    if (block != nullptr) {
        const size_t count = std::min<size_t>(ctx->slots.size(), block->num_slots);
        lumvar_shared* const first = ctx->slots.data();
        // Last slot first, as the values were always released.
        for (lumvar_shared* slot = first + count; slot != first;) {
            --slot;
            lumvar* cell = slot->get();
            // The common case, a number or none held only here: written in
            // place (the flag and type bytes in one store).
            if (cell != nullptr && cell->refcount == 1 && cell->type < LUMVAR_PRIMITIVE_END) [[likely]] {
                lum_reset_primitive_header(cell);
                cell->payload.i = 0;
                continue;
            }
            lum_vm_context_reset_slot(*slot, block, fresh);
        }
    }
    if (ctx->self.record() != &lumptr_null_record) ctx->self.reset();
}
template <class Fresh>
[[gnu::always_inline]] inline void lum_vm_context_reset_record(lum_vm_context* ctx, Fresh&& fresh) {
    lum_vm_context_reset_cells(ctx, fresh);
    ctx->task = nullptr;
    ctx->scope = nullptr;
    ctx->native_object = nullptr;
    ctx->ip = nullptr;
}

// lum_vm_context::release for a record of a task's record stack whose count
// falls to 0: the cells are reset as for a pooled record, the run fields that
// may point elsewhere are cleared and the record is free at its position
// again. The count stays 1 while the cells are reset (so the stack never
// hands out a record still being reset); the keep-alive reference is left
// for the caller, who drops it last.
template <class Fresh>
[[gnu::always_inline]] inline void lum_vm_context_free_stacked(lum_vm_context* ctx, Fresh&& fresh) {
    lum_vm_context_reset_cells(ctx, fresh);
    ctx->native_object = nullptr;
    ctx->ip = nullptr;
    ctx->ref_count = 0;
    ctx->home->give_back(ctx);
}

// Step 4 of lum_vm_context::release: a heap record is deleted; a pooled one
// goes back to the pool of `vm`, which the calling thread owns (no VM: the
// record stays in its chunk).
[[gnu::always_inline]] inline void lum_vm_context_return_record(lum_vm_context* ctx, lum_vm* vm) {
    if (ctx->pool_slot == LUM_POOL_HEAP_SLOT) delete ctx;
    else if (vm != nullptr) vm->pool_contexts.deallocate(ctx);
}
