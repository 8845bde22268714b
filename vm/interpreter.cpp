// Every opcode handler ends in its own table jump (threaded dispatch). The
// optimiser must not merge them into one shared jump, which defeats branch
// prediction; the setting covers the whole unit (headers included) so that
// inlining across it is not blocked by differing options.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-gcse", "no-crossjumping", "no-store-merging")
#endif

#include "vm/interpreter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "runtime/log.h"
#include "runtime/value_records.h"
#include "vm/call_record.h"
#include "vm/calls.h"
#include "vm/calls_inline.h"
#include "vm/class.h"
#include "vm/context.h"
#include "vm/context_inline.h"
#include "vm/exec.h"
#include "vm/fused.h"
#include "vm/fused_inline.h"
#include "vm/opcode.h"
#include "vm/operators.h"
#include "vm/program_block.h"
#include "vm/task.h"
#include "types/json_object.h"
#include "types/string_object.h"

namespace {

// Reference flags 0 and type int in one store (a cell about to hold an
// integer payload; its flags byte is kept).
[[gnu::always_inline]] inline void set_int_header(lumvar* c) {
    static_assert(offsetof(lumvar, type) == offsetof(lumvar, ref_flags) + 1);
    const uint8_t header[2] = {0, LUMVAR_INT};
    std::memcpy(&c->ref_flags, header, sizeof header);
}

[[gnu::noinline]] void invalid_instruction(lum_vm_context& ctx, unsigned op) {
    lum_raise(ctx, "invalid instruction: " + std::to_string(op));
}

[[gnu::noinline]] void no_global_scope(lum_vm_context& ctx) {
    lum_raise(ctx, "No global scope!");
    lum_task* root = ctx.scope != nullptr ? ctx.scope->root() : ctx.task->root();
    lum_log_base& log = lum_get_log();
    const size_t root_contexts = root != nullptr ? root->contexts.size() : 0;
    const void* first = root != nullptr && !root->contexts.empty() ? static_cast<const void*>(root->contexts.front())
                                                                   : nullptr;
    log.error("No global scope: ", root_contexts, " : ", first);
    log.error("Addr: ", static_cast<const void*>(root));
    log.error("Blocks: ", ctx.task->contexts.size());
    log.error("Name: ", root != nullptr ? root->name : std::string());
}

lum_vm_context* global_context(lum_vm_context& ctx) {
    lum_task* scope = ctx.scope != nullptr ? ctx.scope : ctx.task;
    if (scope == nullptr) return nullptr;
    // The scope is normally the root itself (lum_task::global_context walks
    // the global-scope links).
    if (scope->global_scope) return scope->global_context();
    return scope->contexts.empty() ? nullptr : scope->contexts.front();
}

lum_vm_context* context_at_level(lum_vm_context& ctx, uint32_t level) {
    const std::vector<lum_vm_context*>& stack = ctx.task->contexts;
    if (level >= stack.size()) return nullptr;
    return stack[stack.size() - 1 - level];
}

// The place a load (opcodes 2 to 7) reads: a local or static slot of the
// running context, of the context at a level or of the global context; null
// when the operand is outside the tables or there is no such context
// (`no_global` is set for the global loads without a global context).
const lumvar_shared* load_place_of(lum_vm_context& ctx, const uint8_t* ip, bool& no_global) {
    const uint8_t op = *ip;
    lum_vm_context* holder;
    uint32_t slot = lum_read_operand<uint32_t>(ip, lum_operand::B);
    switch (op) {
    case LUM_OP_LD_UP:
    case LUM_OP_LD_UPS:
        holder = context_at_level(ctx, slot);
        slot = lum_read_operand<uint32_t>(ip, lum_operand::C);
        break;
    case LUM_OP_LD_G:
    case LUM_OP_LD_GS:
        holder = global_context(ctx);
        no_global = holder == nullptr;
        break;
    default:
        holder = &ctx;
        break;
    }
    if (holder == nullptr) return nullptr;
    if (op == LUM_OP_LD_S || op == LUM_OP_LD_UPS || op == LUM_OP_LD_GS) {
        const std::vector<lumvar_shared>& statics = holder->block->statics;
        return slot < statics.size() && statics[slot] ? &statics[slot] : nullptr;
    }
    return slot < holder->slots.size() ? &holder->slots[slot] : nullptr;
}

// A copy of `source` in a new cell.
[[gnu::noinline]] lumvar_shared fresh_copy(const lumvar_shared& source) {
    lumvar_shared out = lumvar_shared::make();
    lumvar_shared src = source;
    if (src) out->set(src);
    return out;
}

[[gnu::noinline]] void bind_argument(lum_vm_context& ctx, uint8_t self_flag, bool by_ref) {
    lum_task& task = *ctx.task;
    lum_stack_ensure(task, 2);
    lumvar_shared fn = lum_resolve_handle(task.stack[task.stack.size() - 2]);
    if (fn->type != LUMVAR_FUNCTION || fn->function_record() == nullptr) return;
    lumvar_function_record* rec = fn->function_record();
    if (self_flag != 0) {
        rec->self = ctx.self;
        return;
    }
    if (!rec->bound) rec->bound = lumptr_strong<lumvar_ptr_function_lambda>(new lumvar_ptr_function_lambda());
    lumvar_shared value;
    if (by_ref) {
        value = lumvar_shared::make();
        value->set_ref(task.stack.back().get());
    } else {
        value = fresh_copy(task.stack.back());
    }
    rec->bound->values.push_back(std::move(value));
}

// Assignment (opcode 20). A string value that nothing else holds gives its
// text to a string target instead of having it copied: the result is the
// same as the copy, the temporary then goes away.
[[gnu::noinline]] void assign_value(lumvar* target, lumvar_shared& value) {
    lumvar* v = value.get();
    if (v != target && v->type == LUMVAR_STRING && v->refcount == 1 && target->type == LUMVAR_STRING) {
        lum_std_string* to = target->string_object();
        lum_std_string* from = v->string_object();
        const lumptr_ref_record* rec = to != nullptr ? to->ref_record : nullptr;
        if (from != nullptr && to != nullptr && to != from && rec != nullptr && rec->strong == 1 && rec->weak == 0) {
            to->text.swap(from->text);
            return;
        }
    }
    target->set(value);
}

[[gnu::noinline]] void make_ref(lum_task& task) {
    lumvar_shared& top = lum_stack_top(task);
    lumvar_shared target = top;
    if (target->type == LUMVAR_REF) {
        lumvar_shared resolved;
        target->deref(resolved);
        if (resolved) target = std::move(resolved);
    }
    lumvar_shared ref = lumvar_shared::make();
    ref->set_ref(target.get());
    task.stack.back() = std::move(ref);
}

[[gnu::noinline]] bool truth_of_top(lum_task& task) {
    lumvar_shared hold;
    lumvar* v = lum_resolved(lum_stack_top(task), hold);
    return !v->compare_zero();
}

// Opcodes 37 (truth) and 22 (not): the top becomes 1 when its truth is
// `truth_is_one`, else 0.
[[gnu::noinline]] void set_truth_of_top(lum_task& task, bool truth_is_one) {
    const bool truth = truth_of_top(task);
    lum_set_int(task.stack.back(), truth == truth_is_one ? 1 : 0);
}

[[gnu::noinline]] void set_self_from_top(lum_vm_context& ctx) {
    lumvar_shared v = lum_resolve_handle(lum_stack_top(*ctx.task));
    if (v->type == LUMVAR_CLASS && v->class_holder() != nullptr) ctx.self = v->class_holder()->instance.get();
}

// Opcode 48: the default value of parameter `param`. Returns the number of
// bytes to advance (0: stay while the default block runs).
[[gnu::noinline]] unsigned default_value(lum_vm_context& ctx, uint32_t param) {
    if (param < ctx.argc) return 2;
    lum_program_block* block = ctx.block;
    if (ctx.default_value == 0) {
        if (block->first_default == LUM_NO_DEFAULT || param < block->first_default) return 2;
        const size_t child = param - block->first_default;
        if (child >= block->children.size() || !block->children[child]) {
            invalid_instruction(ctx, LUM_OP_DEFAULT);
            return 0;
        }
        if (!lum_enter_block(ctx, block->children[child].get(), ctx.scope, ctx.self.get())) return 0;
        ctx.default_value = 1;
        return 0;
    }
    ctx.default_value = 0;
    if (param < ctx.slots.size()) {
        lumvar_shared v = lum_stack_top(*ctx.task);
        ctx.slots[param]->set(v);
    }
    return 2;
}

[[gnu::noinline]] void enter_catch(lum_vm_context& ctx, uint32_t child) {
    lum_task& task = *ctx.task;
    if (!task.caught_error) return;
    lum_program_block* block = ctx.block;
    if (child >= block->children.size() || !block->children[child]) {
        invalid_instruction(ctx, LUM_OP_CATCH);
        return;
    }
    task.caught_error = 0;
    lum_program_block* catch_block = block->children[child].get();
    if (!lum_enter_block(ctx, catch_block, ctx.scope, ctx.self.get())) return;
    lum_vm_context* entered = task.contexts.back();
    if (catch_block->num_params == 1 && !entered->slots.empty()) {
        lumvar_shared error = task.error ? task.error : lumvar_shared::make();
        entered->slots[0]->set(error);
    }
    task.error = lumvar_shared::make();
}

[[gnu::noinline]] void enter_child(lum_vm_context& ctx, uint32_t child) {
    lum_program_block* block = ctx.block;
    if (child >= block->children.size() || !block->children[child]) {
        invalid_instruction(ctx, LUM_OP_ENTER);
        return;
    }
    lum_enter_block(ctx, block->children[child].get(), ctx.scope, ctx.self.get());
}

[[gnu::noinline]] void enter_linked(lum_vm_context& ctx) {
    if (lum_program_block* linked = ctx.block->linked.get()) lum_enter_block(ctx, linked, ctx.scope, nullptr);
}

// Cells of popped values that only the stack held, kept for the next push of
// this run instead of going back to the pool (a popped cell held by nobody
// else is indistinguishable from a fresh one once reset to none).
class cell_stash {
public:
    cell_stash() = default;
    cell_stash(const cell_stash&) = delete;
    cell_stash& operator=(const cell_stash&) = delete;
    ~cell_stash() {
        while (count_ != 0) slot(--count_).~lumvar_shared();
    }
    [[gnu::always_inline]] void pop(std::vector<lumvar_shared>& stack) {
        keep(stack.back());
        stack.pop_back();
    }
    [[gnu::always_inline]] lumvar_shared take() {
        if (count_ == 0) return lumvar_shared::make();
        lumvar_shared& h = slot(--count_);
        lumvar_shared out = std::move(h);
        h.~lumvar_shared();
        return out;
    }
    // Before `place` is overwritten: keeps its cell when only the place holds
    // it and it holds a primitive value.
    [[gnu::always_inline]] void recycle(lumvar_shared& place) { keep(place); }

private:
    [[gnu::always_inline]] void keep(lumvar_shared& place) {
        lumvar* c = place.get();
        if (c != nullptr && c->refcount == 1 && c->type < LUMVAR_PRIMITIVE_END && count_ < capacity) {
            reset(c);
            new (&slot(count_++)) lumvar_shared(std::move(place));
        }
    }
    // Back to the fresh state.
    [[gnu::always_inline]] static void reset(lumvar* c) {
        lum_reset_primitive_header(c);
        c->payload.i = 0;
    }
    [[gnu::always_inline]] lumvar_shared& slot(unsigned i) { return *std::launder(reinterpret_cast<lumvar_shared*>(storage_ + i * sizeof(lumvar_shared))); }

    static constexpr unsigned capacity = 8;
    // Handles are constructed only for the cells kept, so an unused stash
    // costs nothing to make and to drop.
    alignas(lumvar_shared) unsigned char storage_[capacity * sizeof(lumvar_shared)];
    unsigned count_ = 0;
};

// A context for a call made in this run with `argc` arguments: the record at
// the top of the task's record stack (else one from the pool or the heap);
// initialised with reference count 1, its self set by `set_self` from a
// handle the caller already holds (no record lookup). The record has no self
// before: a new one never had one and a release drops it. Null only when no
// record can be had.
template <class SetSelf>
[[gnu::always_inline]] inline lum_vm_context* new_call_context(lum_task& t, lum_task* s, lum_program_block* b,
                                                              uint32_t argc, SetSelf&& set_self) {
    lum_vm_context* c = t.records.take();
    if (c == nullptr) [[unlikely]] {
        c = lum_pool_new<&lum_vm::pool_contexts>();
        if (c == nullptr) return nullptr;
        c->ref_count = 1;
    }
    lum_vm_context_init_fields(*c, &t, s, b, argc);
    set_self(*c);
    return c;
}

// The first code position from which an instruction could run past the end
// of the code, so that the dispatch tests its size. Instructions starting
// more than 32 bytes before the end always fit (none is longer but 72, which
// tests its own size); each of the last 32 bytes is tested as an opcode byte,
// so any jump target is covered.
[[gnu::noinline]] const uint8_t* find_safe_end(lum_program_block& block) {
    const uint8_t* code = block.code_begin();
    const size_t size = block.code.size();
    size_t safe = size;
    for (size_t p = size > 32 ? size - 32 : 0; p < size; ++p) {
        const uint8_t op = code[p];
        if (op != LUM_OP_FEXPR && lum_opcode_size_table[op] > size - p) {
            safe = p;
            break;
        }
    }
    block.safe_code = code;
    block.safe_code_size = static_cast<uint32_t>(size);
    block.safe_length = static_cast<uint32_t>(safe);
    return code + safe;
}
[[gnu::always_inline]] inline const uint8_t* safe_end_of(lum_program_block& block, const uint8_t* code,
                                                         const uint8_t* end) {
    if (block.safe_code == code && static_cast<size_t>(end - code) == block.safe_code_size) [[likely]]
        return code + block.safe_length;
    return find_safe_end(block);
}

constexpr bool replaces_top(uint8_t op) {
    return (op >= LUM_OP_LD_L && op <= LUM_OP_LD_GS) || op == LUM_OP_FN || op == LUM_OP_LDEXT ||
           op == LUM_OP_LDK || op == LUM_OP_NONE;
}

// The value-stack top; a fresh none is pushed when the stack is empty (as
// lum_stack_top, with the push out of line).
[[gnu::noinline]] lumvar_shared& push_fresh(std::vector<lumvar_shared>& stack) {
    stack.push_back(lumvar_shared::make());
    return stack.back();
}
[[gnu::always_inline]] inline lumvar_shared& top_of(std::vector<lumvar_shared>& stack) {
    return stack.empty() ? push_fresh(stack) : stack.back();
}

// The top becomes a fresh cell filled by `fill` (function values, json).
template <class Fill>
void top_becomes_fresh(std::vector<lumvar_shared>& stack, Fill&& fill) {
    lumvar_shared cell = lumvar_shared::make();
    fill(*cell);
    top_of(stack) = std::move(cell);
}

// The truth of a value for the conditional jumps, with the common cases inline.
[[gnu::always_inline]] inline bool truth_fast(lum_task& task) {
    const lumvar* v = task.stack.empty() ? nullptr : task.stack.back().get();
    if (v != nullptr) {
        if (v->type == LUMVAR_INT) return v->payload.i != 0;
        if (v->type == LUMVAR_NONE) return false;
        if (v->type == LUMVAR_FLOAT) return !(v->payload.f == 0.0);
    }
    return truth_of_top(task);
}

// The cold halves of the fused stores (opcode 72's specialised forms).
// The top gets a fresh cell from the stash (pushed when the stack is empty).
[[gnu::noinline]] lumvar* fused_fresh_top(std::vector<lumvar_shared>& stack, cell_stash& stash) {
    if (stack.empty()) stack.push_back(stash.take());
    else stack.back() = stash.take();
    return stack.back().get();
}
// The top becomes `cell`'s handle (a number cell only the top held is kept).
[[gnu::noinline]] void fused_top_becomes(std::vector<lumvar_shared>& stack, cell_stash& stash,
                                         const lumvar_shared& cell) {
    if (stack.empty()) stack.emplace_back();
    lumvar_shared& top = stack.back();
    if (top.get() == cell.get()) return;
    if (top && top->refcount == 1) stash.recycle(top);
    top = cell;
}

// The function a site's member-cache entry names for the class instance on
// top, when the entry names that instance's class as a definition member
// (`instance` is set to it then); null otherwise. A temporary instance (held
// only by this top) gets null too: the generic path keeps it alive through
// the call.
[[gnu::always_inline]] inline lumvar_function_record* cached_method_of(const lumvar* top,
                                                                        const lum_program_block* block,
                                                                        uint32_t cache_index,
                                                                        lum_class*& instance) {
    if (top == nullptr || top->type != LUMVAR_CLASS || top->class_holder() == nullptr) return nullptr;
    lum_class* inst = top->class_holder()->instance.get();
    lum_class_def* def = inst != nullptr ? inst->definition() : nullptr;
    if (def == nullptr || cache_index >= block->member_cache.size()) return nullptr;
    const lum_member_cache_entry& entry = block->member_cache[cache_index];
    const lumptr_ref_record* rec = inst->ref_record;
    const bool temporary = top->refcount == 1 && rec != nullptr && rec->strong == 1;
    if (entry.class_key != reinterpret_cast<uintptr_t>(def) || !entry.from_definition || temporary ||
        entry.index < 0 || static_cast<uint64_t>(entry.index) >= def->statics.size())
        return nullptr;
    const lumvar* cell = def->statics[static_cast<size_t>(entry.index)].get();
    if (cell == nullptr || cell->type != LUMVAR_FUNCTION) return nullptr;
    instance = inst;
    return cell->function_record();
}

// Task continuation's settings for a chained run (see lum_interpret_task).
struct chain_settings {
    size_t base;     // contexts at the bottom that are never popped (1 under a top-level block)
    uint32_t limit;  // maximum call depth, 0 = none
};

}  // namespace

// Flattened: the small helpers of the handlers (handle copies, stack access,
// in-place number writes) are inlined into each handler.
//
// With `chain` null this is one run of one context (lum_interpret). With
// `chain` set, the statuses that task continuation would only answer by
// running the next context (a call or block entry, a return from a function
// body, the end of a block whose caller waits) are answered here: the context
// stack is updated exactly as task continuation does it and the run goes on
// in the new top context without leaving the loop. Everything else (limits,
// epilogues, loops, errors, suspension, the stop flag) goes back to task
// continuation. Calls still push contexts and save resume offsets; nothing
// recurses.
[[gnu::noinline]] __attribute__((flatten)) static uint32_t interpret_core(lum_program_block* block,
                                                                          lum_vm_context* context,
                                                                          const chain_settings* chain) {
    lum_vm_context* ctx = context;
    const uint8_t* code = block->code_begin();
    const uint8_t* end = block->code_end();
    // Instructions starting before safe_end fit in the code (see find_safe_end).
    const uint8_t* safe_end = safe_end_of(*block, code, end);
    lum_task& task = *ctx->task;
    cell_stash stash;
    // The local slots never change size while the context runs.
    const lumvar_shared* slots = ctx->slots.data();
    size_t slot_count = ctx->slots.size();
    std::vector<lumvar_shared>& stack = task.stack;
    const uint8_t* ip;
    // The decoded fused expression that opcode 72 runs (its specialised
    // forms are labels of this function, reached only from opcode 72).
    const lum_fexpr_plan* plan = nullptr;
    // The chain's bounds for the whole run: a call goes on in this run while
    // the context stack holds at most `call_depth_max` contexts, a return
    // while it holds more than `return_floor` (the base, and always a
    // caller). Without a chain neither holds.
    const size_t call_depth_max =
        chain == nullptr ? 0 : chain->limit == 0 ? SIZE_MAX : static_cast<size_t>(chain->limit);
    const size_t return_floor = chain == nullptr ? SIZE_MAX : std::max<size_t>(chain->base, 1);

enter:
    ctx->resumable = 1;
    ctx->status = LUM_STATUS_RUNNING;
    ctx->native_object = nullptr;
    ip = code + ctx->resume_offset;
    if (ip > end) ip = end;
    ctx->ip = ip;

    // The dispatch table: op_invalid for 0, one label per opcode from the
    // opcode list itself (an opcode listed in vm/opcode.h without a handler
    // here fails to compile: "label 'op_N' used but not defined"), then
    // op_invalid for every byte past the list. The table is 256 entries
    // longer than needed so that it covers every byte whatever the list's
    // length; entries past 255 are never read.
#define LUM_INVALID_8 &&op_invalid, &&op_invalid, &&op_invalid, &&op_invalid, &&op_invalid, &&op_invalid, &&op_invalid, &&op_invalid
#define LUM_INVALID_64 LUM_INVALID_8, LUM_INVALID_8, LUM_INVALID_8, LUM_INVALID_8, LUM_INVALID_8, LUM_INVALID_8, LUM_INVALID_8, LUM_INVALID_8
#define LUM_LABEL(name, number, size) &&op_##number,
    static const void* const labels[] = {
        &&op_invalid, LUM_OPCODES(LUM_LABEL) LUM_INVALID_64, LUM_INVALID_64, LUM_INVALID_64, LUM_INVALID_64,
    };
#undef LUM_LABEL
#undef LUM_INVALID_64
#undef LUM_INVALID_8
    static_assert(sizeof(labels) / sizeof(labels[0]) == 1 + LUM_OPCODE_MAX + 256);

    // Every handler moves ip itself; while a handler runs, ip points at its
    // opcode byte (handlers shared by two opcodes read it there).
    //
    // The context's ip must hold the instruction's first byte whenever
    // something can look at it: anything the instruction calls (natives,
    // value operations, errors and warnings, destructors of released
    // values). Every handler stores it first, except the fast paths that
    // call nothing (loads of locals and integers, push, integer arithmetic,
    // comparisons, increments, jumps, the fused expressions), which store it
    // only before they leave their fast path.
    //
    // NEXT stops on a status; NEXT_FAST is for handlers that cannot change
    // the status.
#define LUM_NEXT_FAST()                                                                         \
    do {                                                                                        \
        if (__builtin_expect(ip >= safe_end, 0)) goto boundary;                                  \
        goto* labels[*ip];                                                                      \
    } while (0)
#define LUM_NEXT()                                                    \
    do {                                                              \
        if (__builtin_expect(ctx->status != LUM_STATUS_RUNNING, 0))   \
            goto finish;                                              \
        LUM_NEXT_FAST();                                              \
    } while (0)
// A handler whose work is out of line: ip is stored for whatever the work
// calls (natives, value operations, errors), the work runs, then ip moves
// past the instruction and the status is tested.
#define LUM_OUT_OF_LINE(size, ...) \
    do {                           \
        ctx->ip = ip;              \
        __VA_ARGS__;               \
        ip += (size);              \
        LUM_NEXT();                \
    } while (0)
// Moves ip forward by an unsigned skip distance, never past the end.
#define LUM_SKIP(dist)                                                                              \
    do {                                                                                            \
        const uint64_t target_ = static_cast<uint64_t>(ip - code) + (dist);                         \
        ip = target_ > static_cast<uint64_t>(end - code) ? end : code + target_;                    \
    } while (0)
#define B_U32() lum_read_operand<uint32_t>(ip, lum_operand::B)
#define C_U32() lum_read_operand<uint32_t>(ip, lum_operand::C)
#define D_U64() lum_read_operand<uint64_t>(ip, lum_operand::D)
#define D_PTR(T) reinterpret_cast<T*>(static_cast<uintptr_t>(D_U64()))

    // The status is running here unless completing a script operator call
    // changed it.
    if (ctx->operator_mode != 0) [[unlikely]] {
        lum_complete_operator_call(*ctx);
        LUM_NEXT();
    }
    LUM_NEXT_FAST();

op_1: {  // ld.l
    const uint32_t slot = B_U32();
    if (__builtin_expect(slot >= slot_count, 0)) goto bad_operand;
    lumvar_shared& top = top_of(stack);
    if (const lumvar* old = top.get(); old != slots[slot].get()) {
        if (old != nullptr && old->refcount == 1) {
            if (old->type < LUMVAR_PRIMITIVE_END) stash.recycle(top);  // kept for the next fresh cell
            else ctx->ip = ip;                                         // its release may run code
        }
        top = slots[slot];
    }
    ip += 8;
    LUM_NEXT_FAST();
}
op_6: {  // ld.g
    ctx->ip = ip;
    // The common case inline: the scope is a task without global-scope link,
    // so its first context is the global one.
    lum_task* scope = ctx->scope;
    if (scope != nullptr && !scope->global_scope && !scope->contexts.empty()) {
        const lum_vm_context* g = scope->contexts.front();
        const uint32_t slot = B_U32();
        if (g != nullptr && slot < g->slots.size()) {
            top_of(stack) = g->slots[slot];
            ip += 8;
            LUM_NEXT();
        }
    }
}
    // Anything else as the other loads.
    goto load_place;
op_2:  // ld.lf
op_3:  // ld.s
op_4:  // ld.up
op_5:  // ld.ups
op_7:  // ld.gs
    ctx->ip = ip;
load_place: {
    bool no_global = false;
    const lumvar_shared* place = load_place_of(*ctx, ip, no_global);
    if (no_global) {
        if (!stack.empty() && !stack.back()) stack.back() = lumvar_shared::make();
        no_global_scope(*ctx);
    } else {
        if (place == nullptr) goto bad_operand;
        top_of(stack) = *place;
        if (*ip == LUM_OP_LD_LF) (*place)->flags = block->slot_flag(B_U32());
    }
    ip += lum_opcode_size_table[*ip];
    LUM_NEXT();
}
op_8: {  // ldi
    lumvar_shared& top = top_of(stack);
    lumvar* c = top.get();
    const int64_t value = lum_read_operand<int64_t>(ip, lum_operand::D);
    if (c != nullptr && c->refcount == 1 && c->type < LUMVAR_PRIMITIVE_END) {
        set_int_header(c);
        c->payload.i = value;
    } else {
        ctx->ip = ip;  // the old value's release may run code
        lum_set_int(top, value);
    }
    ip += 16;
    LUM_NEXT_FAST();
}
op_9:  // ldf
    ctx->ip = ip;
    lum_set_float(top_of(stack), lum_read_operand<double>(ip, lum_operand::D));
    ip += 16;
    LUM_NEXT_FAST();
op_10: {  // lds
    ctx->ip = ip;
    const uint32_t index = B_U32();
    if (!block->strings || index >= block->strings->size()) goto bad_operand;
    lumvar_shared& top = top_of(stack);
    if (top && top->refcount == 1)
        top->set_string(block->string_at(index));
    else
        top = lumvar_shared::from_string(block->string_at(index));
    ip += 8;
    LUM_NEXT();
}
op_11: {  // fn
    ctx->ip = ip;
    const uint32_t child = B_U32();
    if (child >= block->children.size() || !block->children[child]) goto bad_operand;
    top_becomes_fresh(stack, [&](lumvar& v) { v.set_function(block->children[child].get(), ctx->scope); });
    ip += 8;
    LUM_NEXT_FAST();
}
op_12:  // ldext
    LUM_OUT_OF_LINE(16, top_becomes_fresh(stack, [def = D_PTR(lum_function_def)](lumvar& v) {
                        if (def != nullptr) v.set_ext_function(def, nullptr);
                    }));
op_13: {  // ldk
    ctx->ip = ip;
    auto* cell = reinterpret_cast<lumvar*>(static_cast<uintptr_t>(D_U64()));
    top_of(stack) = cell != nullptr ? lumvar_shared(cell) : lumvar_shared::make();
    ip += 16;
    LUM_NEXT_FAST();
}
op_14: {  // none
    // A number cell that only the top holds becomes none in place (nobody
    // can tell it from a fresh cell); else the top gets a fresh cell.
    lumvar_shared& top = top_of(stack);
    lumvar* c = top.get();
    if (c != nullptr && c->refcount == 1 && c->type < LUMVAR_PRIMITIVE_END) {
        lum_reset_primitive_header(c);
        c->payload.i = 0;
    } else {
        ctx->ip = ip;  // the old value's release may run code
        top = stash.take();
    }
    ip += 1;
    LUM_NEXT_FAST();
}
op_15: LUM_OUT_OF_LINE(2, bind_argument(*ctx, ip[lum_operand::A], false));  // bind / bindself
op_16: LUM_OUT_OF_LINE(1, bind_argument(*ctx, 0, true));  // bindref
op_17:  // push
    // `push` followed by a load of a local slot or of an integer constant
    // (the usual start of an operand) runs both at once: the new place gets
    // the slot's cell, or a fresh cell holding the integer, as the load would
    // give it (nothing can look at the place in between).
    if (end - ip > 16 && ip[1] == LUM_OP_LDI) {
        stack.push_back(stash.take());
        lumvar* c = stack.back().get();
        c->type = LUMVAR_INT;
        c->payload.i = lum_read_operand<int64_t>(ip + 1, lum_operand::D);
        ++ctx->pushed;
        ip += 1 + 16;
        LUM_NEXT_FAST();
    }
    if (end - ip > 8 && ip[1] == LUM_OP_LD_L) {
        const uint32_t slot = lum_read_operand<uint32_t>(ip + 1, lum_operand::B);
        if (slot < slot_count) {
            stack.push_back(slots[slot]);
            ++ctx->pushed;
            ip += 1 + 8;
            LUM_NEXT_FAST();
        }
    }
    if (ip + 1 < end && (replaces_top(ip[1]) ||
                         (ip[1] == LUM_OP_FEXPR && end - (ip + 1) >= lum_fexpr::SIZE &&
                          ip[1 + lum_fexpr::DEST_KIND] != lum_fexpr::DEST_TOP)))
        stack.emplace_back();  // filled by the next instruction
    else
        stack.push_back(stash.take());
    ++ctx->pushed;
    ip += 1;
    LUM_NEXT_FAST();
op_18:  // dup
    ctx->ip = ip;
    if (stack.empty()) stack.push_back(lumvar_shared::make());
    stack.push_back(stack.back());
    ++ctx->pushed;
    ip += 1;
    LUM_NEXT_FAST();
op_19:  // pop
    ctx->ip = ip;
    if (!stack.empty()) stash.pop(stack);
    --ctx->pushed;
    ip += 8;
    LUM_NEXT_FAST();
op_20: {  // assign
    ctx->ip = ip;
    if (stack.size() < 2 || !stack.back() || !stack[stack.size() - 2]) {
        lum_raise(*ctx, "invalid variable.");
    } else {
        lumvar_shared value = lum_stack_take(*ctx);
        assign_value(stack.back().get(), value);
        // A number cell that only the popped value held (a call's result, a
        // computed temporary) is kept for this run's next fresh cell.
        stash.recycle(value);
    }
    ip += 1;
    LUM_NEXT();
}
op_21: LUM_OUT_OF_LINE(1, lum_op_negate(*ctx));  // neg
op_22:  // not
op_37:  // truth
    LUM_OUT_OF_LINE(1, set_truth_of_top(task, *ip == LUM_OP_TRUTH));
op_23: LUM_OUT_OF_LINE(1, make_ref(task));  // ref
op_24: {  // deref
    ctx->ip = ip;
    lumvar_shared& top = top_of(stack);
    if (top->type >= LUMVAR_OBJECT_MEMBER_LITERAL) {
        lumvar_shared v = lum_resolve_handle(top);
        stack.back() = std::move(v);
    }
    ip += 1;
    LUM_NEXT();
}

// Both operands integers: the result goes into a cell only the stack holds
// (the left place, else the right operand's cell), else a fresh one.
#define LUM_INT_RESULT(v)                                                          \
    do {                                                                           \
        if (l->refcount == 1) {                                                    \
            if (l->ref_flags != 0) l->ref_flags = 0;                               \
            l->payload.i = (v);                                                    \
            stash.pop(stack);                                                      \
        } else if (r->refcount == 1) {                                             \
            if (r->ref_flags != 0) r->ref_flags = 0;                               \
            r->payload.i = (v);                                                    \
            stack[n - 2] = std::move(stack[n - 1]);                                \
            stack.pop_back();                                                      \
        } else {                                                                   \
            stack.pop_back();                                                      \
            lum_set_int(stack.back(), (v));                                        \
        }                                                                          \
        --ctx->pushed;                                                             \
    } while (0)

// A binary operator of SIZE bytes: both operands integers inline (`a`, `b`,
// the result `expr`), anything else through `fallback`.
#define LUM_INT_BINARY_OP(SIZE, expr, fallback)                                    \
    {                                                                              \
        const size_t n = stack.size();                                             \
        if (__builtin_expect(n >= 2, 1)) {                                         \
            lumvar* r = stack[n - 1].get();                                        \
            lumvar* l = stack[n - 2].get();                                        \
            if (l->type == LUMVAR_INT && r->type == LUMVAR_INT) {                  \
                const int64_t a = l->payload.i;                                    \
                const int64_t b = r->payload.i;                                    \
                const int64_t v = (expr);                                          \
                LUM_INT_RESULT(v);                                                 \
                ip += (SIZE);                                                      \
                LUM_NEXT_FAST();                                                   \
            }                                                                      \
        }                                                                          \
        LUM_OUT_OF_LINE(SIZE, fallback);                                           \
    }
#define LUM_INT_BINARY(expr, fallback) LUM_INT_BINARY_OP(1, expr, fallback)

op_25: LUM_INT_BINARY(lum_wrap_add(a, b), lum_op_arith(*ctx, 0))
op_26: LUM_INT_BINARY(lum_wrap_sub(a, b), lum_op_arith(*ctx, 1))
op_27: LUM_INT_BINARY(lum_wrap_mul(a, b), lum_op_arith(*ctx, 2))
op_28: LUM_OUT_OF_LINE(1, lum_op_arith(*ctx, 3));  // div
op_29: LUM_INT_BINARY(a & b, lum_op_bitwise(*ctx, 4))
op_30: LUM_INT_BINARY(a | b, lum_op_bitwise(*ctx, 5))
op_31: LUM_INT_BINARY(a ^ b, lum_op_bitwise(*ctx, 6))
op_32:    // inc
op_33: {  // dec
    lumvar* v = stack.empty() ? nullptr : stack.back().get();
    if (v != nullptr && v->type == LUMVAR_INT) {
        const int64_t old = v->payload.i;
        const int64_t now = *ip == LUM_OP_INC ? lum_wrap_add(old, 1) : lum_wrap_sub(old, 1);
        if (ip[lum_operand::A] == 0) {
            v->payload.i = now;  // prefix: the variable itself stays on top
        } else if (v->refcount > 1) {
            v->payload.i = now;  // postfix: the old value on top, the variable changed
            lumvar_shared before = stash.take();
            before->type = LUMVAR_INT;
            before->payload.i = old;
            stack.back() = std::move(before);
        }
        ip += 2;
        LUM_NEXT_FAST();
    }
    ctx->ip = ip;
    lum_op_incdec(*ctx, *ip == LUM_OP_INC, ip[lum_operand::A] != 0);
    ip += 2;
    LUM_NEXT();
}

// Comparisons (flag A: not-equal, or-equal) give 1 or 0.
#define LUM_INT_COMPARE(expr)                                                        \
    {                                                                                \
        const uint8_t flag = ip[lum_operand::A];                                     \
        LUM_INT_BINARY_OP(2, (expr) ? 1 : 0, lum_op_compare(*ctx, *ip, flag))        \
    }

op_34: LUM_INT_COMPARE(flag ? a != b : a == b)
op_35: LUM_INT_COMPARE(flag ? a >= b : a > b)
op_36: LUM_INT_COMPARE(flag ? a <= b : a < b)
op_38:  // frame
    ctx->ip = ip;
    lum_open_frame(task, B_U32());
    ip += 8;
    LUM_NEXT_FAST();
op_39:    // farg
    ctx->ip = ip;
op_40: {  // fargc
    ctx->ip = ip;
    std::vector<lumvar_shared>* frame = lum_current_frame(task);
    const uint32_t index = B_U32();
    if (frame == nullptr || index >= frame->size()) {
        lum_raise(*ctx, "index out of range!");
    } else if (*ip == LUM_OP_FARG) {
        (*frame)[index] = lum_resolve_handle(top_of(stack));
    } else {
        (*frame)[index] = fresh_copy(top_of(stack));
    }
    ip += 8;
    LUM_NEXT();
}
op_41: {  // fget
    ctx->ip = ip;
    std::vector<lumvar_shared>* frame = lum_current_frame(task);
    const uint32_t index = B_U32();
    if (frame == nullptr || index >= frame->size()) {
        lum_raise(*ctx, "index out of range!");
    } else {
        const lumvar_shared& v = (*frame)[index];
        top_of(stack) = v ? v : lumvar_shared::make();
    }
    ip += 8;
    LUM_NEXT();
}
op_42: LUM_OUT_OF_LINE(16, lum_frame_call(*ctx, D_PTR(lum_function_def)));  // ncall
op_43:  // fclear
    ctx->ip = ip;
    lum_clear_next_frame(task);
    ip += 1;
    LUM_NEXT_FAST();
op_44: {  // prep
    // The common case inline: a script function value on top (its bound
    // arguments, if any, go into the slots after the parameters), a valid
    // argument count. The same steps as lum_prepare_call, which does
    // everything else (and raises the errors). The common case runs nothing
    // that looks at ctx->ip (the callee's cells are fresh: filling them
    // releases nothing).
    const lumvar* top = stack.empty() ? nullptr : stack.back().get();
    if (top != nullptr && top->type == LUMVAR_FUNCTION) {
        lumvar_function_record* fn = top->function_record();
        lum_program_block* callee_block = fn != nullptr ? fn->block.get() : nullptr;
        const uint32_t argc = ip[lum_operand::A];
        if (callee_block != nullptr && argc <= callee_block->num_params &&
            (callee_block->first_default == LUM_NO_DEFAULT || argc == 0 || argc >= callee_block->first_default)) {
            lum_task* scope = lum_call_scope_inline(*ctx, fn->scope.get());
            lum_vm_context* callee =
                new_call_context(task, scope, callee_block, argc, [fn](lum_vm_context& c) {
                    // The function's bound self while it lives (the record,
                    // new or released, has none).
                    if (fn->self.get() != nullptr) c.self = fn->self;
                });
            if (callee != nullptr) {
                if (fn->keep_alive.record() != &lumptr_null_record) callee->keep_alive = std::move(fn->keep_alive);
                lum_push_script_call(task, callee);
                const uint32_t bound = callee_block->num_bound;
                if (bound != 0 && fn->bound && fn->bound->values.size() == bound) {
                    const uint32_t params = callee_block->num_params;
                    for (uint32_t i = 0; i < bound; ++i) {
                        const size_t slot = static_cast<size_t>(params) + i;
                        const lumvar_shared& v = fn->bound->values[i];
                        if (slot >= callee->slots.size() || !v) continue;
                        lumvar* cell = callee->slots[slot].get();
                        if (v->type < LUMVAR_PRIMITIVE_END && cell->type < LUMVAR_PRIMITIVE_END) {
                            // A number or none into the fresh none cell:
                            // what the copy gives, without a handle copy.
                            cell->ref_flags = 0;
                            cell->type = v->type;
                            cell->payload = v->payload;
                        } else {
                            lumvar_shared hold = v;
                            cell->set(hold);
                        }
                    }
                }
                ip += 2;
                LUM_NEXT_FAST();
            }
        }
    }
    ctx->ip = ip;
    lum_prepare_call(*ctx, ip[lum_operand::A]);
    ip += 2;
    LUM_NEXT();
}
op_45: {  // arg
    const uint32_t index = B_U32();
    // The common case calls nothing (a number copied into a slot).
    if (!stack.empty() && lum_store_primitive_argument(task, index, stack.back().get())) {
        ip += 8;
        // The usual next instruction starts this script call: no dispatch
        // and no second look at the pending call.
        if (ip < safe_end && *ip == LUM_OP_CALL) goto script_call;
        LUM_NEXT_FAST();
    }
    ctx->ip = ip;
    lum_store_argument(*ctx, index);
    ip += 8;
    LUM_NEXT();
}
op_46:  // call
    ctx->ip = ip;
    // A script call: its context moves from the pending ones onto the stack
    // and the run stops with status 16 (lum_start_call does the rest).
    if (!lum_script_call_pending(task)) {
        lum_start_call(*ctx);
        ip += 1;
        LUM_NEXT();
    }
script_call:  // ip at a call whose prepared call is a script call (nothing
              // looks at ctx->ip before the position past it is stored)
    {
        lum_vm_context* callee = task.pending_contexts.back();
        task.contexts.push_back(callee);
        task.pending_contexts.pop_back();
        ctx->status = LUM_STATUS_CALL;
        ip += 1;
        // In a chained run the callee runs next at once (what the end of the
        // run and task continuation would do).
        if (task.contexts.size() <= call_depth_max && !task.stop) {
            ctx->ip = ip;
            ctx->resumable = 1;
            ctx->resume_offset = static_cast<uint32_t>(ip - code);
            ctx = callee;
            goto switch_to_callee;
        }
        goto finish;
    }
op_47: LUM_OUT_OF_LINE(8, enter_child(*ctx, B_U32()));  // enter
op_48:  // default
    ctx->ip = ip;
    ip += default_value(*ctx, ip[lum_operand::A]);
    LUM_NEXT();
op_49: LUM_OUT_OF_LINE(8, enter_catch(*ctx, B_U32()));  // catch
op_50: LUM_OUT_OF_LINE(1, enter_linked(*ctx));  // enterlinked
op_51: LUM_OUT_OF_LINE(1, set_self_from_top(*ctx));  // setself
op_52: LUM_OUT_OF_LINE(1, lum_self_value(*ctx));  // self
op_53: LUM_OUT_OF_LINE(12, lum_self_member(*ctx, B_U32(), ip[lum_operand::C8] != 0));  // selfmem
op_54: LUM_OUT_OF_LINE(1, lum_new_instance(*ctx));  // newinst
op_55: {  // jmp
    const int64_t target = (ip - code) + static_cast<int64_t>(lum_read_operand<int32_t>(ip, lum_operand::B));
    ip = target < 0 || target > static_cast<int64_t>(end - code) ? end : code + target;
    LUM_NEXT_FAST();
}
    // Conditional jumps: an integer top is tested inline (nothing else can
    // run, so the status stays 0); other values through truth_fast.
#define LUM_COND_JUMP(jump_when)                                                                   \
    {                                                                                              \
        const lumvar* v = stack.empty() ? nullptr : stack.back().get();                            \
        const bool int_top = v != nullptr && v->type == LUMVAR_INT;                                \
        if (!int_top) ctx->ip = ip;                                                                \
        const bool truth = int_top ? v->payload.i != 0 : truth_fast(task);                         \
        if (truth == (jump_when)) {                                                                \
            const uintptr_t to = reinterpret_cast<uintptr_t>(ip) +                                 \
                                 static_cast<intptr_t>(lum_read_operand<int32_t>(ip, lum_operand::B)); \
            ip = to - reinterpret_cast<uintptr_t>(code) <= static_cast<uintptr_t>(end - code)      \
                     ? reinterpret_cast<const uint8_t*>(to)                                        \
                     : end;                                                                        \
        } else {                                                                                   \
            ip += 8;                                                                               \
        }                                                                                          \
        if (int_top) LUM_NEXT_FAST();                                                              \
        LUM_NEXT();                                                                                \
    }
op_56:  // jz
    LUM_COND_JUMP(false)
op_57:  // jnz
    LUM_COND_JUMP(true)
#undef LUM_COND_JUMP
op_58:  // ret
    // Nothing runs here: both ways out store the position past the
    // instruction (chain_pop only for a record that outlives the pop).
    ctx->status = LUM_STATUS_RETURN;
    ip += 1;
    // In a chained run a function body without epilogue returns to its
    // caller at once (what the end of the run and task continuation do).
    if (task.contexts.size() > return_floor && !task.stop && task.contexts.back() == ctx &&
        ctx->block->returns_directly())
        goto chain_pop;
    goto finish;
op_59:  // brk
    ctx->ip = ip;
    ctx->status = LUM_STATUS_BREAK;
    ip += 1;
    goto finish;
op_60:  // cont
    ctx->ip = ip;
    ctx->status = LUM_STATUS_CONTINUE;
    ip += 1;
    goto finish;
op_61: {  // mem
    ctx->ip = ip;
    // A method of a class instance on top called at once (`prep` next), its
    // site's member-cache entry naming the instance's class (a definition
    // member, so the member was found and its privacy checked here): the call
    // is prepared as opcode 44 prepares it for the bound method value that
    // this instruction would make (same scope, self, argument count rules),
    // without making that value. Anything else goes the generic way.
    const lumvar* top = stack.empty() ? nullptr : stack.back().get();
    if (end - ip > 32 + 1 && ip[32] == LUM_OP_PREP) {
        lum_class* instance = nullptr;
        if (lumvar_function_record* fn =
                cached_method_of(top, block, lum_read_operand<uint32_t>(ip, lum_mem::CACHE), instance)) {
            lum_program_block* method = fn->block.get();
            // The bound value's scope: the method's, else (gone or never
            // set) the root of the thread's current task.
            lum_task* fn_scope = fn->scope.get();
            if (fn_scope == nullptr) {
                lum_task* current = lum_get_thread_local().current_task;
                fn_scope = current != nullptr ? current->root() : nullptr;
            }
            const uint32_t argc = ip[32 + lum_operand::A];
            if (method != nullptr && fn_scope != nullptr && method->num_bound == 0 &&
                argc <= method->num_params &&
                (method->first_default == LUM_NO_DEFAULT || argc == 0 || argc >= method->first_default)) {
                lum_task* scope = lum_call_scope_inline(*ctx, fn_scope);
                const lumptr_strong<lum_class>& holder = top->class_holder()->instance;
                lum_vm_context* callee = new_call_context(task, scope, method, argc,
                                                          [&holder](lum_vm_context& c) { c.self = holder; });
                if (callee != nullptr) {
                    lum_push_script_call(task, callee);
                    ip += 32 + 2;
                    LUM_NEXT_FAST();
                }
            }
        }
    }
    // A json container on top that is held elsewhere too, at a site whose
    // entry already names the json type without a method of that name, and
    // whose key index still holds the name at the slot the site remembers:
    // the key's cell becomes the top, as the generic path would make it.
    if (top != nullptr && top->type == LUMVAR_JSON && top->refcount > 1) {
        const uint32_t cache_index = lum_read_operand<uint32_t>(ip, lum_mem::CACHE);
        lum_std_json* j = top->json_container();
        if (j != nullptr && cache_index < block->json_key_slot.size() && cache_index < block->member_cache.size()) {
            const lum_member_cache_entry& entry = block->member_cache[cache_index];
            const lumobject_base* object = j;
            if (entry.index == -1 && entry.object_type_key == object->type_tag) {
                const std::string_view name = block->string_at(lum_read_operand<uint32_t>(ip, lum_mem::NAME));
                if (lumvar* cell = j->key_cell_at(name, block->json_key_slot[cache_index])) {
                    stack.back() = lumvar_shared(cell);
                    ip += 32;
                    LUM_NEXT();
                }
            }
        }
    }
    lum_member_by_name(*ctx, ip);
    ip += 32;
    LUM_NEXT();
}
op_62: LUM_OUT_OF_LINE(24, lum_index_op(*ctx, ip));  // idx
op_63: {  // memif
    ctx->ip = ip;
    const uint32_t index = B_U32();
    if (!block->strings || index >= block->strings->size()) goto bad_operand;
    lum_member_if_present(*ctx, block->string_at(index));
    ip += 8;
    LUM_NEXT();
}
op_64: {  // sidx
    ctx->ip = ip;
    // The common case inline: an integer index (from the end when negative)
    // within a json list; the entry's cell becomes the top, as
    // lum_safe_index gives it. Everything else goes there.
    const size_t n = stack.size();
    if (n >= 2) {
        const lumvar* k = stack[n - 1].get();
        const lumvar* c = stack[n - 2].get();
        if (k != nullptr && c != nullptr && k->type == LUMVAR_INT && c->type == LUMVAR_JSON) {
            if (lum_std_json* json = c->json_container()) {
                int64_t i = k->payload.i;
                const int64_t count = static_cast<int64_t>(json->entries.size());
                if (i < 0) i += count;
                if (i >= 0 && i < count && json->entries[static_cast<size_t>(i)].value) {
                    {
                        // Scoped so that the dispatch below leaves no live handle behind.
                        lumvar_shared entry = json->entries[static_cast<size_t>(i)].value;
                        stash.pop(stack);
                        --ctx->pushed;
                        stack.back() = std::move(entry);
                    }
                    ip += 1;
                    LUM_NEXT();
                }
            }
        }
    }
    lum_safe_index(*ctx);
    ip += 1;
    LUM_NEXT();
}
op_65: LUM_OUT_OF_LINE(1, lum_append(*ctx));  // append
op_66: LUM_OUT_OF_LINE(1, top_becomes_fresh(stack, [](lumvar& v) { v.set_json(true); }));  // newjson
op_67:  // own
    ctx->ip = ip;
    top_of(stack)->flags |= LUMVAR_FLAG_OWNING;
    ip += 1;
    LUM_NEXT_FAST();
op_68: LUM_OUT_OF_LINE(16, lum_index_set(*ctx, D_PTR(const lum_class_def)));  // idxset
op_69: LUM_OUT_OF_LINE(16, lum_index_get_keep(*ctx, D_PTR(const lum_class_def)));  // idxget2
op_70: LUM_OUT_OF_LINE(1, lum_op_mod(*ctx));  // mod
op_71: {  // bnot
    ctx->ip = ip;
    {
        lumvar_shared hold;
        lumvar* v = lum_resolved(top_of(stack), hold);
        const int64_t i = v->type == LUMVAR_INT ? v->payload.i : v->int_value();
        lum_set_int(stack.back(), ~i);
    }
    ip += 1;
    LUM_NEXT();
}
op_72: {  // fexpr
    {
        // The decoded form of the instruction (made on its first run).
        // Assigned, not initialised: clang refuses indirect gotos that could
        // bypass an initialisation, and the fused-form labels below share this scope.
        // A plan is only made for an instruction that fits in the code, so
        // the size test is needed only before decoding.
        uint32_t offset;
        offset = static_cast<uint32_t>(ip - code);
        plan = nullptr;
        if (__builtin_expect(block->fexpr_plans_code == code, 1)) {
            const size_t index = offset / lum_fexpr::SIZE;
            if (index < block->fexpr_plans.size() && block->fexpr_plans[index].offset == offset)
                plan = &block->fexpr_plans[index];
        }
        if (plan == nullptr) {
            if (__builtin_expect(end - ip < static_cast<ptrdiff_t>(lum_fexpr::SIZE), 0)) goto truncated;
            plan = &lum_fexpr_plan_decode(*block, ip);
        }

        // Specialised forms: `local <op> constant|local` into the top or a
        // local slot, one label per form and operator (see
        // lum_fexpr_plan::variant). Any operand that is not an integer (or
        // not there) goes to the general evaluator.
        static const void* const variants[1 + 8 * 16] = {
            &&fx_generic,
#define LUM_FX_ROW(f)                                                                                     \
    &&fx_##f##_4, &&fx_##f##_5, &&fx_##f##_6, &&fx_generic, &&fx_generic, &&fx_##f##_9, &&fx_##f##_10,   \
        &&fx_##f##_11, &&fx_##f##_12, &&fx_##f##_13, &&fx_##f##_14, &&fx_##f##_15, &&fx_##f##_16,        \
        &&fx_##f##_17, &&fx_generic, &&fx_generic
            LUM_FX_ROW(0), LUM_FX_ROW(1), LUM_FX_ROW(2), LUM_FX_ROW(3),
            LUM_FX_ROW(4), LUM_FX_ROW(5), LUM_FX_ROW(6), LUM_FX_ROW(7),
#undef LUM_FX_ROW
        };
        goto* variants[plan->variant];

#define LUM_FX_CHAIN(TO, FX)                                                                       \
    {                                                                                              \
        const uint32_t to = (TO);                                                                  \
        /* FX (to / 200) is below the table size: the table was sized for */                      \
        /* the code when this plan was made from it and never shrinks. The */                     \
        /* tag matches only when a fused expression starting at `to` was */                       \
        /* decoded. While plans follow each other ip is left behind: the */                       \
        /* ways out of a plan set it from the plan's offset. */                                   \
        const lum_fexpr_plan* next_ = &block->fexpr_plans[(FX)];                                   \
        if (next_->offset == to) {                                                                 \
            plan = next_;                                                                          \
            goto* variants[plan->variant];                                                         \
        }                                                                                          \
        ip = code + to;                                                                            \
        LUM_NEXT_FAST();                                                                           \
    }
        // FORM bit 2: a and the destination are members of self (else local
        // slots); bit 1: b is a local slot (else the constant); bit 0: the
        // destination is a slot or member (else the top). The local slot
        // indexes were checked against the block's slot count when the plan
        // was made (a context has at least that many slots); member indexes
        // are checked here against the instance.
#define LUM_FX(FORM, OP, EXPR)                                                                     \
    fx_##FORM##_##OP : {                                                                            \
        const lumvar_shared* places = slots;                                                       \
        if ((FORM) & 4) {                                                                          \
            /* a (and the destination) are members of self. */                                    \
            const lum_class* self = ctx->self.get();                                               \
            if (__builtin_expect(self == nullptr, 0)) goto fx_general;                              \
            places = self->members.data();                                                         \
            const size_t count = self->members.size();                                             \
            if (__builtin_expect(plan->a >= count || (((FORM) & 1) && plan->dest >= count), 0))     \
                goto fx_general;                                                                   \
        }                                                                                          \
        const lumvar* a = places[plan->a].get();                                                   \
        if (__builtin_expect(a == nullptr || a->type != LUMVAR_INT, 0)) goto fx_general;            \
        const int64_t x = a->payload.i;                                                            \
        int64_t y;                                                                                 \
        if ((FORM) & 2) {                                                                          \
            const lumvar* b = slots[plan->b].get();                                                \
            if (__builtin_expect(b == nullptr || b->type != LUMVAR_INT, 0)) goto fx_general;        \
            y = b->payload.i;                                                                      \
        } else {                                                                                   \
            y = plan->k;                                                                           \
        }                                                                                          \
        const int64_t v = (EXPR);                                                                  \
        if ((FORM) & 1) {                                                                          \
            /* In place into the destination (none, int or float only); the */                    \
            /* top becomes its cell unless the next instruction replaces the */                   \
            /* top unread (each such instruction also fills an empty stack or */                  \
            /* a place left empty by `push`). */                                                  \
            const lumvar_shared& dest_handle = places[plan->dest];                                 \
            lumvar* dest = dest_handle.get();                                                      \
            if (__builtin_expect(dest == nullptr || dest->type < LUMVAR_NONE || dest->type > LUMVAR_FLOAT, 0)) \
                goto fx_general;                                                                   \
            if (dest->ref_flags != 0) dest->ref_flags = 0;                                         \
            if (dest->type != LUMVAR_INT) dest->type = LUMVAR_INT;                                 \
            dest->payload.i = v;                                                                   \
            if (!plan->keep_top) {                                                                 \
                lumvar* old = stack.empty() ? nullptr : stack.back().get();                        \
                if (old != nullptr && old != dest && old->refcount > 1)                            \
                    stack.back() = lumvar_shared(dest); /* the old cell stays with its holders */  \
                else if (old != dest) {                                                            \
                    ctx->ip = code + plan->offset; /* a released value may run code */             \
                    fused_top_becomes(stack, stash, dest_handle);                                  \
                }                                                                                  \
            }                                                                                      \
        } else {                                                                                   \
            /* The top's cell takes the result when only the top holds it */                      \
            /* and it holds a number or none, else the top gets a fresh cell. */                  \
            lumvar* t = stack.empty() ? nullptr : stack.back().get();                              \
            if (__builtin_expect(t == nullptr || t->refcount != 1 || t->type >= LUMVAR_PRIMITIVE_END, 0)) { \
                ctx->ip = code + plan->offset; /* a released value may run code */                 \
                t = fused_fresh_top(stack, stash);                                                 \
            }                                                                                      \
            if (t->ref_flags != 0) t->ref_flags = 0;                                               \
            if (t->type != LUMVAR_INT) t->type = LUMVAR_INT;                                       \
            t->payload.i = v;                                                                      \
        }                                                                                          \
        /* Success goes on at `next`, or at `branch_target` when the result's */                  \
        /* truth takes the conditional jump found there; a decoded fused */                       \
        /* expression at that place runs at once (no dispatch, no lookup: */                      \
        /* its plan-table index is in this plan). */                                              \
        /* Two separate ways on, so that the test stays a branch the */                           \
        /* processor predicts (a selected address would make the next */                          \
        /* instruction wait for the result). */                                                   \
        /* Only comparisons (results 0 and 1) have a jump to test (see */                         \
        /* fused.cpp); the other operators always go on at `next`. */                             \
        if ((OP) >= lum_fexpr::IT_EQ && v == plan->branch_when)                                    \
            LUM_FX_CHAIN(plan->branch_target, plan->branch_fx)                                     \
        else                                                                                       \
            LUM_FX_CHAIN(plan->next, plan->next_fx)                                                \
    }
#define LUM_FX_FORM(F)                                                                             \
    LUM_FX(F, 4, lum_wrap_add(x, y))                                                               \
    LUM_FX(F, 5, lum_wrap_sub(x, y))                                                               \
    LUM_FX(F, 6, lum_wrap_mul(x, y))                                                               \
    LUM_FX(F, 9, x & y)                                                                            \
    LUM_FX(F, 10, x | y)                                                                           \
    LUM_FX(F, 11, x ^ y)                                                                           \
    LUM_FX(F, 12, x == y ? 1 : 0)                                                                  \
    LUM_FX(F, 13, x != y ? 1 : 0)                                                                  \
    LUM_FX(F, 14, x < y ? 1 : 0)                                                                   \
    LUM_FX(F, 15, x <= y ? 1 : 0)                                                                  \
    LUM_FX(F, 16, x >= y ? 1 : 0)                                                                  \
    LUM_FX(F, 17, x > y ? 1 : 0)
        LUM_FX_FORM(0)
        LUM_FX_FORM(1)
        LUM_FX_FORM(2)
        LUM_FX_FORM(3)
        LUM_FX_FORM(4)
        LUM_FX_FORM(5)
        LUM_FX_FORM(6)
        LUM_FX_FORM(7)
#undef LUM_FX_FORM
#undef LUM_FX
#undef LUM_FX_CHAIN

    fx_line:
        // The straight-line form (ip and ctx->ip at the instruction): the
        // value, then the destination (the top or a local slot below the
        // block's slot count) and the way on as for the integer forms.
        {
            lum_fexpr_value r;
            if (!lum_fexpr_line_evaluate(slots, slot_count, block->fexpr_lines[plan->offset / lum_fexpr::SIZE], r))
                goto fx_declined;
            lumvar* cell;
            if (plan->dest_kind == 0) {
                cell = stack.empty() ? nullptr : stack.back().get();
                if (cell == nullptr || cell->refcount != 1 || cell->type >= LUMVAR_PRIMITIVE_END)
                    cell = fused_fresh_top(stack, stash);
            } else {
                cell = slots[plan->dest].get();
                if (cell == nullptr || cell->type < LUMVAR_NONE || cell->type > LUMVAR_FLOAT) goto fx_declined;
            }
            lum_fexpr_store_number(cell, r.is_float, r.i, r.f);
            if (plan->dest_kind != 0 && !plan->keep_top) {
                // The top becomes the destination cell (a number cell only
                // the top held is kept for this run's next fresh cell).
                if (stack.empty()) stack.emplace_back();
                lumvar_shared& top = stack.back();
                if (top.get() != cell) {
                    if (top && top->refcount == 1) stash.recycle(top);
                    top = slots[plan->dest];
                }
            }
            const bool truth = r.is_float ? !(r.f == 0.0) : r.i != 0;
            const uint32_t to = truth == (plan->branch_when != 0) ? plan->branch_target : plan->next;
            const uint32_t fx = truth == (plan->branch_when != 0) ? plan->branch_fx : plan->next_fx;
            // As LUM_FX_CHAIN: a decoded fused expression there runs at once.
            const lum_fexpr_plan* next_plan = &block->fexpr_plans[fx];
            if (next_plan->offset == to) {
                plan = next_plan;
                goto* variants[plan->variant];
            }
            ip = code + to;
            LUM_NEXT_FAST();
        }
    fx_generic:
        ip = code + plan->offset;
        ctx->ip = ip;
        // Inline case: `a <op> b` on integers, a a local slot or a member of
        // self, b also a constant, into the top, a local slot or a member of
        // self. Anything else goes through the general evaluator.
        if (plan->shape == lum_fexpr_plan::INT_BINARY) {
            using namespace lum_fexpr;
            lum_class* self = plan->uses_self ? ctx->self.get() : nullptr;
            const lumvar_shared* members = self != nullptr ? self->members.data() : nullptr;
            const size_t member_count = self != nullptr ? self->members.size() : 0;
            const uint32_t s0 = plan->a;
            const lumvar* a = plan->a_kind == lum_fexpr_plan::LOCAL ? (s0 < slot_count ? slots[s0].get() : nullptr)
                                                                   : (s0 < member_count ? members[s0].get() : nullptr);
            if (a != nullptr && a->type == LUMVAR_INT) {
                int64_t y;
                bool ok = true;
                if (plan->b_kind == lum_fexpr_plan::CONST) {
                    y = plan->k;
                } else {
                    const uint32_t s1 = plan->b;
                    const lumvar* b = plan->b_kind == lum_fexpr_plan::LOCAL
                                          ? (s1 < slot_count ? slots[s1].get() : nullptr)
                                          : (s1 < member_count ? members[s1].get() : nullptr);
                    ok = b != nullptr && b->type == LUMVAR_INT;
                    y = ok ? b->payload.i : 0;
                }
                if (ok) {
                    const int64_t x = a->payload.i;
                    int64_t v;
                    switch (plan->op) {
                    case IT_ADD: v = lum_wrap_add(x, y); break;
                    case IT_SUB: v = lum_wrap_sub(x, y); break;
                    case IT_MUL: v = lum_wrap_mul(x, y); break;
                    case IT_AND: v = x & y; break;
                    case IT_OR: v = x | y; break;
                    case IT_XOR: v = x ^ y; break;
                    case IT_EQ: v = x == y; break;
                    case IT_NE: v = x != y; break;
                    case IT_LT: v = x < y; break;
                    case IT_LE: v = x <= y; break;
                    case IT_GE: v = x >= y; break;
                    default: v = x > y; break;
                    }
                    // Success goes on at the skip target, or straight to the
                    // successor of the conditional jump found there.
                    const uint32_t go_on = (v != 0) == (plan->branch_when != 0) ? plan->branch_target : plan->next;
                    if (plan->dest_kind == 0) {
                        if (stack.empty()) stack.push_back(stash.take());
                        lumvar* t = stack.back().get();
                        if (t == nullptr || t->refcount != 1 || t->type >= LUMVAR_PRIMITIVE_END) {
                            stack.back() = stash.take();
                            t = stack.back().get();
                        }
                        if (t->ref_flags != 0) t->ref_flags = 0;
                        if (t->type != LUMVAR_INT) t->type = LUMVAR_INT;
                        t->payload.i = v;
                        ip = code + go_on;
                        LUM_NEXT_FAST();
                    }
                    const uint32_t d = plan->dest;
                    const lumvar_shared* dest_handle =
                        plan->dest_kind == 1 + lum_fexpr_plan::LOCAL ? (d < slot_count ? &slots[d] : nullptr)
                                                                     : (d < member_count ? &members[d] : nullptr);
                    lumvar* dest = dest_handle != nullptr ? dest_handle->get() : nullptr;
                    if (dest != nullptr && dest->type >= LUMVAR_NONE && dest->type <= LUMVAR_FLOAT) {
                        // Only changed bytes are written: a loop storing into the same
                        // cell then reads its type byte straight from the store.
                        if (dest->ref_flags != 0) dest->ref_flags = 0;
                        if (dest->type != LUMVAR_INT) dest->type = LUMVAR_INT;
                        dest->payload.i = v;
                        // The top becomes the destination cell, unless the
                        // instruction that runs next replaces the top unread
                        // (each such instruction also fills an empty stack or
                        // a place left empty by `push`).
                        if (!plan->keep_top) {
                            if (stack.empty()) stack.emplace_back();
                            lumvar_shared& top = stack.back();
                            if (const lumvar* old = top.get(); old != dest) {
                                // A number cell held only by the top is kept
                                // for this run's next fresh cell.
                                if (old != nullptr && old->refcount == 1) stash.recycle(top);
                                top = *dest_handle;
                            }
                        }
                        ip = code + go_on;
                        LUM_NEXT_FAST();
                    }
                }
            }
        }
    }
fx_general:
    ip = code + plan->offset;
    ctx->ip = ip;
    if (plan->line != 0) goto fx_line;
    if (lum_fused_expression(*ctx, ip)) {
        LUM_SKIP(lum_read_operand<uint32_t>(ip, lum_fexpr::JUMP));
        LUM_NEXT_FAST();
    }
fx_declined:
    if (!stack.empty() && !stack.back()) stack.back() = lumvar_shared::make();
    ip += lum_fexpr::SIZE;
    LUM_NEXT_FAST();
}
op_73: {  // fcall
    ctx->ip = ip;
    // The common case inline: a method call on a class instance on top whose
    // member-cache entry already names the instance's class (a definition
    // member). The same checks and steps as lum_fused_call, which handles
    // everything else (and declines where it must).
    using namespace lum_fcall;
    const lumvar* top = stack.empty() ? nullptr : stack.back().get();
    if (ip[ENABLED] != 0 && ip[SELF_FORM] == 0) {
        lum_class* instance = nullptr;
        if (lumvar_function_record* fn =
                cached_method_of(top, block, lum_read_operand<uint32_t>(ip, CACHE), instance)) {
            lum_program_block* method = fn->block.get();
            const uint32_t argc = ip[ARGC];
            lum_task* creator = instance->scope.get();
            if (method != nullptr && method->is_method() && !method->is_function_flagged() &&
                method->num_bound == 0 && argc <= method->num_params &&
                (method->first_default == LUM_NO_DEFAULT || argc == 0 || argc >= method->first_default) &&
                creator != nullptr) {
                lum_task* scope = creator->global_scope ? creator->root() : creator;
                const lumptr_strong<lum_class>& holder = top->class_holder()->instance;
                lum_vm_context* callee = new_call_context(task, scope, method, argc,
                                                          [&holder](lum_vm_context& c) { c.self = holder; });
                if (callee != nullptr) {
                    lum_push_script_call(task, callee);
                    LUM_SKIP(lum_read_operand<uint32_t>(ip, JUMP));
                    LUM_NEXT_FAST();
                }
            }
        }
    }
    if (lum_fused_call(*ctx, ip)) {
        LUM_SKIP(lum_read_operand<uint32_t>(ip, lum_fcall::JUMP));
    } else {
        ip += lum_fcall::SIZE;
    }
    LUM_NEXT_FAST();
}

boundary:
    // Near the end of the code: the instruction must fit (every handler that
    // can be seen stores ip itself).
    if (ip >= end) goto finish;
    if (lum_opcode_size_table[*ip] > static_cast<size_t>(end - ip)) goto truncated;
    goto* labels[*ip];
op_invalid:
    ctx->ip = ip;
    invalid_instruction(*ctx, *ip);
    goto finish;
truncated:
    ctx->ip = ip;
    if (!stack.empty() && !stack.back()) stack.back() = lumvar_shared::make();
    invalid_instruction(*ctx, *ip);
    goto finish;
bad_operand:
    ctx->ip = ip;
    if (!stack.empty() && !stack.back()) stack.back() = lumvar_shared::make();
    invalid_instruction(*ctx, *ip);
    ip += lum_opcode_size(*ip);
    goto finish;

finish:
#undef LUM_NEXT_FAST
#undef LUM_NEXT
#undef LUM_OUT_OF_LINE
#undef LUM_INT_BINARY
#undef LUM_INT_BINARY_OP
#undef LUM_INT_COMPARE
#undef LUM_INT_RESULT
#undef B_U32
#undef C_U32
#undef D_U64
#undef D_PTR
#undef LUM_SKIP
    ctx->ip = ip;
    {
        const uint32_t status = ctx->status;
        if (status >= LUM_STATUS_RETURN && status <= LUM_STATUS_SUSPENDED) {
            ctx->resumable = 1;
            ctx->resume_offset = static_cast<uint32_t>(ip - code);
            if (chain != nullptr && (status == LUM_STATUS_CALL || status == LUM_STATUS_RETURN)) goto chained;
            return status;
        }
        ctx->resumable = 0;
        ctx->resume_offset = 0;
        if (chain != nullptr && status <= LUM_STATUS_FINISHED) goto chained;
        return status <= LUM_STATUS_FINISHED ? LUM_STATUS_FINISHED : status;
    }

chained: {
    // The common answers of task continuation, made here with the same stack
    // changes in the same order; every other case returns to it.
    std::vector<lum_vm_context*>& ctxs = task.contexts;
    const uint32_t raw = ctx->status;
    const uint32_t status =
        raw == LUM_STATUS_CALL || raw == LUM_STATUS_RETURN ? raw : LUM_STATUS_FINISHED;
    if (task.stop || ctxs.empty()) return status;
    if (status == LUM_STATUS_CALL) {
        // A context was pushed: it runs next unless the depth limit is exceeded.
        if (ctxs.size() > call_depth_max) return status;
        ctx = ctxs.back();
        if (ctx == nullptr || ctx->task != &task || ctx->block == nullptr) return status;
    } else {
        // A return from a function body, or a block that ran to its end,
        // with the caller below waiting resumable: pop it; the caller goes on.
        if (ctxs.back() != ctx || ctxs.size() <= return_floor) return status;
        if (status == LUM_STATUS_RETURN) {
            if (!ctx->block->returns_directly()) return status;
        } else if (ctx->resumable || !ctxs[ctxs.size() - 2]->resumable) {
            return status;
        }
        goto chain_pop;
    }
    goto switch_to_ctx;
}

chain_pop: {
    // The running context (the top) ended and its caller below goes on:
    // pop and release it, then run the new top.
    std::vector<lum_vm_context*>& ctxs = task.contexts;
    {
        ctxs.pop_back();
        if (ctx->ref_count == 1 && ctx->keep_alive.record() == &lumptr_null_record) {
            // lum_vm_context::release inline for the common case (one holder,
            // no keep-alive instance, on the VM's thread), with the fresh
            // cells for shared slots from this run's stash. A pooled record
            // is kept for the next call of this run.
            if (ctx->home != nullptr) [[likely]] {
                lum_vm_context_free_stacked(ctx, [&] { return stash.take(); });
                goto chain_popped;
            }
            lum_thread_local& tl = lum_get_thread_local();
            lum_vm* vm = tl.vm;
            if (vm == nullptr || vm->lock.owner.load(std::memory_order_relaxed) == tl.thread_id) {
                ctx->ref_count = 0;
                lum_vm_context_reset_record(ctx, [&] { return stash.take(); });
                lum_vm_context_return_record(ctx, vm);
                goto chain_popped;
            }
        }
        // A record that may outlive the pop keeps the position past its last
        // instruction, as the end of a run saves it (a return comes here
        // before saving it; a record released at once is seen by nobody).
        ctx->ip = ip;
        ctx->resumable = 1;
        ctx->resume_offset = static_cast<uint32_t>(ip - code);
        lum_vm_context::release(ctx);
    chain_popped:
        // From here task continuation's next step is to run the new top;
        // status 0 tells it so when this loop does not. (Every context on a
        // task's stack is the task's own and has a block: nothing to test.)
        ctx = ctxs.back();
        if (task.stop) return LUM_STATUS_RUNNING;
    }
}

// Makes `ctx` the running context: its block's code and its slots. A block's
// code does not change while it runs, so a switch within one block (a
// recursive call, a return into a caller running the same block) keeps the
// bounds.
#define LUM_RUN_CONTEXT()                                       \
    do {                                                        \
        if (ctx->block != block) {                              \
            block = ctx->block;                                 \
            code = block->code_begin();                         \
            end = block->code_end();                            \
            safe_end = safe_end_of(*block, code, end);          \
        }                                                       \
        slots = ctx->slots.data();                              \
        slot_count = ctx->slots.size();                         \
    } while (0)

switch_to_ctx:
    // `ctx` (the task's top context) runs next.
    LUM_RUN_CONTEXT();
    goto enter;

switch_to_callee:
    // A prepared script callee (from the pending contexts) runs next. Its
    // initialisation left it running with no native call, no resume point
    // and no operator call in progress, and nothing but its argument slots
    // changed since: it starts at its first byte.
    LUM_RUN_CONTEXT();
    ctx->resumable = 1;
    ip = code;
    ctx->ip = ip;
    if (__builtin_expect(ip >= safe_end, 0)) goto boundary;
    goto* labels[*ip];
#undef LUM_RUN_CONTEXT
}

uint32_t lum_interpret(lum_program_block* block, lum_vm_context* context) {
    return interpret_core(block, context, nullptr);
}

uint32_t lum_interpret_task(lum_task* task, size_t base, uint32_t limit) {
    lum_vm_context* top = task->contexts.back();
    const chain_settings chain{base, limit};
    return interpret_core(top->block, top, &chain);
}
