#include "vm/calls.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "runtime/bad_function_call.h"
#include "runtime/namespace.h"
#include "runtime/object.h"
#include "runtime/thread_unwind.h"
#include "runtime/value_records.h"
#include "types/json_object.h"
#include "vm/call_record.h"
#include "vm/calls_inline.h"
#include "vm/class.h"
#include "vm/exec.h"
#include "vm/opcode.h"
#include "vm/operators.h"
#include "vm/program_block.h"
#include "vm/runtime_error.h"
#include "vm/symbol_table.h"

namespace {

lum_class* live_instance(lumvar* v) {
    if (v == nullptr || v->type != LUMVAR_CLASS || v->class_holder() == nullptr) return nullptr;
    return v->class_holder()->instance.get();
}

bool is_number(const lumvar* v) { return v->type == LUMVAR_INT || v->type == LUMVAR_FLOAT; }

bool has_no_members(const lumvar* v) {
    return v->type == LUMVAR_INT || v->type == LUMVAR_FLOAT || v->type == LUMVAR_FUNCTION ||
           v->type == LUMVAR_EXT_FUNCTION;
}

std::string no_member_message(const lumvar* v, std::string_view member) {
    std::string msg = "type '";
    msg += lumvar_type_name(v->type);
    msg += "' has no member '";
    msg.append(member);
    msg += "'";
    return msg;
}

std::string private_message(std::string_view member, std::string_view class_name) {
    std::string msg = "member '";
    msg.append(member).append("' of class '").append(class_name).append("' is private");
    return msg;
}

// A class instance value holding `instance`.
lumvar_shared instance_value(lum_class* instance) {
    lumvar_shared v = lumvar_shared::make();
    v->set_type(LUMVAR_CLASS);
    if (lumvar_class_holder* h = v->class_holder()) h->instance = instance;
    return v;
}

// ---- argument stores (opcode 45) ----

}  // namespace

void lum_store_script_argument(lum_task& task, uint32_t index, lumvar_shared& value) {
    if (task.pending_contexts.empty()) return;
    lum_vm_context* callee = task.pending_contexts.back();
    if (index >= callee->slots.size()) {
        lum_runtime_error(true, "index out of range!");
        return;
    }
    const lum_program_block* block = callee->block;
    if (block->slot_flag(index) & LUM_SLOT_BY_REF) {
        callee->slots[index]->set_ref(value.get());
    } else if (lumvar* slot = callee->slots[index].get();
               value->type < LUMVAR_PRIMITIVE_END && slot->type < LUMVAR_PRIMITIVE_END) {
        // A number (or none) into a slot holding one: the copy is the payload.
        slot->ref_flags = 0;
        slot->type = value->type;
        slot->payload = value->payload;
    } else {
        lumvar_shared v = value;
        callee->slots[index]->set(v);
    }
}

void lum_store_native_argument(lum_task&, lum_call_record& record, uint32_t index, lumvar_shared& value) {
    auto* args = reinterpret_cast<std::vector<lumvar_shared>*>(static_cast<uintptr_t>(record.target));
    if (index >= args->size()) {
        lum_runtime_error(true, "index out of range!");
        return;
    }
    lum_function_def* def = record.definition.get();
    if (def != nullptr && (def->flags & LUM_FUNCTION_RESOLVE_ARGS))
        (*args)[index] = lum_resolve_handle(value);
    else
        (*args)[index] = value;
}

namespace {

// ---- prepare (opcode 44) ----

void prepare_script_call(lum_vm_context& ctx, lumvar_function_record* fn, lum_program_block* block, uint32_t argc) {
    lum_task& task = *ctx.task;
    const uint32_t params = block->num_params;
    const uint32_t bound = block->num_bound;
    const uint32_t first_default = block->first_default;
    if (argc > params || (first_default != LUM_NO_DEFAULT && argc != 0 && argc < first_default)) {
        lum_raise(ctx, "invalid argument count: num_params=" + std::to_string(argc) +
                           ", fn_num_params=" + std::to_string(params) +
                           ", fn_default_args=" + std::to_string(first_default));
        return;
    }
    lum_task* scope = lum_call_scope(ctx, fn->scope.get());
    lum_vm_context* callee = lum_vm_context::make(&task, scope, block, fn->self.get());
    if (callee == nullptr) {
        lum_raise(ctx, "Failed to allocate a pool chunk!");
        return;
    }
    if (fn->keep_alive.record() != &lumptr_null_record) callee->keep_alive = std::move(fn->keep_alive);
    callee->argc = argc;
    lum_push_script_call(task, callee);
    if (bound != 0 && fn->bound && fn->bound->values.size() == bound) {
        for (uint32_t i = 0; i < bound; ++i) {
            const size_t slot = static_cast<size_t>(params) + i;
            if (slot >= callee->slots.size() || !fn->bound->values[i]) continue;
            lumvar_shared v = fn->bound->values[i];
            callee->slots[slot]->set(v);
        }
    }
}

void prepare_native_call(lum_vm_context& ctx, lumvar_ext_function_record* fn, lum_function_def* def, uint32_t argc) {
    lum_task& task = *ctx.task;
    if (argc < def->min_args || argc > def->max_args) {
        lum_raise(ctx, "invalid parameter count " + std::to_string(argc) + " min: " + std::to_string(def->min_args) +
                           " max: " + std::to_string(def->max_args));
        return;
    }
    lum_open_frame(task, argc);
    lum_call_record record;
    record.target = reinterpret_cast<uintptr_t>(lum_current_frame(task));
    record.definition = def;
    record.owner = fn->owner;
    record.store = &lum_store_native_argument;
    record.native = 1;
    record.contexts_below = static_cast<uint32_t>(task.pending_contexts.size());
    task.pending_calls.push_back(std::move(record));
}

}  // namespace

// ---------------------------------------------------------------------------
// Native calls and argument frames

lumvar_shared lum_call_native(lum_function_def* definition, lum_vm_context& ctx, std::vector<lumvar_shared>& args) {
    lumvar_shared result;
    try {
        if (!definition->callable) throw lum_bad_function_call();
        result = definition->callable(ctx, args);
    } catch (const lum_thread_unwind&) {
        // The thread is cancelled or ends inside the native function.
        throw;
    } catch (const std::exception& e) {
        lum_runtime_error_native_exception(result, definition->name, e.what());
        ctx.status = LUM_STATUS_ERROR;
    } catch (...) {
        lum_runtime_error_other_native(result, definition->name);
        ctx.status = LUM_STATUS_ERROR;
    }
    if (!result) result = lumvar_shared::make();
    return result;
}

void lum_open_frame(lum_task& task, uint32_t size) {
    ++task.frame_depth;
    while (task.frames.size() < task.frame_depth) task.frames.push_back(std::make_unique<lum_argument_frame>());
    std::vector<lumvar_shared>& values = task.frames[task.frame_depth - 1]->values;
    // Added slots hold none until the arguments are stored, so a native never
    // sees a missing value.
    const size_t old = values.size();
    values.resize(size);
    for (size_t i = old; i < values.size(); ++i) values[i] = lumvar_shared::make();
}

std::vector<lumvar_shared>* lum_current_frame(lum_task& task) {
    if (task.frame_depth == 0 || task.frame_depth > task.frames.size()) return nullptr;
    return &task.frames[task.frame_depth - 1]->values;
}

void lum_frame_call(lum_vm_context& ctx, lum_function_def* definition) {
    lum_task& task = *ctx.task;
    std::vector<lumvar_shared>* frame = lum_current_frame(task);
    if (frame == nullptr) {
        lum_raise(ctx, "index out of range!");
        return;
    }
    if (definition == nullptr || definition->method) {
        lum_raise_into(ctx, lum_stack_top(task), "invalid object pointer!");
    } else {
        lumvar_shared result = lum_call_native(definition, ctx, *frame);
        lum_stack_top(task) = std::move(result);
    }
    if (task.frame_depth > 0) --task.frame_depth;
}

void lum_clear_next_frame(lum_task& task) {
    const size_t index = static_cast<size_t>(task.frame_depth) + 1;
    if (index < task.frames.size()) task.frames[index]->values.clear();
}

// ---------------------------------------------------------------------------
// Two-phase calls

void lum_prepare_call(lum_vm_context& ctx, uint32_t argc) {
    lum_task& task = *ctx.task;
    // The common case, a script function value on top, without a handle copy
    // (the top stays on the stack while the call is prepared).
    if (lumvar* top = lum_stack_top(task).get(); top != nullptr && top->type == LUMVAR_FUNCTION) {
        lumvar_function_record* fn = top->function_record();
        if (lum_program_block* block = fn != nullptr ? fn->block.get() : nullptr) {
            prepare_script_call(ctx, fn, block, argc);
            return;
        }
    }
    lumvar_shared callee = lum_resolve_handle(lum_stack_top(task));
    lumvar* c = callee.get();
    if (c->type == LUMVAR_CLASS_DEF) {
        lum_class_def* def = c->class_def_holder() ? c->class_def_holder()->definition.get() : nullptr;
        if (def == nullptr) {
            lum_raise(ctx, "not a function!");
            return;
        }
        if (!def->abstract_methods.empty()) {
            lum_raise(ctx, "Cannot create an instance of '" + def->name + "': abstract method '" +
                               def->abstract_methods.front() +
                               "' is not implemented (implement it in a derived class).");
            return;
        }
        lum_program_block* block = def->constructor.get();
        if (block == nullptr) block = def->body.get();
        if (block == nullptr) {
            lum_raise(ctx, "not a function!");
            return;
        }
        callee = lumvar_shared::make();
        callee->set_function(block, ctx.scope);
        c = callee.get();
    }
    if (c->type == LUMVAR_FUNCTION) {
        lumvar_function_record* fn = c->function_record();
        if (lum_program_block* block = fn ? fn->block.get() : nullptr) {
            prepare_script_call(ctx, fn, block, argc);
            return;
        }
    } else if (c->type == LUMVAR_EXT_FUNCTION) {
        lumvar_ext_function_record* fn = c->ext_function_record();
        if (lum_function_def* def = fn ? fn->definition.get() : nullptr) {
            prepare_native_call(ctx, fn, def, argc);
            return;
        }
    }
    lum_raise(ctx, "not a function!");
}

void lum_store_argument(lum_vm_context& ctx, uint32_t index) {
    lum_task& task = *ctx.task;
    if (lum_script_call_pending(task)) {
        lumvar_shared& top = lum_stack_top(task);
        if (lum_store_primitive_argument(task, index, top.get())) return;
        lumvar_shared value = top;
        lum_store_script_argument(task, index, value);
        return;
    }
    if (task.pending_calls.empty()) {
        lum_raise(ctx, "index out of range!");
        return;
    }
    lumvar_shared& top = lum_stack_top(task);
    lum_call_record& record = task.pending_calls.back();
    lumvar_shared value = top;
    record.store(task, record, index, value);
}

void lum_start_call(lum_vm_context& ctx) {
    lum_task& task = *ctx.task;
    if (lum_script_call_pending(task)) {
        lum_vm_context* callee = task.pending_contexts.back();
        task.pending_contexts.pop_back();
        task.contexts.push_back(callee);
        ctx.status = LUM_STATUS_CALL;
        return;
    }
    if (task.pending_calls.empty()) {
        lum_raise(ctx, "not a function!");
        return;
    }
    lum_call_record record = std::move(task.pending_calls.back());
    task.pending_calls.pop_back();
    lum_function_def* def = record.definition.get();
    lumobject_base* owner = record.owner.get();
    ctx.native_object = owner;
    auto* args = reinterpret_cast<std::vector<lumvar_shared>*>(static_cast<uintptr_t>(record.target));
    if (def == nullptr || (owner == nullptr && def->method)) {
        lum_raise_into(ctx, lum_stack_top(task), "invalid object pointer!");
    } else {
        lumvar_shared result = lum_call_native(def, ctx, *args);
        lum_stack_top(task) = std::move(result);
    }
    ctx.native_object = nullptr;
    if (task.frame_depth > 0) --task.frame_depth;
}

// ---------------------------------------------------------------------------
// Members and indexing

bool lum_class_uses_item_operator(lum_class* instance, lumvar* key, unsigned op) {
    lum_class_def* def = instance ? instance->definition() : nullptr;
    if (def == nullptr || !def->has_operator(op)) return false;
    if (is_number(key)) return true;
    return def->find_symbol(key->string_view_value()) == nullptr;
}

bool lum_index_get(lum_vm_context& ctx, lumvar* c, lumvar* k, const lum_class_def* accessing, bool vivify,
                   lumvar_shared& out) {
    if (!vivify && has_no_members(c)) {
        lum_raise_into(ctx, out, no_member_message(c, lum_text_of(k)));
        return false;
    }
    if (c->type == LUMVAR_CLASS && !is_number(k)) {
        if (lum_class* inst = live_instance(c)) {
            lum_class_def* def = inst->definition();
            const std::string key = lum_text_of(k);
            const lum_symbol_entry* entry = def ? def->find_symbol(key) : nullptr;
            if (entry != nullptr && entry->is_private && !lum_class_def::related(accessing, def)) {
                lum_raise_into(ctx, out, private_message(key, def->name));
                return false;
            }
        }
    }
    if (is_number(k)) {
        const int64_t index = k->int_value();
        lumvar_shared result;
        c->get_member_by_index(result, index);
        if (!result) {
            lum_raise_into(ctx, out, "Index out of range!");
            return false;
        }
        out = std::move(result);
        return true;
    }
    lumvar_shared result;
    if (k->type == LUMVAR_STRING) {
        c->get_member_by_name(result, k->string_view_value());
    } else {
        const std::string key = lum_text_of(k);
        c->get_member_by_name(result, key);
    }
    if (!result) result = lumvar_shared::make();
    out = std::move(result);
    return true;
}

void lum_member_by_name(lum_vm_context& ctx, const uint8_t* insn) {
    lum_task& task = *ctx.task;
    lum_program_block* block = ctx.block;
    const std::string_view name = block->string_at(lum_read_operand<uint32_t>(insn, lum_mem::NAME));
    const uint32_t cache_index = lum_read_operand<uint32_t>(insn, lum_mem::CACHE);
    lum_member_cache_entry scratch;
    lum_member_cache_entry& entry = cache_index < block->member_cache.size() ? block->member_cache[cache_index] : scratch;
    const auto* accessing =
        reinterpret_cast<const lum_class_def*>(static_cast<uintptr_t>(lum_read_operand<uint64_t>(insn, lum_mem::CLASS)));
    const bool vivify = insn[lum_mem::VIVIFY] != 0;

    lum_stack_ensure(task, 1);
    lumvar_shared v = lum_resolve_handle(task.stack.back());
    lumvar* vc = v.get();

    // A json container that has the member: the site's entry is filled as
    // for any object below, then the member's cell is the one the lookup by
    // name below finds (without its other steps).
    if (vc->type == LUMVAR_JSON) {
        lum_std_json* j = vc->json_container();
        lumobject_base* object = j;  // what object_raw() gives for a json value
        if (j != nullptr && object != nullptr) {
            const uint64_t tag = object->type_tag;
            if (entry.object_type_key != tag) {
                entry.object_type_key = tag;
                entry.class_key = 0;
                entry.from_definition = 0;
                const int64_t found = object->find_member_index(name);
                entry.index = found < 0 || found > INT32_MAX ? -1 : static_cast<int32_t>(found);
            }
            if (entry.index == -1) {
                uint32_t scratch_slot = 0;
                uint32_t& slot = cache_index < block->json_key_slot.size() ? block->json_key_slot[cache_index] : scratch_slot;
                if (lumvar* cell = j->find_key_at(name, slot)) {
                    task.stack.back() = lumvar_shared(cell);
                    return;
                }
            }
        }
    }

    if (vc->type == LUMVAR_CLASS) {
        if (lum_class* inst = live_instance(vc)) {
            lum_class_def* def = inst->definition();
            if (def == nullptr) {
                lumvar_shared member;
                inst->get_member(member, name);
                task.stack.back() = member ? member : lumvar_shared::make();
                return;
            }
            int64_t index;
            bool from_definition;
            if (entry.class_key == reinterpret_cast<uintptr_t>(def)) {
                index = entry.index;
                from_definition = entry.from_definition != 0;
            } else {
                const lum_symbol_entry* symbol = def->find_symbol(name);
                if (symbol == nullptr) {
                    if (def->has_operator(LUM_OPERATOR_GETITEM)) {
                        lum_call_class_operator(ctx, vc, LUM_OPERATOR_GETITEM, lumvar_shared::from_string(name),
                                                LUM_OPMODE_RESULT, lumvar_shared());
                        return;
                    }
                    std::string msg = "class '";
                    msg.append(def->name).append("' does not have member '").append(name).append("'");
                    lum_raise_into(ctx, task.stack.back(), msg);
                    return;
                }
                if (symbol->is_private && !lum_class_def::related(accessing, def)) {
                    lum_raise_into(ctx, task.stack.back(), private_message(name, def->name));
                    return;
                }
                entry.class_key = reinterpret_cast<uintptr_t>(def);
                entry.object_type_key = 0;
                entry.index = static_cast<int32_t>(symbol->member_index);
                entry.from_definition = symbol->from_definition;
                index = entry.index;
                from_definition = symbol->from_definition != 0;
            }
            lumvar_shared member;
            inst->get_member_by_index(member, index, from_definition);
            if (!member) member = lumvar_shared::make();
            // A method of a temporary instance keeps the instance alive until
            // a call moves the reference into the called context.
            if (from_definition && member->type == LUMVAR_FUNCTION && task.stack.back().get() == vc &&
                vc->refcount == 2 && inst->ref_record != nullptr && inst->ref_record->strong == 1) {
                member->function_record()->keep_alive = inst;
            }
            task.stack.back() = std::move(member);
            return;
        }
    }

    if (!vivify && has_no_members(vc)) {
        lum_raise_into(ctx, task.stack.back(), no_member_message(vc, name));
        return;
    }
    if (vc->type < LUMVAR_STRING || vc->type > LUMVAR_OBJECT) vc->set_json(true);

    lumvar_shared member;
    lumptr_strong<lumobject_base> object(vc->object_raw());
    if (object) {
        const uint64_t tag = object->type_tag;
        if (entry.object_type_key == tag) {
            if (entry.index != -1) object->get_member_at(member, entry.index);
        } else {
            entry.object_type_key = tag;
            entry.class_key = 0;
            entry.from_definition = 0;
            const int64_t found = object->find_member_index(name);
            entry.index = found < 0 || found > INT32_MAX ? -1 : static_cast<int32_t>(found);
            if (entry.index != -1) object->get_member_at(member, entry.index);
        }
    } else {
        std::string msg = "variable is not a valid object anymore, cannot get member '";
        msg.append(name).append("'!");
        lum_raise(ctx, msg);
        vc->set_json(true);
    }
    if (!member) vc->get_member_by_name(member, name);
    task.stack.back() = member ? std::move(member) : lumvar_shared::make();
}

void lum_index_op(lum_vm_context& ctx, const uint8_t* insn) {
    lum_task& task = *ctx.task;
    const uint8_t mode = insn[lum_idx::MODE];
    const auto* accessing =
        reinterpret_cast<const lum_class_def*>(static_cast<uintptr_t>(lum_read_operand<uint64_t>(insn, lum_idx::CLASS)));
    const bool vivify = insn[lum_idx::VIVIFY] != 0;

    lumvar_shared key = lum_resolve_handle(lum_stack_take(ctx));
    lum_stack_ensure(task, 1);
    if (mode == 0) {
        task.stack.back() = std::move(key);
        return;
    }
    lumvar_shared container = lum_resolve_handle(task.stack.back());
    if (lum_class* inst = live_instance(container.get());
        inst != nullptr && lum_class_uses_item_operator(inst, key.get(), LUM_OPERATOR_GETITEM)) {
        lum_call_class_operator(ctx, container.get(), LUM_OPERATOR_GETITEM, key, LUM_OPMODE_RESULT, lumvar_shared());
        return;
    }
    lumvar_shared out;
    lum_index_get(ctx, container.get(), key.get(), accessing, vivify, out);
    task.stack.back() = out ? std::move(out) : lumvar_shared::make();
}

void lum_member_if_present(lum_vm_context& ctx, std::string_view name) {
    lum_task& task = *ctx.task;
    lum_stack_ensure(task, 1);
    lumvar_shared v = lum_resolve_handle(task.stack.back());
    if (v->has_member(name)) {
        lumvar_shared member;
        v->get_member_by_name(member, name);
        task.stack.back() = member ? std::move(member) : lumvar_shared::make();
    } else {
        lum_set_int(task.stack.back(), 0);
    }
}

void lum_safe_index(lum_vm_context& ctx) {
    lum_task& task = *ctx.task;
    lumvar_shared key = lum_resolve_handle(lum_stack_take(ctx));
    lum_stack_ensure(task, 1);
    lumvar_shared container = lum_resolve_handle(task.stack.back());
    lumvar* c = container.get();
    lumvar* k = key.get();
    lumvar_shared result;
    if (is_number(k)) {
        lum_std_json* json = c->type == LUMVAR_JSON ? c->json_container() : nullptr;
        if (json != nullptr) {
            int64_t i = k->type == LUMVAR_INT ? k->payload.i : k->int_value();
            const int64_t count = static_cast<int64_t>(json->entries.size());
            if (i < 0) i += count;
            if (i >= 0 && i < count) result = json->at(i);
        }
    } else {
        std::string text;
        std::string_view name;
        if (k->type == LUMVAR_STRING) {
            name = k->string_view_value();
        } else {
            text = lum_text_of(k);
            name = text;
        }
        if (c->has_member(name)) c->get_member_by_name(result, name);
    }
    if (result)
        task.stack.back() = std::move(result);
    else
        lum_set_int(task.stack.back(), 0);
}

void lum_append(lum_vm_context& ctx) {
    lum_task& task = *ctx.task;
    lumvar_shared value = lum_stack_take(ctx);
    lum_stack_ensure(task, 1);
    lumvar_shared container = lum_resolve_handle(task.stack.back());
    if (!value || !container) {
        lum_raise(ctx, "invalid variable.");
        return;
    }
    lum_std_json* json = container->json_object(false);
    if (json == nullptr) {
        lum_raise(ctx, "invalid variable.");
        return;
    }
    lumvar_shared& cell = json->emplace_back();
    cell->set(value);
}

void lum_index_set(lum_vm_context& ctx, const lum_class_def* accessing) {
    lum_task& task = *ctx.task;
    lumvar_shared value = lum_stack_take(ctx);
    lumvar_shared key = lum_resolve_handle(lum_stack_take(ctx));
    lum_stack_ensure(task, 1);
    lumvar_shared container = lum_resolve_handle(task.stack.back());
    if (lum_class* inst = live_instance(container.get());
        inst != nullptr && lum_class_uses_item_operator(inst, key.get(), LUM_OPERATOR_SETITEM)) {
        lum_call_class_operator(ctx, container.get(), LUM_OPERATOR_SETITEM, key, LUM_OPMODE_RESULT, value);
        return;
    }
    lumvar_shared target;
    const bool ok = lum_index_get(ctx, container.get(), key.get(), accessing, true, target);
    task.stack.back() = target ? target : lumvar_shared::make();
    if (!ok) return;
    if (!value || !target) {
        lum_raise(ctx, "invalid variable.");
        return;
    }
    target->set(value);
}

void lum_index_get_keep(lum_vm_context& ctx, const lum_class_def* accessing) {
    lum_task& task = *ctx.task;
    lum_stack_ensure(task, 2);
    const size_t n = task.stack.size();
    lumvar_shared key = lum_resolve_handle(task.stack[n - 1]);
    lumvar_shared container = lum_resolve_handle(task.stack[n - 2]);
    task.stack.push_back(lumvar_shared::make());
    ++ctx.pushed;
    if (lum_class* inst = live_instance(container.get());
        inst != nullptr && lum_class_uses_item_operator(inst, key.get(), LUM_OPERATOR_GETITEM)) {
        lum_call_class_operator(ctx, container.get(), LUM_OPERATOR_GETITEM, key, LUM_OPMODE_RESULT, lumvar_shared());
        return;
    }
    lumvar_shared out;
    lum_index_get(ctx, container.get(), key.get(), accessing, true, out);
    task.stack.back() = out ? std::move(out) : lumvar_shared::make();
}

// ---------------------------------------------------------------------------
// Class instances

void lum_self_value(lum_vm_context& ctx) {
    lum_class* self = ctx.self.get();
    if (self == nullptr) {
        lum_raise(ctx, "object not valid.");
        return;
    }
    lum_stack_top(*ctx.task) = instance_value(self);
}

void lum_self_member(lum_vm_context& ctx, uint32_t index, bool from_definition) {
    lum_class* self = ctx.self.get();
    if (self == nullptr) {
        lum_raise(ctx, "class not valid.");
        return;
    }
    lumvar_shared member;
    self->get_member_by_index(member, index, from_definition);
    lum_stack_top(*ctx.task) = member ? std::move(member) : lumvar_shared::make();
}

void lum_new_instance(lum_vm_context& ctx) {
    lum_program_block* block = ctx.block;
    const size_t count = std::min<size_t>(block->num_slots, ctx.slots.size());
    lumptr_weak<lum_class_def> def = block->class_def;
    lumptr_strong<lum_class> instance(new lum_class(std::move(def), std::span<lumvar_shared>(ctx.slots.data(), count)));
    lum_stack_top(*ctx.task) = instance_value(instance.get());
}
