#include "runtime/value.h"

#include <new>
#include <string>
#include <utility>

#include "kernel/script/buffer.h"
#include "runtime/log.h"
#include "runtime/namespace.h"
#include "runtime/object.h"
#include "runtime/value_records.h"
#include "runtime/vm.h"
#include "types/json_object.h"
#include "types/string_object.h"
#include "vm/program_block.h"
#include "vm/runtime_error.h"
#include "vm/task.h"

const char* const lumvar_type_names[LUMVAR_TYPE_NAME_COUNT] = {
    "error",        "none",
    "int",          "float",
    "primitive_end", "string",
    "binary",       "json",
    "object",       "objects_end",
    "class",        "class_def",
    "function",     "ext_function",
    "object_member_literal", "object_member_index",
    "object_member_var", "ref",
    "deckcom",      "deckcom_cmd",
};

const char* lumvar_type_name(uint32_t type) noexcept {
    return type < LUMVAR_TYPE_NAME_COUNT ? lumvar_type_names[type] : "unknown";
}

namespace {

// Types 5-7 keep a strong pointer to their object in the payload bytes.
using object_handle = lumptr_strong<lumobject_base>;
static_assert(sizeof(object_handle) == sizeof(lumvar::payload_t), "a strong pointer fits the payload");

object_handle& payload_handle(lumvar& v) { return *std::launder(reinterpret_cast<object_handle*>(&v.payload)); }
const object_handle& payload_handle(const lumvar& v) {
    return *std::launder(reinterpret_cast<const object_handle*>(&v.payload));
}
// Starts a strong pointer in a payload that holds none.
void place_handle(lumvar& v, object_handle&& h) { ::new (static_cast<void*>(&v.payload)) object_handle(std::move(h)); }

}  // namespace

// ---------------------------------------------------------------------------
// Cell life

void lumvar::init() noexcept {
    refcount = 0;
    flags = 0;
    ref_flags = 0;
    type = LUMVAR_NONE;
    payload.i = 0;
}

namespace {

// lumvar::free for every case but the common one: a negative count, a payload
// to release, a heap cell, a thread that does not own the cell's VM, or a
// cell outside the chunk tried first.
//
// A ref cell's target is released after the cell itself and in the same loop,
// so a chain of refs (each to the previous) is freed one link per turn rather
// than one stack frame per link.
[[gnu::noinline]] void free_cell_slow(lumvar* cell) {
    for (;;) {
        if (static_cast<int32_t>(cell->refcount) < 0) {
            lum_get_log().error("refcount < 0 !!!");
            return;
        }
        lumvar* next = nullptr;
        if (cell->type == LUMVAR_REF) {
            next = cell->payload.ref;
            cell->payload.i = 0;
            cell->ref_flags = 0;
            cell->type = LUMVAR_NONE;
        } else {
            cell->set_type_inline(LUMVAR_NONE);
        }
        cell->refcount = 0;
        lum_pool_delete<&lum_vm::pool_cells>(cell);
        if (next == nullptr || static_cast<int32_t>(--next->refcount) >= 1) return;
        cell = next;
    }
}

}  // namespace

namespace {
struct clear_cell_flags {
    void operator()(lumvar* cell) const noexcept {
        cell->flags = 0;
        cell->ref_flags = 0;
    }
};
}  // namespace

lumvar* lumvar::allocate() { return lum_pool_new<&lum_vm::pool_cells, clear_cell_flags>(); }

void lumvar::free_unreferenced(lumvar* cell) {
    // Inline: a pooled cell with a primitive value whose last handle goes on
    // the thread that owns the VM, back into the chunk tried first.
    const uint32_t slot = cell->pool_slot;
    if (cell->refcount == 0 && cell->type < LUMVAR_PRIMITIVE_END && slot != LUM_POOL_HEAP_SLOT) [[likely]] {
        if (lum_vm* vm = lum_owned_vm_fast()) [[likely]] {
            cell->payload.i = 0;
            cell->ref_flags = 0;
            cell->type = LUMVAR_NONE;
            if (vm->pool_cells.try_deallocate(cell, slot)) [[likely]]
                return;
        }
    }
    free_cell_slow(cell);
}

lumobject_base* lumvar::payload_object() const noexcept { return payload_handle(*this).get(); }
lum_std_string* lumvar::string_object() const noexcept { return static_cast<lum_std_string*>(payload_object()); }
lum_std_buffer* lumvar::buffer_object() const noexcept { return static_cast<lum_std_buffer*>(payload_object()); }
lum_std_json* lumvar::json_container() const noexcept { return static_cast<lum_std_json*>(payload_object()); }

// ---------------------------------------------------------------------------
// Change of type

namespace {

// Calls the release operation (slot 1) of the object behind a strong pointer.
void call_destroy(const lumptr_ref_record* record) {
    lumptr_detail::object_of<lumptr_base_internal>(record)->destroy();
}

}  // namespace

// Releases the payload of the current type (5-17). `keep` is set when the
// payload stays as it is for `new_type` (same-type records, a uniquely held
// string emptied in place).
void lumvar::release_payload_for(uint8_t new_type, bool& keep) {
    keep = false;
    switch (type) {
        case LUMVAR_STRING: {
            object_handle& h = payload_handle(*this);
            const lumptr_ref_record* r = h.record();
            if (new_type == LUMVAR_STRING && h && r->strong == 1 && r->weak == 0) {
                string_object()->text.clear();
                keep = true;
                return;
            }
            h.reset();
            return;
        }
        case LUMVAR_BINARY:
            payload_handle(*this).reset();
            return;
        case LUMVAR_JSON: {
            object_handle& h = payload_handle(*this);
            if ((flags & LUMVAR_FLAG_OWNING) && h) json_container()->clear_free();
            h.reset();
            return;
        }
        case LUMVAR_OBJECT: {
            lumvar_object_holder* holder = object_holder();
            if (holder == nullptr) return;
            if ((flags & LUMVAR_FLAG_OWNING) && holder->object) {
                lumobject_base* object = holder->object.get();
                if (object->thread_jobs != 0) {
                    // A worker still holds the object: the VM releases it once the
                    // jobs end. Without a VM only this value's reference goes; the
                    // job's own reference keeps the object alive.
                    if (lum_vm* vm = lum_get_thread_local().vm) vm->deferred_releases.push_back(holder->object);
                } else {
                    object->detach();
                    object->destroy();
                }
            }
            holder->object.reset();
            lum_pool_delete<&lum_vm::pool_object_holders>(holder);
            return;
        }
        case LUMVAR_CLASS: {
            lumvar_class_holder* holder = class_holder();
            if (holder == nullptr) return;
            if ((flags & LUMVAR_FLAG_OWNING) && holder->instance) call_destroy(holder->instance.record());
            holder->instance.reset();
            lum_pool_delete<&lum_vm::pool_class_holders>(holder);
            return;
        }
        case LUMVAR_CLASS_DEF: {
            lumvar_class_def_holder* holder = class_def_holder();
            if (holder == nullptr) return;
            holder->definition.reset();
            if (new_type == LUMVAR_CLASS_DEF) {
                keep = true;
                return;
            }
            lum_pool_delete<&lum_vm::pool_class_def_holders>(holder);
            return;
        }
        case LUMVAR_FUNCTION: {
            lumvar_function_record* r = function_record();
            if (r == nullptr) return;
            r->block.reset();
            r->self.reset();
            r->bound.reset();
            r->keep_alive.reset();
            if (new_type == LUMVAR_FUNCTION) {
                keep = true;
                return;
            }
            r->scope.reset();
            lum_pool_delete<&lum_vm::pool_functions>(r);
            return;
        }
        case LUMVAR_EXT_FUNCTION: {
            lumvar_ext_function_record* r = ext_function_record();
            if (r == nullptr) return;
            r->definition.reset();
            r->owner.reset();
            if (new_type == LUMVAR_EXT_FUNCTION) {
                keep = true;
                return;
            }
            lum_pool_delete<&lum_vm::pool_ext_functions>(r);
            return;
        }
        case LUMVAR_OBJECT_MEMBER_LITERAL: {
            lumvar_member_name_ref* r = member_name_ref();
            if (r == nullptr) return;
            r->object.reset();
            if (new_type == LUMVAR_OBJECT_MEMBER_LITERAL) {
                keep = true;
                return;
            }
            lum_pool_delete<&lum_vm::pool_member_names>(r);
            return;
        }
        case LUMVAR_OBJECT_MEMBER_INDEX: {
            lumvar_member_index_ref* r = member_index_ref();
            if (r == nullptr) return;
            r->object.reset();
            if (new_type == LUMVAR_OBJECT_MEMBER_INDEX) {
                keep = true;
                return;
            }
            lum_pool_delete<&lum_vm::pool_member_indexes>(r);
            return;
        }
        case LUMVAR_OBJECT_MEMBER_VAR: {
            lumvar_member_key_ref* r = member_key_ref();
            if (r == nullptr) return;
            r->object.reset();
            if (new_type == LUMVAR_OBJECT_MEMBER_VAR) {
                keep = true;
                return;
            }
            lum_pool_delete<&lum_vm::pool_member_keys>(r);
            return;
        }
        case LUMVAR_REF: {
            lumvar* target = payload.ref;
            payload.ref = nullptr;
            lumvar_shared::release_cell(target);
            return;
        }
        default:
            return;
    }
}

void lumvar::build_payload(uint8_t new_type) {
    switch (new_type) {
        case LUMVAR_STRING: {
            lum_std_string* s = lum_std_string::create();
            s->text.clear();
            place_handle(*this, object_handle(s));
            return;
        }
        case LUMVAR_BINARY: {
            lum_std_buffer* b = lum_std_buffer::create();
            b->bytes.clear();
            place_handle(*this, object_handle(b));
            return;
        }
        case LUMVAR_JSON: {
            lum_std_json* j = lum_std_json::create();
            j->clear();
            place_handle(*this, object_handle(j));
            return;
        }
        case LUMVAR_OBJECT:
            payload.p = lum_pool_new<&lum_vm::pool_object_holders>();
            return;
        case LUMVAR_CLASS:
            payload.p = lum_pool_new<&lum_vm::pool_class_holders>();
            return;
        case LUMVAR_CLASS_DEF:
            payload.p = lum_pool_new<&lum_vm::pool_class_def_holders>();
            return;
        case LUMVAR_FUNCTION:
            payload.p = lum_pool_new<&lum_vm::pool_functions>();
            return;
        case LUMVAR_EXT_FUNCTION:
            payload.p = lum_pool_new<&lum_vm::pool_ext_functions>();
            return;
        case LUMVAR_OBJECT_MEMBER_LITERAL:
            payload.p = lum_pool_new<&lum_vm::pool_member_names>();
            return;
        case LUMVAR_OBJECT_MEMBER_INDEX:
            payload.p = lum_pool_new<&lum_vm::pool_member_indexes>();
            return;
        case LUMVAR_OBJECT_MEMBER_VAR:
            payload.p = lum_pool_new<&lum_vm::pool_member_keys>();
            return;
        default:
            return;
    }
}

lumvar& lumvar::set_type(uint8_t new_type) {
    bool keep = false;
    if (type >= LUMVAR_STRING && type <= LUMVAR_REF) release_payload_for(new_type, keep);
    ref_flags = 0;
    if (keep) return *this;
    payload.i = 0;
    type = new_type;
    try {
        build_payload(new_type);
    } catch (...) {
        // Out of memory for the payload: the cell holds none, not a type
        // without its payload.
        type = LUMVAR_NONE;
        throw;
    }
    return *this;
}

// ---------------------------------------------------------------------------
// Assignment

namespace {

// Writes `source` through a member-reference cell into its object.
void write_through(lumvar& target, lumvar_shared& source) {
    static constexpr std::string_view gone = "Cannot set object member, doesnt exist anymore!";
    switch (target.type) {
        case LUMVAR_OBJECT_MEMBER_LITERAL: {
            lumvar_member_name_ref* r = target.member_name_ref();
            object_handle object = r->object;  // kept alive for the call
            if (!object) return runtime_warning(gone);
            const std::string name = r->name;
            object->set_member(std::string_view(name), source);
            return;
        }
        case LUMVAR_OBJECT_MEMBER_INDEX: {
            lumvar_member_index_ref* r = target.member_index_ref();
            object_handle object = r->object;
            if (!object) return runtime_warning(gone);
            if (r->by_definition)
                object->set_member_at(r->index, source);
            else
                object->set_member(r->index, source);
            return;
        }
        case LUMVAR_OBJECT_MEMBER_VAR: {
            lumvar_member_key_ref* r = target.member_key_ref();
            object_handle object = r->object.lock();
            if (!object) return runtime_warning(gone);
            object->set_member(lumvar_shared(r->key), source);
            return;
        }
        default:
            return;
    }
}

}  // namespace

void lumvar::set(lumvar_shared& source) {
    if (!source || source.get() == this) return;
    if (source->is_member_reference()) {
        lumvar_shared value;
        source->deref(value);
        source = std::move(value);
        if (!source || source.get() == this) return;
    }
    if (is_member_reference()) {
        write_through(*this, source);
        return;
    }
    lumvar& src = *source;
    switch (src.type) {
        case LUMVAR_ERR:
        case LUMVAR_NONE:
        case LUMVAR_INT:
        case LUMVAR_FLOAT:
            set_type_inline(src.type);
            payload.i = src.payload.i;
            return;
        case LUMVAR_STRING: {
            if (type != LUMVAR_STRING || string_object() == nullptr) set_type(LUMVAR_STRING);
            lum_std_string* s = src.string_object();
            lum_std_string* t = string_object();
            if (t == nullptr) return;
            if (s == nullptr)
                t->text.clear();
            else if (s != t)
                t->text = s->text;
            return;
        }
        case LUMVAR_BINARY: {
            lum_std_buffer* s = src.buffer_object();
            // A buffer that a running launch writes is not read; the target stays as it was.
            if (s != nullptr && s->write_locks != 0) {
                lum_runtime_error(true, lum_buffer_in_use_message);
                return;
            }
            if (type != LUMVAR_BINARY || buffer_object() == nullptr) set_type(LUMVAR_BINARY);
            lum_std_buffer* t = buffer_object();
            // A launch keeps the target's old buffer; the value gets a new one.
            if (t != nullptr && t != s && (t->read_locks != 0 || t->write_locks != 0)) {
                set_type(LUMVAR_BINARY);
                t = buffer_object();
            }
            if (t == nullptr || t == s) return;
            if (s == nullptr)
                t->bytes.clear();
            else
                t->bytes = s->bytes;
            return;
        }
        case LUMVAR_JSON: {
            object_handle shared = payload_handle(src);
            if (!shared) {
                // The source's container is gone: the target gets an empty one.
                set_type(LUMVAR_JSON);
                return;
            }
            if (type != LUMVAR_JSON) {
                set_type(LUMVAR_NONE);
                type = LUMVAR_JSON;
                place_handle(*this, std::move(shared));
                return;
            }
            payload_handle(*this) = std::move(shared);
            return;
        }
        case LUMVAR_OBJECT: {
            lumvar_object_holder* sh = src.object_holder();
            object_handle object;
            if (sh != nullptr && sh->object) object = (src.flags & LUMVAR_FLAG_SHARED) ? sh->object : sh->object->copy();
            if (type != LUMVAR_OBJECT) set_type(LUMVAR_OBJECT);
            lumvar_object_holder* th = object_holder();
            if (th != nullptr && th->object.get() != object.get()) th->object = std::move(object);
            return;
        }
        case LUMVAR_CLASS: {
            lumvar_class_holder* sh = src.class_holder();
            lumptr_strong<lum_class> instance;
            if (sh != nullptr && sh->instance) instance = sh->instance;
            if (type != LUMVAR_CLASS) set_type(LUMVAR_CLASS);
            if (lumvar_class_holder* th = class_holder()) th->instance = std::move(instance);
            return;
        }
        case LUMVAR_CLASS_DEF: {
            lumptr_weak<lum_class_def> definition;
            if (lumvar_class_def_holder* sh = src.class_def_holder()) definition = sh->definition;
            if (type != LUMVAR_CLASS_DEF) set_type(LUMVAR_CLASS_DEF);
            if (lumvar_class_def_holder* th = class_def_holder()) th->definition = std::move(definition);
            return;
        }
        case LUMVAR_FUNCTION: {
            lumvar_function_record* s = src.function_record();
            if (s == nullptr) return;
            lumptr_weak<lum_program_block> block = s->block;
            lumptr_weak<lum_class> self = s->self;
            lumptr_weak<lum_task> scope = s->scope.expired() ? lum_current_root_scope() : s->scope;
            lumptr_strong<lumvar_ptr_function_lambda> bound;
            if (s->bound) bound = s->bound;
            if (type != LUMVAR_FUNCTION) set_type(LUMVAR_FUNCTION);
            lumvar_function_record* t = function_record();
            if (t == nullptr) return;
            t->block = std::move(block);
            t->self = std::move(self);
            t->scope = std::move(scope);
            t->bound = std::move(bound);
            t->keep_alive.reset();
            return;
        }
        case LUMVAR_EXT_FUNCTION: {
            lumvar_ext_function_record* s = src.ext_function_record();
            if (s == nullptr) return;
            lumptr_weak<lum_function_def> definition = s->definition;
            object_handle owner;
            if (s->owner) owner = s->owner;
            if (type != LUMVAR_EXT_FUNCTION) set_type(LUMVAR_EXT_FUNCTION);
            lumvar_ext_function_record* t = ext_function_record();
            if (t == nullptr) return;
            t->definition = std::move(definition);
            t->owner = std::move(owner);
            return;
        }
        case LUMVAR_REF: {
            lumvar* target = src.payload.ref;
            if (target != nullptr) ++target->refcount;  // taken before the old target goes
            if (type != LUMVAR_REF) set_type(LUMVAR_REF);
            lumvar* old = payload.ref;
            payload.ref = target;
            lumvar_shared::release_cell(old);
            return;
        }
        default:
            runtime_warning("set() not implemented for var type: " + std::to_string(src.type));
            return;
    }
}

void lumvar::set_ref(lumvar* target) {
    if (target == nullptr) {
        set_type_inline(LUMVAR_NONE);
        return;
    }
    if ((target->ref_flags & LUMVAR_REF_FLAG_COPY) && !is_member_reference()) {
        lumvar_shared value;
        target->deref(value);
        set(value);
        return;
    }
    ++target->refcount;  // taken before the previous target goes
    if (type != LUMVAR_REF) set_type(LUMVAR_REF);
    lumvar* old = payload.ref;
    payload.ref = target;
    lumvar_shared::release_cell(old);
}

void lumvar::set_string(std::string_view text) {
    if (type != LUMVAR_STRING || string_object() == nullptr) set_type(LUMVAR_STRING);
    if (lum_std_string* s = string_object()) s->text.assign(text.data(), text.size());
}

void lumvar::set_function(lum_program_block* block, lum_task* scope) {
    if (block == nullptr) return;
    lumptr_weak<lum_task> scope_ref = scope != nullptr ? lumptr_weak<lum_task>(scope) : lum_current_context_scope();
    if (scope_ref.expired()) scope_ref.reset();
    if (type != LUMVAR_FUNCTION) set_type(LUMVAR_FUNCTION);
    lumvar_function_record* r = function_record();
    if (r == nullptr) return;
    r->block = lumptr_weak<lum_program_block>(block);
    r->scope = std::move(scope_ref);
    r->self.reset();
    r->bound.reset();
    r->keep_alive.reset();
}

void lumvar::set_ext_function(lum_function_def* definition, lumobject_base* owner) {
    if (type != LUMVAR_EXT_FUNCTION) set_type(LUMVAR_EXT_FUNCTION);
    lumvar_ext_function_record* r = ext_function_record();
    if (r == nullptr) return;
    r->definition = lumptr_weak<lum_function_def>(definition);
    r->owner = object_handle(owner);
}

lumvar& lumvar::set_json(bool clear) {
    if (type != LUMVAR_JSON || json_container() == nullptr) {
        set_type(LUMVAR_JSON);
    } else if (clear) {
        json_container()->clear();
    }
    return *this;
}

lum_std_json* lumvar::json_object(bool clear) { return set_json(clear).json_container(); }

void lumvar::resolve(lumvar_shared& out) {
    if (type < LUMVAR_OBJECT_MEMBER_LITERAL) {
        out = lumvar_shared(this);
        return;
    }
    deref(out);
}

lumobject_base* lumvar::object_raw() {
    switch (type) {
        case LUMVAR_STRING:
        case LUMVAR_BINARY:
        case LUMVAR_JSON:
            return payload_object();
        case LUMVAR_OBJECT: {
            lumvar_object_holder* h = object_holder();
            lumobject_base* object = h != nullptr ? h->object.get() : nullptr;
            if (object == nullptr) set_type(LUMVAR_NONE);
            return object;
        }
        default:
            return nullptr;
    }
}

// ---------------------------------------------------------------------------
// Handles


lumvar_shared lumvar_shared::make_typed(uint8_t type) {
    lumvar_shared v = make();
    v->set_type_inline(type);
    return v;
}

lumvar_shared lumvar_shared::from_int(int64_t value) {
    lumvar_shared v = make();
    v->set_int(value);
    return v;
}

lumvar_shared lumvar_shared::from_float(double value) {
    lumvar_shared v = make();
    v->set_float(value);
    return v;
}

lumvar_shared lumvar_shared::from_string(std::string_view text) {
    lumvar_shared v = make();
    v->set_string(text);
    return v;
}

lumvar_shared lumvar_shared::from_bytes(std::span<const uint8_t> bytes) {
    lumvar_shared v = make_typed(LUMVAR_BINARY);
    if (lum_std_buffer* b = v->buffer_object()) b->bytes.assign(bytes.begin(), bytes.end());
    return v;
}
