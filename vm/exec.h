#pragma once
// Helpers shared by the interpreter's opcode handlers: value-stack access,
// in-place number results, operand resolution, aborting errors and block
// entry.

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/value.h"
#include "vm/context.h"
#include "vm/status.h"
#include "vm/task.h"

class lum_program_block;
class lum_class;

// Makes sure the value stack has at least `n` elements (malformed code must
// not reach below the stack); missing elements are fresh none cells.
inline void lum_stack_ensure(lum_task& task, size_t n) {
    while (task.stack.size() < n) task.stack.push_back(lumvar_shared::make());
}

// The value-stack top (a fresh none is pushed when the stack is empty).
inline lumvar_shared& lum_stack_top(lum_task& task) {
    if (task.stack.empty()) task.stack.push_back(lumvar_shared::make());
    return task.stack.back();
}

// Pops the top, keeping the context's pushed count.
inline void lum_stack_pop(lum_vm_context& ctx) {
    if (!ctx.task->stack.empty()) ctx.task->stack.pop_back();
    --ctx.pushed;
}

// Takes the top out of the stack and pops it (pushed count -1).
inline lumvar_shared lum_stack_take(lum_vm_context& ctx) {
    lum_task& task = *ctx.task;
    lum_stack_ensure(task, 1);
    lumvar_shared out = std::move(task.stack.back());
    task.stack.pop_back();
    --ctx.pushed;
    return out;
}

// Integer or float into a place: the place's cell is reused when only the
// place holds it and it holds a primitive value, else a fresh cell is taken.
inline void lum_set_int(lumvar_shared& place, int64_t v) {
    lumvar* c = place.get();
    if (c != nullptr && c->refcount == 1 && c->type < LUMVAR_PRIMITIVE_END) {
        if (c->ref_flags != 0) c->ref_flags = 0;
        if (c->type != LUMVAR_INT) c->type = LUMVAR_INT;
        c->payload.i = v;
    } else {
        place = lumvar_shared::from_int(v);
    }
}
inline void lum_set_float(lumvar_shared& place, double v) {
    lumvar* c = place.get();
    if (c != nullptr && c->refcount == 1 && c->type < LUMVAR_PRIMITIVE_END) {
        if (c->ref_flags != 0) c->ref_flags = 0;
        if (c->type != LUMVAR_FLOAT) c->type = LUMVAR_FLOAT;
        c->payload.f = v;
    } else {
        place = lumvar_shared::from_float(v);
    }
}

// The value an operand stands for: the cell itself below type 14, else its
// dereferenced value, held in `hold`. Never null.
inline lumvar* lum_resolved(const lumvar_shared& h, lumvar_shared& hold) {
    lumvar* c = h.get();
    if (c != nullptr && c->type < LUMVAR_OBJECT_MEMBER_LITERAL) return c;
    if (c != nullptr) c->deref(hold);
    if (!hold) hold = lumvar_shared::make();
    return hold.get();
}
// As lum_resolved, returning a handle.
inline lumvar_shared lum_resolve_handle(const lumvar_shared& h) {
    lumvar* c = h.get();
    if (c != nullptr && c->type < LUMVAR_OBJECT_MEMBER_LITERAL) return h;
    lumvar_shared out;
    if (c != nullptr) c->deref(out);
    if (!out) out = lumvar_shared::make();
    return out;
}

// Wrapping integer arithmetic (two's complement, no undefined behaviour).
inline int64_t lum_wrap_add(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b)); }
inline int64_t lum_wrap_sub(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b)); }
inline int64_t lum_wrap_mul(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b)); }
inline int64_t lum_wrap_neg(int64_t a) { return static_cast<int64_t>(0 - static_cast<uint64_t>(a)); }

// Raises an aborting run-time error from an opcode: the message becomes the
// task's error value (or is reported) and the context's status becomes 128.
void lum_raise(lum_vm_context& ctx, std::string_view message);
// As lum_raise; the place then holds a fresh none.
void lum_raise_into(lum_vm_context& ctx, lumvar_shared& place, std::string_view message);

// The text form of a value, as messages show it.
std::string lum_text_of(lumvar* v);

// Pushes a new context for `block` onto the task's context stack and sets the
// entering context's status to 16. False (and an error) when no context can
// be made.
bool lum_enter_block(lum_vm_context& ctx, lum_program_block* block, lum_task* scope, lum_class* self);

// The scope a call runs in: the root of `scope_task` while it lives, else the
// calling context's scope.
lum_task* lum_call_scope(lum_vm_context& ctx, lum_task* scope_task);
