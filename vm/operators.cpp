#include "vm/operators.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "runtime/object.h"
#include "runtime/value_records.h"
#include "types/json_object.h"
#include "types/string_object.h"
#include "vm/class.h"
#include "vm/exec.h"
#include "vm/operator_table.h"
#include "vm/program_block.h"
#include "vm/runtime_error.h"

namespace {

const char* const arith_invalid_prefix[4] = {"Add invalid type: ", "Sub invalid type: ", "Mult invalid type: ",
                                             "Div invalid type: "};
const char* const arith_refused_prefix[4] = {"Cannot add '", "Cannot subtract '", "Cannot multiplicate '",
                                             "Cannot divide '"};

std::string pair_message(std::string_view prefix, lumvar* l, lumvar* r) {
    std::string msg(prefix);
    msg += lum_text_of(l);
    msg += "' and '";
    msg += lum_text_of(r);
    msg += "'";
    return msg;
}

// Integer result of op 0..3 on two integers (division by 0 warns).
int64_t int_arith(unsigned op, int64_t a, int64_t b) {
    switch (op) {
    case 0: return lum_wrap_add(a, b);
    case 1: return lum_wrap_sub(a, b);
    case 2: return lum_wrap_mul(a, b);
    default:
        if (b == 0) {
            runtime_warning("Division by zero!");
            return 0;
        }
        if (b == -1) return lum_wrap_neg(a);
        return a / b;
    }
}

double float_arith(unsigned op, double a, double b) {
    switch (op) {
    case 0: return a + b;
    case 1: return a - b;
    case 2: return a * b;
    default:
        if (b == 0.0) {
            runtime_warning("Division by zero!");
            return 0.0;
        }
        return a / b;
    }
}

// Asks the objects of a type-8 pair: left's forward operation, then right's reverse.
bool object_arith(unsigned op, lumvar* l, lumvar* r, const lumvar_shared& lh, const lumvar_shared& rh,
                  lumvar_shared& result) {
    lumptr_strong<lumobject_base> lo(l->object_raw());
    if (lo) {
        bool done = false;
        switch (op) {
        case 0: done = lo->add(rh, result); break;
        case 1: done = lo->sub(rh, result); break;
        case 2: done = lo->mul(rh, result); break;
        default: done = lo->div(rh, result); break;
        }
        if (done) return true;
    }
    lumptr_strong<lumobject_base> ro(r->object_raw());
    if (ro) {
        switch (op) {
        case 0: return ro->add_reverse(lh, result);
        case 1: return ro->sub_reverse(lh, result);
        case 2: return ro->mul_reverse(lh, result);
        default: return ro->div_reverse(lh, result);
        }
    }
    return false;
}

// A fresh string value: the text of l followed by the text of r, written
// straight into the new string object.
lumvar_shared concat_text(lumvar* l, lumvar* r) {
    std::string left_text;
    std::string_view left;
    if (l->type == LUMVAR_STRING) {
        left = l->string_view_value();
    } else {
        left_text = lum_text_of(l);
        left = left_text;
    }
    // At most one scratch view is in use at a time (the left one is owned or the value's own).
    const std::string_view right = r->string_view_value();
    lumvar_shared out = lumvar_shared::make();
    out->set_type(LUMVAR_STRING);
    if (lum_std_string* s = out->string_object()) {
        s->text.reserve(left.size() + right.size());
        s->text.append(left.data(), left.size());
        s->text.append(right.data(), right.size());
    }
    return out;
}

// A fresh json value holding copies of the entries of both containers, in order.
lumvar_shared json_concat(lumvar* l, lumvar* r) {
    lumvar_shared out = lumvar_shared::make();
    lum_std_json* dst = out->json_object(true);
    for (lumvar* side : {l, r}) {
        lum_std_json* src = side->json_container();
        if (src == nullptr || dst == nullptr) continue;
        // Index-based: the source may be the destination's own source twice.
        const size_t n = src->entries.size();
        for (size_t i = 0; i < n; ++i) {
            const lum_json_entry& e = src->entries[i];
            lumvar_shared& cell = dst->emplace_keyed(e.key ? std::string_view(*e.key) : std::string_view());
            lumvar_shared value = e.value;
            if (value) cell->set(value);
        }
    }
    return out;
}

// Stores argument `value` into slot `i` of a new context: by reference when
// the block asks for it, else as a copy.
void store_slot(lum_vm_context* callee, uint32_t i, const lumvar_shared& value) {
    if (i >= callee->slots.size() || !value) return;
    if (callee->block->slot_flag(i) & LUM_SLOT_BY_REF) {
        callee->slots[i]->set_ref(value.get());
    } else {
        lumvar_shared v = value;
        callee->slots[i]->set(v);
    }
}

lum_class* live_instance(lumvar* v) {
    if (v == nullptr || v->type != LUMVAR_CLASS || v->class_holder() == nullptr) return nullptr;
    return v->class_holder()->instance.get();
}

}  // namespace

// ---------------------------------------------------------------------------
// Script operator methods

bool lum_call_class_operator(lum_vm_context& ctx, lumvar* operand, unsigned op, const lumvar_shared& arg,
                             uint8_t mode, const lumvar_shared& arg2) {
    lum_class* instance = live_instance(operand);
    if (instance == nullptr || op >= LUM_OPERATOR_COUNT) return false;
    lum_class_def* def = instance->definition();
    if (def == nullptr) return false;
    lum_program_block* method = def->operator_block(op);
    if (method == nullptr) return false;

    lum_task& task = *ctx.task;
    const uint32_t nargs = lum_operator_table[op].arguments;
    if (method->num_params < nargs) {
        std::string msg = "invalid argument count: num_params=" + std::to_string(nargs) +
                          ", fn_num_params=" + std::to_string(method->num_params) +
                          ", fn_default_args=" + std::to_string(method->first_default);
        lum_raise_into(ctx, lum_stack_top(task), msg);
        return true;
    }

    lum_task* scope = lum_call_scope(ctx, instance->scope.get());
    lum_vm_context* callee = lum_vm_context::make(&task, scope, method, instance);
    if (callee == nullptr) {
        lum_raise_into(ctx, lum_stack_top(task), "Failed to allocate a pool chunk!");
        return true;
    }
    callee->argc = nargs;
    callee->default_value = 0;
    if (nargs >= 1) store_slot(callee, 0, arg);
    if (nargs >= 2) store_slot(callee, 1, arg2);

    task.stack.push_back(lumvar_shared(operand));
    task.stack.push_back(lumvar_shared::make());
    ctx.pushed += 2;
    task.contexts.push_back(callee);
    ctx.operator_mode = mode;
    ctx.status = LUM_STATUS_CALL;
    return true;
}

void lum_binary_operator_overload(lum_vm_context& ctx, lumvar* left, lumvar* right, unsigned n) {
    lumvar_shared lh(left), rh(right);
    lumvar_shared none;
    if (lum_call_class_operator(ctx, left, n, rh, LUM_OPMODE_RESULT, none)) return;
    if (lum_call_class_operator(ctx, right, n + 8, lh, LUM_OPMODE_RESULT, none)) return;
    std::string msg = "Operator '";
    msg.append(lum_operator_table[n].symbol).append("' is not defined for '");
    msg += lum_text_of(left);
    msg += "' and '";
    msg += lum_text_of(right);
    msg.append("' (implement ").append(lum_operator_table[n].name).append(" or ");
    msg.append(lum_operator_table[n + 8].name).append(")");
    lum_raise_into(ctx, lum_stack_top(*ctx.task), msg);
}

bool lum_compare_overload(lum_vm_context& ctx, lumvar* left, lumvar* right, unsigned n) {
    unsigned s = n;
    switch (n) {
    case LUM_OPERATOR_LT: s = LUM_OPERATOR_GT; break;
    case LUM_OPERATOR_LE: s = LUM_OPERATOR_GE; break;
    case LUM_OPERATOR_GT: s = LUM_OPERATOR_LT; break;
    case LUM_OPERATOR_GE: s = LUM_OPERATOR_LE; break;
    default: break;
    }
    lumvar_shared lh(left), rh(right);
    lumvar_shared none;
    if (lum_call_class_operator(ctx, left, n, rh, LUM_OPMODE_TRUTH, none)) return true;
    if (n == LUM_OPERATOR_NE && lum_call_class_operator(ctx, left, LUM_OPERATOR_EQ, rh, LUM_OPMODE_NEGATED, none))
        return true;
    if (lum_call_class_operator(ctx, right, s, lh, LUM_OPMODE_TRUTH, none)) return true;
    if (n == LUM_OPERATOR_NE && lum_call_class_operator(ctx, right, LUM_OPERATOR_EQ, lh, LUM_OPMODE_NEGATED, none))
        return true;
    return false;
}

void lum_complete_operator_call(lum_vm_context& ctx) {
    const uint8_t mode = ctx.operator_mode;
    ctx.operator_mode = LUM_OPMODE_NONE;
    lumvar_shared result = lum_stack_take(ctx);
    lumvar_shared operand = lum_stack_take(ctx);
    lumvar_shared& place = lum_stack_top(*ctx.task);
    if (!result) result = lumvar_shared::make();
    switch (mode) {
    case LUM_OPMODE_RESULT: place = result; break;
    case LUM_OPMODE_TRUTH: lum_set_int(place, result->compare_zero() ? 0 : 1); break;
    default: lum_set_int(place, result->compare_zero() ? 1 : 0); break;
    }
}

// ---------------------------------------------------------------------------
// Opcode handlers

void lum_op_negate(lum_vm_context& ctx) {
    lum_task& task = *ctx.task;
    lumvar_shared top = lum_stack_top(task);
    lumvar_shared hold;
    lumvar* v = lum_resolved(top, hold);
    if (v->type == LUMVAR_FLOAT) {
        const double f = -v->payload.f;
        lum_set_float(task.stack.back(), f);
        return;
    }
    if (v->type == LUMVAR_INT) {
        const int64_t i = lum_wrap_neg(v->payload.i);
        lum_set_int(task.stack.back(), i);
        return;
    }
    if (!v->is_valid_class()) {
        lum_raise(ctx, "Cannot negate type " + std::to_string(v->type));
        return;
    }
    lumvar_shared none;
    if (lum_call_class_operator(ctx, v, LUM_OPERATOR_NEG, none, LUM_OPMODE_RESULT, none)) return;
    lum_raise(ctx, "Cannot negate '" + lum_text_of(v) + "' (implement __neg__)");
}

void lum_op_arith(lum_vm_context& ctx, unsigned op) {
    lum_task& task = *ctx.task;
    lumvar_shared right = lum_stack_take(ctx);
    lum_stack_ensure(task, 1);
    {
        lumvar* lc = task.stack.back().get();
        lumvar* rc = right.get();
        if (lc->type == LUMVAR_INT && rc->type == LUMVAR_INT) {
            const int64_t r = int_arith(op, lc->payload.i, rc->payload.i);
            lum_set_int(task.stack.back(), r);
            return;
        }
        const uint8_t t = std::max(lc->type, rc->type);
        if (t == LUMVAR_FLOAT) {
            const double a = lc->float_value();
            const double b = rc->float_value();
            lum_set_float(task.stack.back(), float_arith(op, a, b));
            return;
        }
        if (t == LUMVAR_INT) {
            const int64_t a = lc->int_value();
            const int64_t b = rc->int_value();
            lum_set_int(task.stack.back(), int_arith(op, a, b));
            return;
        }
    }
    lumvar_shared left = task.stack.back();
    lumvar_shared lhold, rhold;
    lumvar* l = lum_resolved(left, lhold);
    lumvar* r = lum_resolved(right, rhold);
    const unsigned t = std::max(l->type, r->type);
    switch (t) {
    case LUMVAR_INT: {
        const int64_t a = l->int_value();
        const int64_t b = r->int_value();
        lum_set_int(task.stack.back(), int_arith(op, a, b));
        return;
    }
    case LUMVAR_FLOAT: {
        const double a = l->float_value();
        const double b = r->float_value();
        lum_set_float(task.stack.back(), float_arith(op, a, b));
        return;
    }
    case LUMVAR_STRING:
    case LUMVAR_BINARY:
        if (op != 0) break;
        task.stack.back() = concat_text(l, r);
        return;
    case LUMVAR_JSON: {
        if (op != 0) break;
        task.stack.back() = lumvar_shared::make();
        if (l->type == LUMVAR_STRING || r->type == LUMVAR_STRING) {
            task.stack.back() = concat_text(l, r);
        } else if (l->type == LUMVAR_JSON && r->type == LUMVAR_JSON) {
            task.stack.back() = json_concat(l, r);
        } else {
            lum_raise_into(ctx, task.stack.back(), pair_message("Cannot add '", l, r));
        }
        return;
    }
    case LUMVAR_OBJECT: {
        lumvar_shared lh = lhold ? lhold : left;
        lumvar_shared rh = rhold ? rhold : right;
        task.stack.back() = lumvar_shared::make();
        lumvar_shared result = lumvar_shared::make();
        if (object_arith(op, l, r, lh, rh, result)) {
            lum_stack_top(task) = result ? result : lumvar_shared::make();
        } else {
            lum_raise_into(ctx, lum_stack_top(task), pair_message(arith_refused_prefix[op], l, r));
        }
        return;
    }
    case LUMVAR_CLASS:
        lum_binary_operator_overload(ctx, l, r, op);
        return;
    default:
        break;
    }
    lum_raise(ctx, arith_invalid_prefix[op] + std::to_string(t));
}

namespace {

// The two operands of a binary operator: the right one taken from the top,
// the left one the new top (both held while the operator runs), and their
// values resolved through member references and refs.
struct binary_operands {
    explicit binary_operands(lum_vm_context& ctx) : right(lum_stack_take(ctx)) {
        lum_stack_ensure(*ctx.task, 1);
        left = ctx.task->stack.back();
        l = lum_resolved(left, lhold);
        r = lum_resolved(right, rhold);
    }
    binary_operands(const binary_operands&) = delete;
    binary_operands& operator=(const binary_operands&) = delete;

    bool has_class() const { return l->type == LUMVAR_CLASS || r->type == LUMVAR_CLASS; }
    // A class operand: the operator goes to the class's operator method.
    bool overloaded(lum_vm_context& ctx, unsigned op) {
        if (!has_class()) return false;
        lum_binary_operator_overload(ctx, l, r, op);
        return true;
    }

    lumvar_shared right, left, lhold, rhold;
    lumvar* l = nullptr;
    lumvar* r = nullptr;
};

}  // namespace

void lum_op_mod(lum_vm_context& ctx) {
    binary_operands operands(ctx);
    if (operands.overloaded(ctx, LUM_OPERATOR_MOD)) return;
    lum_task& task = *ctx.task;
    lumvar* l = operands.l;
    lumvar* r = operands.r;
    if (l->type == LUMVAR_FLOAT || r->type == LUMVAR_FLOAT) {
        const double rv = r->float_value();
        if (rv == 0.0) {
            runtime_warning("Modulo by zero!");
            lum_set_float(task.stack.back(), 0.0);
            return;
        }
        const double lv = l->float_value();
        lum_set_float(task.stack.back(), std::fmod(lv, rv));
        return;
    }
    const int64_t a = l->int_value();
    const int64_t b = r->int_value();
    int64_t out = 0;
    if (b == 0)
        runtime_warning("Modulo by zero!");
    else if (b != -1)
        out = a % b;
    lum_set_int(task.stack.back(), out);
}

void lum_op_bitwise(lum_vm_context& ctx, unsigned op) {
    binary_operands operands(ctx);
    if (operands.overloaded(ctx, op)) return;
    const int64_t a = operands.l->int_value();
    const int64_t b = operands.r->int_value();
    const int64_t out = op == LUM_OPERATOR_AND ? (a & b) : op == LUM_OPERATOR_OR ? (a | b) : (a ^ b);
    lum_set_int(ctx.task->stack.back(), out);
}

void lum_op_incdec(lum_vm_context& ctx, bool increment, bool postfix) {
    lum_task& task = *ctx.task;
    lumvar_shared top = lum_stack_top(task);
    const char* failure = increment ? "Cannot increment variable!" : "Cannot decrement variable!";
    if (top->is_member_reference()) {
        lumvar_shared current;
        top->deref(current);
        if (!current) current = lumvar_shared::make();
        lumvar_shared c = lumvar_shared::make();
        {
            lumvar_shared src = current;
            c->set(src);
        }
        if (postfix) {
            lumvar_shared old = lumvar_shared::make();
            lumvar_shared src = current;
            old->set(src);
            task.stack.back() = old;
        }
        const bool ok = increment ? c->increment_value() : c->decrement_value();
        if (!ok) {
            lum_raise(ctx, failure);
            return;
        }
        top->set(c);
        return;
    }
    lumvar_shared v = lum_resolve_handle(top);
    if (postfix) {
        lumvar_shared old = lumvar_shared::make();
        lumvar_shared src = v;
        old->set(src);
        task.stack.back() = old;
    }
    const bool ok = increment ? v->increment_value() : v->decrement_value();
    if (!ok) lum_raise(ctx, failure);
}

void lum_op_compare(lum_vm_context& ctx, uint8_t opcode, uint8_t a) {
    lum_task& task = *ctx.task;
    binary_operands operands(ctx);
    lumvar* l = operands.l;
    lumvar* r = operands.r;
    const bool or_equal = a != 0;
    unsigned n;
    switch (opcode) {
    case 34: n = or_equal ? LUM_OPERATOR_NE : LUM_OPERATOR_EQ; break;
    case 35: n = or_equal ? LUM_OPERATOR_GE : LUM_OPERATOR_GT; break;
    default: n = or_equal ? LUM_OPERATOR_LE : LUM_OPERATOR_LT; break;
    }
    if (operands.has_class() && lum_compare_overload(ctx, l, r, n)) return;
    bool result;
    switch (opcode) {
    case 34: result = lumvar::compare_equal(*l, *r) != or_equal; break;
    case 35: result = lumvar::compare_bigger(*l, *r, or_equal); break;
    default: result = lumvar::compare_smaller(*l, *r, or_equal); break;
    }
    lum_set_int(task.stack.back(), result ? 1 : 0);
}
