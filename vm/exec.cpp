#include "vm/exec.h"

#include "vm/program_block.h"
#include "vm/runtime_error.h"

void lum_raise(lum_vm_context& ctx, std::string_view message) {
    lum_runtime_error(true, message);
    ctx.status = LUM_STATUS_ERROR;
}

void lum_raise_into(lum_vm_context& ctx, lumvar_shared& place, std::string_view message) {
    lumvar_shared none = lum_runtime_error(true, message);
    ctx.status = LUM_STATUS_ERROR;
    place = std::move(none);
}

std::string lum_text_of(lumvar* v) {
    if (v == nullptr) return {};
    return v->to_std_string();
}

bool lum_enter_block(lum_vm_context& ctx, lum_program_block* block, lum_task* scope, lum_class* self) {
    lum_vm_context* entered = lum_vm_context::make(ctx.task, scope, block, self);
    if (entered == nullptr) {
        lum_raise(ctx, "Failed to allocate a pool chunk!");
        return false;
    }
    ctx.task->contexts.push_back(entered);
    ctx.status = LUM_STATUS_CALL;
    return true;
}

lum_task* lum_call_scope(lum_vm_context& ctx, lum_task* scope_task) {
    if (scope_task != nullptr) return scope_task->root();
    return ctx.scope;
}
