#pragma once
// Inline forms of the common steps of a script call, shared by the
// interpreter's fast paths and the out-of-line call code (vm/calls.cpp,
// vm/fused.cpp), so that both do exactly the same.

#include <cstdint>

#include "runtime/value.h"
#include "vm/call_record.h"
#include "vm/calls.h"
#include "vm/context.h"
#include "vm/program_block.h"
#include "vm/task.h"

// The prepared script call of `callee` (an initialised context of `task`
// running `block`): the context waits among the task's pending contexts and
// a script call record names the block (a script record holds no handles, so
// it is built in place).
[[gnu::always_inline]] inline void lum_push_script_call(lum_task& task, lum_vm_context* callee,
                                                       lum_program_block* block) {
    task.pending_contexts.push_back(callee);
    lum_call_record& record = task.pending_calls.emplace_back();
    record.target = reinterpret_cast<uintptr_t>(block);
    record.store = &lum_store_script_argument;
    record.native = 0;
}

// Opcode 45's common case: a number or none (`v`) stored into a slot of the
// newest pending script callee that holds one, not passed by reference. The
// copy is the payload: the same result as lum_store_script_argument, without
// a handle copy or an indirect call. False when the case does not apply
// (nothing is written then).
[[gnu::always_inline]] inline bool lum_store_primitive_argument(lum_task& task, const lum_call_record& record,
                                                               uint32_t index, const lumvar* v) {
    if (record.store != &lum_store_script_argument || task.pending_contexts.empty() || v == nullptr ||
        v->type >= LUMVAR_PRIMITIVE_END)
        return false;
    lum_vm_context* callee = task.pending_contexts.back();
    if (index >= callee->slots.size()) return false;
    lumvar* slot = callee->slots[index].get();
    const auto* block = reinterpret_cast<const lum_program_block*>(static_cast<uintptr_t>(record.target));
    if (slot->type >= LUMVAR_PRIMITIVE_END || (block->slot_flag(index) & LUM_SLOT_BY_REF)) return false;
    slot->ref_flags = 0;
    slot->type = v->type;
    slot->payload = v->payload;
    return true;
}
