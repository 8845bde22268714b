#include "vm/fused.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "runtime/value_records.h"
#include "vm/call_record.h"
#include "vm/calls.h"
#include "vm/calls_inline.h"
#include "vm/class.h"
#include "vm/exec.h"
#include "vm/fused_inline.h"
#include "vm/opcode.h"
#include "vm/program_block.h"
#include "vm/symbol_table.h"

namespace {

// Member paths may name other paths as holders; a chain longer than this is
// refused (it can only come from a cycle or malformed code).
constexpr unsigned max_path_depth = 8;

lumvar* resolve_slot(lum_vm_context& ctx, uint8_t kind, uint8_t level, uint32_t slot, unsigned depth) {
    switch (kind) {
    case lum_fexpr::IT_LOCAL:
        return slot < ctx.slots.size() ? ctx.slots[slot].get() : nullptr;
    case lum_fexpr::IT_UP: {
        const std::vector<lum_vm_context*>& stack = ctx.task->contexts;
        if (level >= stack.size()) return nullptr;
        lum_vm_context* c = stack[stack.size() - 1 - level];
        return c != nullptr && slot < c->slots.size() ? c->slots[slot].get() : nullptr;
    }
    case lum_fexpr::IT_GLOBAL: {
        lum_vm_context* g = ctx.scope != nullptr ? ctx.scope->global_context() : nullptr;
        return g != nullptr && slot < g->slots.size() ? g->slots[slot].get() : nullptr;
    }
    case lum_fexpr::IT_SELF: {
        lum_class* self = ctx.self.get();
        return self != nullptr && slot < self->members.size() ? self->members[slot].get() : nullptr;
    }
    case lum_fexpr::IT_PATH: {
        lum_program_block* block = ctx.block;
        if (depth >= max_path_depth || slot >= block->member_paths.size()) return nullptr;
        lum_member_path& path = block->member_paths[slot];
        lumvar* holder = resolve_slot(ctx, path.holder_kind, path.holder_level, path.holder_slot, depth + 1);
        if (holder == nullptr || holder->type != LUMVAR_CLASS || holder->class_holder() == nullptr) return nullptr;
        lum_class* instance = holder->class_holder()->instance.get();
        lum_class_def* def = instance != nullptr ? instance->definition() : nullptr;
        if (def == nullptr) return nullptr;
        if (path.cached_class != reinterpret_cast<uintptr_t>(def)) {
            if (path.name >= block->strings->size()) return nullptr;
            const lum_symbol_entry* entry = def->find_symbol(block->string_at(path.name));
            if (entry == nullptr || entry->from_definition || entry->is_private) return nullptr;
            path.cached_class = reinterpret_cast<uintptr_t>(def);
            path.cached_index = entry->member_index;
        }
        return path.cached_index < instance->members.size() ? instance->members[path.cached_index].get() : nullptr;
    }
    default:
        return nullptr;
    }
}

struct fused_value {
    int64_t i;
    double f;
    bool is_float;
    double as_double() const { return is_float ? f : static_cast<double>(i); }
};

inline bool is_operand(uint8_t kind) {
    return kind <= lum_fexpr::IT_CONST || kind == lum_fexpr::IT_SELF || kind == lum_fexpr::IT_PATH;
}
inline bool is_binary(uint8_t kind) { return kind >= lum_fexpr::IT_ADD && kind <= lum_fexpr::IT_GT; }

// Reads operand item `item` (a slot kind or a constant); false when the
// slot is missing or does not hold a number.
inline bool load_operand(lum_vm_context& ctx, const uint8_t* insn, const uint8_t* item, fused_value& out) {
    using namespace lum_fexpr;
    const uint8_t kind = item[0];
    uint32_t operand;
    std::memcpy(&operand, item + 4, 4);
    if (kind == IT_CONST) {
        if (operand >= MAX_CONSTS) return false;
        const uint8_t* c = insn + CONSTS + operand * 8;
        if (insn[FLOAT_MASK] & (1u << operand)) {
            std::memcpy(&out.f, c, 8);
            out.i = 0;
            out.is_float = true;
        } else {
            std::memcpy(&out.i, c, 8);
            out.f = 0.0;
            out.is_float = false;
        }
        return true;
    }
    const lumvar* cell = kind == IT_LOCAL ? (operand < ctx.slots.size() ? ctx.slots[operand].get() : nullptr)
                                          : resolve_slot(ctx, kind, item[1], operand, 0);
    if (cell == nullptr) return false;
    if (cell->type == LUMVAR_INT) {
        out.i = cell->payload.i;
        out.f = 0.0;
        out.is_float = false;
        return true;
    }
    if (cell->type == LUMVAR_FLOAT) {
        out.f = cell->payload.f;
        out.i = 0;
        out.is_float = true;
        return true;
    }
    return false;
}

// l := l <kind> r for a binary item; false when the operation declines.
inline bool combine(uint8_t kind, fused_value& l, const fused_value& r) {
    return lum_fexpr_apply(kind, l.i, l.f, l.is_float, r.i, r.f, r.is_float);
}

// Evaluates the items of an expression; false when it declines.
bool evaluate(lum_vm_context& ctx, const uint8_t* insn, unsigned count, fused_value& result) {
    using namespace lum_fexpr;
    const uint8_t* items = insn + ITEMS;
    // The common shape: two operands and one operator.
    if (count == 3 && is_binary(items[16]) && is_operand(items[0]) && is_operand(items[8])) {
        fused_value r;
        if (!load_operand(ctx, insn, items, result) || !load_operand(ctx, insn, items + 8, r)) return false;
        return combine(items[16], result, r);
    }
    // Separate arrays: entries are written and read as scalars.
    int64_t iv[MAX_ITEMS];
    double fv[MAX_ITEMS];
    bool fl[MAX_ITEMS];
    unsigned sp = 0;
    for (unsigned n = 0; n < count; ++n) {
        const uint8_t* item = items + n * 8;
        const uint8_t kind = item[0];
        if (is_operand(kind)) {
            fused_value v;
            if (!load_operand(ctx, insn, item, v)) return false;
            iv[sp] = v.i;
            fv[sp] = v.f;
            fl[sp] = v.is_float;
            ++sp;
        } else if (kind == IT_NEG) {
            if (sp < 1) return false;
            if (fl[sp - 1])
                fv[sp - 1] = -fv[sp - 1];
            else
                iv[sp - 1] = lum_wrap_neg(iv[sp - 1]);
        } else if (is_binary(kind)) {
            if (sp < 2) return false;
            --sp;
            fused_value l{iv[sp - 1], fv[sp - 1], fl[sp - 1]};
            const fused_value r{iv[sp], fv[sp], fl[sp]};
            if (!combine(kind, l, r)) return false;
            iv[sp - 1] = l.i;
            fv[sp - 1] = l.f;
            fl[sp - 1] = l.is_float;
        } else {
            return false;
        }
    }
    if (sp != 1) return false;
    result = {iv[0], fv[0], fl[0]};
    return true;
}

}  // namespace

lumvar* lum_fused_slot(lum_vm_context& ctx, uint8_t kind, uint8_t level, uint32_t slot) {
    return resolve_slot(ctx, kind, level, slot, 0);
}

namespace {

// Stores a fused result into the instruction's destination; false when the
// destination cannot take it (nothing is written then).
bool store_result(lum_vm_context& ctx, const uint8_t* insn, const fused_value& result) {
    using namespace lum_fexpr;
    const uint8_t dest_kind = insn[DEST_KIND];
    lum_task& task = *ctx.task;
    if (dest_kind == DEST_TOP) {
        lumvar_shared& top = lum_stack_top(task);
        if (result.is_float)
            lum_set_float(top, result.f);
        else
            lum_set_int(top, result.i);
        return true;
    }
    uint32_t dest_slot;
    std::memcpy(&dest_slot, insn + DEST_SLOT, 4);
    lumvar* dest = dest_kind == DEST_LOCAL ? (dest_slot < ctx.slots.size() ? ctx.slots[dest_slot].get() : nullptr)
                                           : lum_fused_slot(ctx, static_cast<uint8_t>(dest_kind - 1),
                                                            insn[DEST_LEVEL], dest_slot);
    if (dest == nullptr || dest->type < LUMVAR_NONE || dest->type > LUMVAR_FLOAT) return false;
    lum_fexpr_store_number(dest, result.is_float, result.i, result.f);
    if (task.stack.empty()) task.stack.emplace_back();
    lumvar_shared& top = task.stack.back();
    if (top.get() != dest) top = lumvar_shared(dest);
    return true;
}

}  // namespace

bool lum_fused_expression(lum_vm_context& ctx, const uint8_t* insn) {
    using namespace lum_fexpr;
    const unsigned count = insn[COUNT];
    if (count == 0 || count > MAX_ITEMS) return false;
    fused_value result;
    if (!evaluate(ctx, insn, count, result)) return false;
    return store_result(ctx, insn, result);
}

bool lum_fused_call(lum_vm_context& ctx, const uint8_t* insn) {
    using namespace lum_fcall;
    if (insn[ENABLED] == 0) return false;
    lum_task& task = *ctx.task;
    lum_program_block* block = ctx.block;
    const uint32_t argc = insn[ARGC];

    lum_class* instance;
    int64_t index;
    if (insn[SELF_FORM] != 0) {
        instance = ctx.self.get();
        if (instance == nullptr || instance->definition() == nullptr) return false;
        index = lum_read_operand<uint32_t>(insn, MEMBER);
    } else {
        if (task.stack.empty()) return false;
        lumvar* top = task.stack.back().get();
        if (top == nullptr || top->type != LUMVAR_CLASS || top->class_holder() == nullptr) return false;
        instance = top->class_holder()->instance.get();
        if (instance == nullptr) return false;
        lum_class_def* def = instance->definition();
        if (def == nullptr) return false;
        // A temporary instance needs the generic path, which keeps it alive.
        if (top->refcount == 1 && instance->ref_record != nullptr && instance->ref_record->strong == 1) return false;
        const uint32_t cache_index = lum_read_operand<uint32_t>(insn, CACHE);
        if (cache_index >= block->member_cache.size()) return false;
        lum_member_cache_entry& entry = block->member_cache[cache_index];
        if (entry.class_key != reinterpret_cast<uintptr_t>(def)) {
            const uint32_t name = lum_read_operand<uint32_t>(insn, NAME);
            if (name >= block->strings->size()) return false;
            const lum_symbol_entry* symbol = def->find_symbol(block->string_at(name));
            if (symbol == nullptr || !symbol->from_definition) return false;
            const auto* accessing =
                reinterpret_cast<const lum_class_def*>(static_cast<uintptr_t>(lum_read_operand<uint64_t>(insn, CLASS)));
            if (symbol->is_private && !lum_class_def::related(accessing, def)) return false;
            entry.class_key = reinterpret_cast<uintptr_t>(def);
            entry.object_type_key = 0;
            entry.index = static_cast<int32_t>(symbol->member_index);
            entry.from_definition = 1;
        } else if (!entry.from_definition) {
            return false;
        }
        index = entry.index;
    }

    lum_class_def* def = instance->definition();
    if (index < 0 || static_cast<uint64_t>(index) >= def->statics.size()) return false;
    lumvar* cell = def->statics[static_cast<size_t>(index)].get();
    if (cell == nullptr || cell->type != LUMVAR_FUNCTION || cell->function_record() == nullptr) return false;
    lum_program_block* method = cell->function_record()->block.get();
    if (method == nullptr || !method->is_method() || method->is_function_flagged() || method->num_bound != 0)
        return false;
    if (argc > method->num_params) return false;
    if (method->first_default != LUM_NO_DEFAULT && argc != 0 && argc < method->first_default) return false;
    lum_task* creator = instance->scope.get();
    if (creator == nullptr) return false;

    lum_vm_context* callee = lum_vm_context::make(&task, creator->root(), method, instance);
    if (callee == nullptr) return false;
    callee->argc = argc;
    lum_push_script_call(task, callee);
    return true;
}

// ---------------------------------------------------------------------------
// Decoded fused expressions

namespace {

// Whether the instruction at `offset` replaces the value-stack top without
// reading it, on every path it can take: then the top need not become the
// destination cell of a fused expression that runs just before it (nothing
// can see the top in between). Loads of a local slot in range, integer,
// float and none constants, and fused expressions into the top whose
// generic code (run when they decline) starts with such an instruction.
// Each of them also pushes a place when the stack is empty and fills a place
// that `push` left empty.
bool overwrites_top(const lum_program_block& block, uint64_t offset, unsigned depth) {
    const size_t size = block.code.size();
    if (depth > 4 || offset >= size) return false;
    const uint8_t* insn = block.code.data() + offset;
    const uint8_t op = insn[0];
    const size_t n = lum_opcode_size(op);
    if (n == 0 || n > size - offset) return false;
    switch (op) {
    case LUM_OP_LD_L: return lum_read_operand<uint32_t>(insn, lum_operand::B) < block.num_slots;
    case LUM_OP_LDI:
    case LUM_OP_LDF:
    case LUM_OP_NONE: return true;
    case LUM_OP_FEXPR:
        return insn[lum_fexpr::DEST_KIND] == lum_fexpr::DEST_TOP && insn[lum_fexpr::COUNT] != 0 &&
               overwrites_top(block, offset + lum_fexpr::SIZE, depth + 1);
    default: return false;
    }
}

// The straight-line form of the fused expression at `insn` into `line`;
// false when it has none: no items or more than 16, an operand other than a local
// slot below the block's slot count or a constant, an unknown item, or items
// that do not leave exactly one value (the general evaluator declines those).
bool decode_line(const lum_program_block& block, const uint8_t* insn, lum_fexpr_line& line) {
    using namespace lum_fexpr;
    using step = lum_fexpr_line::step;
    const unsigned count = insn[COUNT];
    if (count == 0 || count > lum_fexpr_line::MAX_STEPS) return false;
    const uint8_t* items = insn + ITEMS;
    unsigned depth = 0;  // values on the evaluation stack, the accumulator included
    unsigned steps = 0;
    for (unsigned n = 0; n < count; ++n) {
        const uint8_t* item = items + n * 8;
        const uint8_t kind = item[0];
        const uint32_t operand = lum_read_operand<uint32_t>(item, 4);
        step s{};
        if (kind == IT_LOCAL || kind == IT_CONST) {
            if (kind == IT_LOCAL) {
                if (operand >= block.num_slots) return false;
                s.source = lum_fexpr_line::LOCAL;
                s.slot = operand;
            } else if (operand >= MAX_CONSTS) {
                return false;
            } else if (insn[FLOAT_MASK] & (1u << operand)) {
                s.source = lum_fexpr_line::FLOAT_CONST;
                s.f = lum_read_operand<double>(insn, CONSTS + operand * 8);
            } else {
                s.source = lum_fexpr_line::INT_CONST;
                s.i = lum_read_operand<int64_t>(insn, CONSTS + operand * 8);
            }
            // An operand right before a binary operator (with a value under
            // it) is that operator's right side.
            const uint8_t next = n + 1 < count ? items[(n + 1) * 8] : 0;
            if (depth >= 1 && n + 1 < count && is_binary(next)) {
                s.what = step::APPLY;
                s.op = next;
                ++n;
            } else {
                s.what = step::LOAD;
                ++depth;
            }
        } else if (kind == IT_NEG) {
            if (depth < 1) return false;
            s.what = step::NEG;
        } else if (is_binary(kind)) {
            if (depth < 2) return false;
            s.what = step::APPLY_STACK;
            s.op = kind;
            --depth;
        } else {
            return false;
        }
        line.steps[steps++] = s;
    }
    if (depth != 1) return false;
    const uint8_t dest_kind = insn[DEST_KIND];
    if (dest_kind != DEST_TOP &&
        (dest_kind != DEST_LOCAL || lum_read_operand<uint32_t>(insn, DEST_SLOT) >= block.num_slots))
        return false;
    line.count = static_cast<uint8_t>(steps);
    return true;
}

// Where success goes on: the skip target (never past the end), or, when a
// conditional jump sits there, one of its two successors; the destination
// (a local slot or member of self, else the top) and whether the top may
// keep its cell; the plan-table indexes of the successors.
lum_fexpr_plan& plan_successors(const lum_program_block& block, const uint8_t* insn, lum_fexpr_plan& plan) {
    using namespace lum_fexpr;
    const uint8_t* code = block.code_begin();
    const uint8_t dest_kind = insn[DEST_KIND];
    const uint64_t size = block.code.size();
    const uint64_t target = std::min<uint64_t>(static_cast<uint64_t>(plan.offset) + plan.jump, size);
    plan.next = static_cast<uint32_t>(target);
    plan.branch_target = plan.next;
    bool branch = false;
    if (target + 8 <= size) {
        const uint8_t* jump_insn = code + target;
        if (jump_insn[0] == LUM_OP_JZ || jump_insn[0] == LUM_OP_JNZ) {
            branch = true;
            plan.branch_when = jump_insn[0] == LUM_OP_JNZ ? 1 : 0;
            const int64_t to = static_cast<int64_t>(target) + lum_read_operand<int32_t>(jump_insn, lum_operand::B);
            plan.branch_target = to < 0 || to > static_cast<int64_t>(size) ? static_cast<uint32_t>(size)
                                                                            : static_cast<uint32_t>(to);
            plan.next = static_cast<uint32_t>(target + 8);
        }
    }
    if (dest_kind != DEST_TOP) {
        plan.dest_kind = 1 + (dest_kind == DEST_SELF ? lum_fexpr_plan::SELF : lum_fexpr_plan::LOCAL);
        plan.dest = lum_read_operand<uint32_t>(insn, DEST_SLOT);
        plan.keep_top = !branch && overwrites_top(block, target, 0) ? 1 : 0;
    }
    // Plan-table indexes of the successors (a plan whose tag matches there
    // is a decoded fused expression starting at that offset).
    plan.next_fx = plan.next / SIZE;
    plan.branch_fx = plan.branch_target / SIZE;
    return plan;
}

}  // namespace

const lum_fexpr_plan& lum_fexpr_plan_decode(lum_program_block& block, const uint8_t* insn) {
    using namespace lum_fexpr;
    const uint8_t* code = block.code_begin();
    if (block.fexpr_plans_code != code) {
        block.fexpr_plans.clear();
        block.fexpr_plans_code = code;
    }
    const size_t needed = block.code.size() / SIZE + 1;
    if (block.fexpr_plans.size() < needed) block.fexpr_plans.resize(needed);
    const uint32_t offset = static_cast<uint32_t>(insn - code);
    lum_fexpr_plan& plan = block.fexpr_plans[offset / SIZE];
    plan = lum_fexpr_plan{};
    plan.offset = offset;
    plan.jump = lum_read_operand<uint32_t>(insn, JUMP);
    // The general evaluation (any shape, and the specialised forms when an
    // operand is not an integer) runs the straight-line form when there is one.
    lum_fexpr_line line;
    if (decode_line(block, insn, line)) {
        if (block.fexpr_lines.size() < needed) block.fexpr_lines.resize(needed);
        block.fexpr_lines[offset / SIZE] = line;
        plan.line = 1;
    }

    const uint8_t* items = insn + ITEMS;
    const uint8_t k0 = items[0], k1 = items[8], op = items[16];
    const uint8_t dest_kind = insn[DEST_KIND];
    const bool binary = op >= IT_ADD && op <= IT_GT && op != IT_DIV && op != IT_MOD;
    const uint32_t s0 = lum_read_operand<uint32_t>(items, 4);
    const uint32_t s1 = lum_read_operand<uint32_t>(items, 12);
    const bool int_const = k1 == IT_CONST && s1 < MAX_CONSTS && !(insn[FLOAT_MASK] & (1u << s1));
    const bool int_binary = insn[COUNT] == 3 && binary && (k0 == IT_LOCAL || k0 == IT_SELF) &&
                            (k1 == IT_LOCAL || k1 == IT_SELF || int_const) &&
                            (dest_kind == DEST_TOP || dest_kind == DEST_LOCAL || dest_kind == DEST_SELF);
    if (!int_binary) {
        if (plan.line == 0) return plan;  // GENERAL, read from the instruction
        // GENERAL with a straight-line form: the interpreter stores the
        // result and goes on as for the integer forms (the destination is
        // the top or a local slot below the slot count).
        return plan_successors(block, insn, plan);
    }

    plan.shape = lum_fexpr_plan::INT_BINARY;
    plan.op = op;
    plan.a_kind = k0 == IT_SELF ? lum_fexpr_plan::SELF : lum_fexpr_plan::LOCAL;
    plan.a = s0;
    if (k1 == IT_CONST) {
        plan.b_kind = lum_fexpr_plan::CONST;
        plan.k = lum_read_operand<int64_t>(insn, CONSTS + s1 * 8);
    } else {
        plan.b_kind = k1 == IT_SELF ? lum_fexpr_plan::SELF : lum_fexpr_plan::LOCAL;
        plan.b = s1;
    }
    plan.uses_self = k0 == IT_SELF || k1 == IT_SELF || dest_kind == DEST_SELF;

    plan_successors(block, insn, plan);
    // A conditional jump at the skip target moved `next` past it.
    const bool branch = plan.next != std::min<uint64_t>(static_cast<uint64_t>(offset) + plan.jump, block.code.size());
    // Specialised forms (see lum_fexpr_plan::variant): `a` and the
    // destination both local slots or both members of self (the top as the
    // destination goes with either), `b` a constant or a local slot; every
    // local slot index within the block's slot count, so the interpreter need
    // not test it again. A conditional jump after the result is tested there
    // only for the comparisons (results 0 and 1); other operators feeding a
    // jump take the generic inline path.
    const uint32_t slots = block.num_slots;
    const bool b_ok = plan.b_kind == lum_fexpr_plan::CONST || (plan.b_kind == lum_fexpr_plan::LOCAL && plan.b < slots);
    if (b_ok && (!branch || op >= IT_EQ)) {
        unsigned form = 8;  // none
        if (plan.a_kind == lum_fexpr_plan::LOCAL && plan.a < slots &&
            (dest_kind == DEST_TOP || (dest_kind == DEST_LOCAL && plan.dest < slots)))
            form = dest_kind == DEST_LOCAL ? 1u : 0u;
        else if (plan.a_kind == lum_fexpr_plan::SELF && (dest_kind == DEST_TOP || dest_kind == DEST_SELF))
            form = 4u + (dest_kind == DEST_SELF ? 1u : 0u);
        if (form != 8) {
            form += plan.b_kind == lum_fexpr_plan::LOCAL ? 2u : 0u;
            plan.variant = static_cast<uint8_t>(1 + form * 16 + (op - IT_ADD));
        }
    }
    return plan;
}
