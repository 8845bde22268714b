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
// with a block; the interpreter starts pending contexts without testing
// that again): the context waits among the task's pending contexts (no call
// record).
[[gnu::always_inline]] inline void lum_push_script_call(lum_task& task, lum_vm_context* callee) {
    task.pending_contexts.push_back(callee);
}

// Whether the newest prepared call is a script call: a context prepared
// after the newest native call record (or without any).
[[gnu::always_inline]] inline bool lum_script_call_pending(const lum_task& task) {
    const size_t below = task.pending_calls.empty() ? 0 : task.pending_calls.back().contexts_below;
    return task.pending_contexts.size() > below;
}

// Opcode 45's common case: a number or none (`v`) stored into a slot of the
// newest prepared call, a script call, that holds one, not passed by
// reference. The copy is the payload: the same result as
// lum_store_script_argument, without a handle copy. False when the case does
// not apply (nothing is written then).
[[gnu::always_inline]] inline bool lum_store_primitive_argument(lum_task& task, uint32_t index, const lumvar* v) {
    if (v == nullptr || v->type >= LUMVAR_PRIMITIVE_END || !lum_script_call_pending(task)) return false;
    lum_vm_context* callee = task.pending_contexts.back();
    if (index >= callee->slots.size()) return false;
    lumvar* slot = callee->slots[index].get();
    const lum_program_block* block = callee->block;
    if (slot->type >= LUMVAR_PRIMITIVE_END || (block->slot_flag(index) & LUM_SLOT_BY_REF)) return false;
    slot->ref_flags = 0;
    slot->type = v->type;
    slot->payload = v->payload;
    return true;
}
