#include "vm/class.h"

#include <string>

#include "runtime/log.h"
#include "runtime/platform.h"
#include "runtime/thread_local.h"
#include "runtime/value_records.h"
#include "vm/context.h"
#include "vm/program_block.h"
#include "vm/runtime_error.h"
#include "vm/symbol_table.h"
#include "vm/task.h"

// ---------------------------------------------------------------------------
// Class definitions

lum_class_def::lum_class_def() = default;
lum_class_def::~lum_class_def() = default;

lum_program_block_symbol_table* lum_class_def::symbol_table() {
    if (!symbols) symbols = lumptr_strong<lum_program_block_symbol_table>(new lum_program_block_symbol_table());
    return symbols.get();
}

const lum_symbol_entry* lum_class_def::find_symbol(std::string_view member) const {
    lum_program_block_symbol_table* table = symbols.get();
    return table ? table->find(member) : nullptr;
}

bool lum_class_def::related(const lum_class_def* x, const lum_class_def* l) {
    if (x == nullptr || l == nullptr) return false;
    if (x == l) return true;
    // Walk both base chains: x derives from l, or l derives from x.
    for (const lum_class_def* c = x->base.get(); c != nullptr; c = c->base.get())
        if (c == l) return true;
    for (const lum_class_def* c = l->base.get(); c != nullptr; c = c->base.get())
        if (c == x) return true;
    return false;
}

void lum_class_def::derive(lum_class_def* derived_class, lum_class_def* base_class) {
    if (derived_class == nullptr || base_class == nullptr || derived_class == base_class) return;
    derived_class->base = base_class;
    base_class->derived.emplace_back(derived_class);
}

// ---------------------------------------------------------------------------
// Instances

namespace {

// A new function value copied from `source` and bound to `instance`.
lumvar_shared bind_method(lumvar_shared source, lum_class* instance) {
    lumvar_shared out = lumvar_shared::make();
    out->set(source);
    if (out->type == LUMVAR_FUNCTION) out->function_record()->self = instance;
    return out;
}

}  // namespace

lum_class::lum_class(lumptr_weak<lum_class_def>&& definition, std::span<lumvar_shared> initial) {
    members.reserve(initial.size());
    for (size_t i = 0; i < initial.size(); ++i) members.push_back(lumvar_shared::make());

    if (lum_class_def* def = definition.get()) creator = def->owner.lock();

    lum_thread_local& tl = lum_get_thread_local();
    if (lum_task* task = tl.current_task; task != nullptr && !task->contexts.empty()) {
        if (lum_vm_context* top = task->contexts.back(); top != nullptr && top->scope != nullptr) {
            scope = top->scope;
            scope_object = top->scope;
        }
    }

    lum_get_log().notice("lum_class created. ", static_cast<const void*>(this));

    if (!definition.expired()) {
        definition_ref = definition;
        for (size_t i = 0; i < initial.size(); ++i) std::swap(members[i], initial[i]);
    } else {
        lum_runtime_error(true, "Invalid class definition.");
    }
    definition.reset();
}

lum_class::~lum_class() {
    const lum_cancel_hold no_cancel;  // it logs, and no unwinding may leave a destructor
    lum_get_log().notice("lum_class destroyed. ", static_cast<const void*>(this));
    members.clear();
    creator.reset();
    definition_ref.reset();
    scope.reset();
}

std::string_view lum_class::class_name() const {
    const lum_class_def* def = definition_ref.get();
    return def ? std::string_view(def->name) : std::string_view();
}

void lum_class::get_member(lumvar_shared& out, std::string_view name) {
    lum_class_def* def = definition_ref.get();
    if (def == nullptr) {
        std::string msg = "invalid class def while trying to read member ";
        msg.append(name);
        lum_runtime_error(out, true, msg);
        return;
    }
    const lum_symbol_entry* entry = def->find_symbol(name);
    if (entry == nullptr) {
        std::string msg = "class '";
        msg.append(def->name).append("' does not have member ").append(name);
        lum_runtime_error(out, true, msg);
        return;
    }
    if (!entry->from_definition) {
        if (entry->member_index < members.size()) {
            out = members[entry->member_index];
        } else {
            lum_runtime_error(out, true, "out of range!");
        }
        return;
    }
    if (entry->member_index >= def->statics.size()) {
        lum_runtime_error(out, true, "out of range!");
        return;
    }
    const lumvar_shared& cell = def->statics[entry->member_index];
    if (cell && cell->type == LUMVAR_FUNCTION)
        out = bind_method(cell, this);
    else
        out = cell;
}

void lum_class::get_member_by_index(lumvar_shared& out, int64_t index, bool from_definition) {
    lum_class_def* def = definition_ref.get();
    if (from_definition) {
        if (def == nullptr || index < 0 || static_cast<uint64_t>(index) >= def->statics.size() ||
            !def->statics[static_cast<size_t>(index)]) {
            lum_runtime_error(out, true, "out of range!");
            return;
        }
        const lumvar_shared& cell = def->statics[static_cast<size_t>(index)];
        if (cell->type == LUMVAR_FUNCTION) {
            out = bind_method(cell, this);
        } else {
            lumvar_shared copy = lumvar_shared::make();
            lumvar_shared src = cell;
            copy->set(src);
            out = std::move(copy);
        }
        return;
    }
    if (index < 0 || static_cast<uint64_t>(index) >= members.size()) {
        lum_runtime_error(out, true, "out of range!");
        return;
    }
    out = members[static_cast<size_t>(index)];
}

void lum_class::finish_release() {
    for (lumvar_shared& m : members) {
        // A member cell someone else still holds (a value read from the
        // member, a method's result) keeps its value: the instance lets go of
        // it and keeps a fresh none cell for the rest of its life.
        if (m && m->refcount > 1) {
            m = lumvar_shared::make();
            continue;
        }
        if (m && m->type != LUMVAR_NONE) {
            if (m->type < LUMVAR_PRIMITIVE_END)
                m->set_type_inline(LUMVAR_NONE);
            else
                m->set_type(LUMVAR_NONE);
        }
    }
    lumptr_base_internal::destroy();
}

void lum_class::destroy() {
    if (released) return;
    released = 1;
    lum_get_log().notice("lum_class release. ", static_cast<const void*>(this));

    lum_class_def* def = definition_ref.get();
    lum_program_block* deinit = def ? def->deinit.get() : nullptr;
    if (deinit == nullptr) {
        finish_release();
        return;
    }

    // The scope to run `__deinit__` in: the creating scope while it exists,
    // else the task whose globals are being cleared when it is that scope and
    // belongs to the instance's creator.
    lum_task* run_scope = scope.get();
    if (run_scope == nullptr) {
        lum_task* second = lum_get_thread_local().second_task;
        if (second != nullptr && second == scope_object && second->program.get() == creator.get())
            run_scope = second;
    }

    lumptr_strong<lum_task> task;
    if (run_scope != nullptr) task = lum_task::create(deinit, run_scope);
    if (task && task->has_context()) {
        task->contexts.back()->self = this;
        lum_class* self = this;
        task->on_complete = [self](lumvar_shared) { self->finish_release(); };
        if (lum_task::run(task.get(), nullptr) == 0 && task->on_complete) {
            // The task did not run: nothing will call the handler.
            task->on_complete = nullptr;
            finish_release();
        }
        return;
    }

    lum_get_log().error("__deinit__ of class '", def->name,
                        "' is not called, its global scope no longer exists.");
    finish_release();
}
