#include "kernel/compiler/check_stmts.h"

#include <string>
#include <utility>
#include <vector>

#include "kernel/compiler/check_ops.h"
#include "kernel/compiler/emit.h"
#include "kernel/exec/bytecode.h"

namespace {

lumk_type plain(lumk_type t) {
    t.is_const = 0;
    return t;
}

bool is_builtin_register_name(const std::string& n) {
    return n == "gid" || n == "gsize" || n == "gid_x" || n == "gid_y" || n == "gsize_x" || n == "gsize_y";
}

// The three refusals shared by every assignment to a checked target.
void check_target_location(lumk_checker& ck, const lumk_operand& loc, const lumk_token& at) {
    if (!loc.is_location()) lumk_error_at(ck, at, "cannot assign to this expression");
    if (loc.array_count != 0) lumk_error_at(ck, at, "cannot assign to an array, assign its elements");
    if (loc.read_only) lumk_error_at(ck, at, "cannot write through a const pointer");
}

lumk_operand pointer_of_local(const lumk_local& l) {
    lumk_operand p;
    p.kind = LUMK_OPND_PTR;
    p.type = l.type;
    p.type.is_pointer = 0;
    p.slot = l.slot;
    p.index = l.reg;
    return p;
}

void check_loop(lumk_checker& ck, const lumk_stmt& s) {
    lumk_enter_scope(ck);
    if (s.kind == lumk_stmt_kind::for_loop && s.first) lumk_check_statement(ck, *s.first);
    const uint32_t head = lumk_new_label(ck);
    const uint32_t cont = lumk_new_label(ck);
    const uint32_t brk = lumk_new_label(ck);
    lumk_place_label(ck, head);
    if (s.expr) lumk_emit_condition(ck, *s.expr, false, brk);
    ck.loops.push_back(lumk_loop_labels{brk, cont});
    lumk_check_scoped(ck, *s.body);
    ck.loops.pop_back();
    lumk_place_label(ck, cont);
    if (s.kind == lumk_stmt_kind::for_loop && s.second) {
        if (s.second->kind == lumk_stmt_kind::decl)
            lumk_error_at(ck, s.second->token, "the step of a for loop cannot declare variables");
        lumk_check_statement(ck, *s.second);
    }
    lumk_emit_jump(ck, LUMK_LOOP, head, 0, 0);
    lumk_place_label(ck, brk);
    lumk_leave_scope(ck);
}

// An if statement and the "else if" links that continue it, in a loop: a
// chain of any length checks at the nesting depth of its first link. Each
// link jumps past the whole chain after its branch; every such label lands
// on the instruction after the chain.
void check_if_chain(lumk_checker& ck, const lumk_stmt& first) {
    std::vector<uint32_t> exits;
    const lumk_token* const saved_tok = ck.tok;
    for (const lumk_stmt* s = &first;;) {
        ck.tok = &s->token;  // the link's instructions carry its own line
        const uint32_t e = lumk_new_label(ck);
        lumk_emit_condition(ck, *s->expr, false, e);
        lumk_check_scoped(ck, *s->first);
        if (!s->second) {
            lumk_place_label(ck, e);
            break;
        }
        exits.push_back(lumk_new_label(ck));
        lumk_emit_jump(ck, LUMK_JMP, exits.back(), 0, 0);
        lumk_place_label(ck, e);
        if (s->second->kind != lumk_stmt_kind::if_else) {
            lumk_check_scoped(ck, *s->second);
            break;
        }
        s = s->second.get();
    }
    ck.tok = saved_tok;
    for (const uint32_t x : exits) lumk_place_label(ck, x);
}

// Stores the checked value `v` to the location `loc`: a struct copy, else the
// value converted to the location's type.
void store_value(lumk_checker& ck, const lumk_operand& loc, const lumk_operand& v, const lumk_token& at) {
    if (loc.type.prim == LUMK_PRIM_STRUCT) {
        lumk_copy_struct(ck, loc, v, at);
        return;
    }
    const lumk_operand c = lumk_convert_implicit(ck, v, loc.type, at);
    lumk_emit_store(ck, loc, lumk_operand_value(ck, c, at));
}

}  // namespace

void lumk_check_statement(lumk_checker& ck, const lumk_stmt& s) {
    lumk_depth_guard depth(ck, s.token);
    lumk_token_scope scope(ck, s.token);
    switch (s.kind) {
        case lumk_stmt_kind::block:
            lumk_enter_scope(ck);
            for (const lumk_stmt_ptr& st : s.statements) lumk_check_statement(ck, *st);
            lumk_leave_scope(ck);
            break;
        case lumk_stmt_kind::decl: lumk_check_var_decl(ck, s); break;
        case lumk_stmt_kind::assign: lumk_check_assignment(ck, s); break;
        case lumk_stmt_kind::incdec:
            lumk_check_compound_assignment(ck, *s.expr, s.op == "++" ? "+" : "-", nullptr, lumk_int_literal(1, false),
                                           s.token);
            break;
        case lumk_stmt_kind::expr:
            if (s.expr->kind != lumk_expr_kind::call)
                lumk_error_at(ck, s.token, "this expression does nothing (only calls can be statements)");
            lumk_check_expr(ck, *s.expr);
            break;
        case lumk_stmt_kind::if_else: check_if_chain(ck, s); break;
        case lumk_stmt_kind::for_loop:
        case lumk_stmt_kind::while_loop: check_loop(ck, s); break;
        case lumk_stmt_kind::break_stmt:
        case lumk_stmt_kind::continue_stmt: {
            const bool brk = s.kind == lumk_stmt_kind::break_stmt;
            if (ck.loops.empty())
                lumk_error_at(ck, s.token, std::string("'") + (brk ? "break" : "continue") + "' outside of a loop");
            lumk_emit_jump(ck, LUMK_JMP, brk ? ck.loops.back().break_label : ck.loops.back().continue_label, 0, 0);
            break;
        }
        case lumk_stmt_kind::return_stmt: lumk_check_return(ck, s); break;
        case lumk_stmt_kind::unchecked_block: {
            const uint8_t saved = ck.unchecked;
            ck.unchecked = 1;
            lumk_check_scoped(ck, *s.first);
            ck.unchecked = saved;
            break;
        }
        case lumk_stmt_kind::empty: break;
    }
}

void lumk_check_scoped(lumk_checker& ck, const lumk_stmt& s) {
    lumk_enter_scope(ck);
    lumk_check_statement(ck, s);
    lumk_leave_scope(ck);
}

// ---- Conditions -------------------------------------------------------------

void lumk_emit_condition(lumk_checker& ck, const lumk_expr& cond, bool jump_if, uint32_t label) {
    lumk_depth_guard depth(ck, cond.token);
    lumk_token_scope scope(ck, cond.token);
    if (cond.kind == lumk_expr_kind::unary && cond.op == "!") {
        lumk_emit_condition(ck, *cond.children[0], !jump_if, label);
        return;
    }
    if (cond.kind == lumk_expr_kind::binary && (cond.op == "&&" || cond.op == "||")) {
        const bool is_and = cond.op == "&&";
        if (is_and != jump_if) {
            lumk_emit_condition(ck, *cond.children[0], jump_if, label);
            lumk_emit_condition(ck, *cond.children[1], jump_if, label);
        } else {
            const uint32_t m = lumk_new_label(ck);
            lumk_emit_condition(ck, *cond.children[0], !jump_if, m);
            lumk_emit_condition(ck, *cond.children[1], jump_if, label);
            lumk_place_label(ck, m);
        }
        return;
    }
    if (cond.kind == lumk_expr_kind::binary && lumk_is_comparison(cond.op)) {
        // Both operands are loaded first: a vector or struct operand fails
        // there, as any other aggregate used as a value.
        const lumk_operand l = lumk_load_value(ck, lumk_check_expr(ck, *cond.children[0]), cond.token);
        const lumk_operand r = lumk_load_value(ck, lumk_check_expr(ck, *cond.children[1]), cond.token);
        const bool pointer = l.kind == LUMK_OPND_PTR || r.kind == LUMK_OPND_PTR;
        const bool constants = l.kind == LUMK_OPND_CONST && r.kind == LUMK_OPND_CONST;
        if (!pointer && !constants) {
            const lumk_prim k = lumk_common_type(ck, l, r, cond.op, cond.token);
            const lumk_type t{k};
            const lumk_operand lc = lumk_convert_implicit(ck, l, t, cond.token);
            const lumk_operand rc = lumk_convert_implicit(ck, r, t, cond.token);
            const uint16_t op = lumk_compare_opcode(ck, static_cast<uint32_t>(lumk_compare_index(cond.op)), k,
                                                    jump_if ? 1 : 2, cond.token);
            const uint16_t a = lumk_operand_value(ck, lc, cond.token);
            const uint16_t b = lumk_operand_value(ck, rc, cond.token);
            lumk_emit_jump(ck, op, label, a, b);
            return;
        }
        lumk_emit_branch(ck, lumk_check_binary(ck, cond.op, l, r, cond.token), jump_if, label, cond.token);
        return;
    }
    lumk_emit_branch(ck, lumk_check_expr(ck, cond), jump_if, label, cond.token);
}

void lumk_emit_branch(lumk_checker& ck, const lumk_operand& value, bool jump_if, uint32_t label, const lumk_token& at) {
    const lumk_operand v = lumk_load_value(ck, value, at);
    if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_TYPED && v.type.prim == LUMK_PRIM_BOOL) {
        if ((v.bits != 0) == jump_if) lumk_emit_jump(ck, LUMK_JMP, label, 0, 0);
        return;
    }
    if (v.kind == LUMK_OPND_REG && v.type.prim == LUMK_PRIM_BOOL) {
        lumk_emit_jump(ck, jump_if ? LUMK_JT : LUMK_JF, label, v.reg, 0);
        return;
    }
    lumk_error_at(ck, at, "a condition must be a bool but got a " + lumk_describe_operand(ck, v) + " (write x != 0)");
}

// ---- Declarations and initializers ------------------------------------------

void lumk_check_var_decl(lumk_checker& ck, const lumk_stmt& decl) {
    const lumk_type t = lumk_check_declared_type(ck, decl.type, "variables");
    lumk_type elem_type = t;
    elem_type.is_pointer = 0;
    elem_type.is_const = 0;
    const uint32_t elem = lumk_type_size(ck, elem_type);

    for (size_t i = 0; i < decl.declarators.size(); ++i) {
        const lumk_declarator& d = decl.declarators[i];
        const lumk_expr* size = i < decl.array_sizes.size() ? decl.array_sizes[i].get() : nullptr;
        const lumk_expr* init = d.init.get();
        lumk_local local;
        local.name = d.name.text;
        if (size) {
            if (t.is_pointer) lumk_error_at(ck, decl.token, "arrays of pointers are not supported");
            if (t.prim == LUMK_PRIM_BOOL) lumk_error_at(ck, decl.token, "bool arrays are not supported (use u8)");
            const uint32_t n = lumk_eval_array_size(ck, *size);
            const uint64_t bytes = static_cast<uint64_t>(n) * elem;
            const uint32_t off = lumk_frame_alloc(ck, bytes, d.name);
            const lumk_operand loc = lumk_frame_operand(ck, elem_type, off, n, elem);
            lumk_zero_location(ck, loc, bytes);
            if (init) lumk_check_initializer(ck, loc, *init);
            local.type = elem_type;
            local.in_frame = 1;
            local.frame_offset = off;
            local.array_count = n;
            local.stride = elem;
        } else if (t.prim == LUMK_PRIM_STRUCT && !t.is_pointer) {
            const uint32_t off = lumk_frame_alloc(ck, elem, d.name);
            const lumk_operand loc = lumk_frame_operand(ck, elem_type, off, 0, elem);
            if (!init || init->kind == lumk_expr_kind::brace) lumk_zero_location(ck, loc, elem);
            if (init) lumk_check_initializer(ck, loc, *init);
            local.type = elem_type;
            local.in_frame = 1;
            local.frame_offset = off;
            local.stride = elem;
        } else if (!t.is_pointer) {
            if (init && init->kind == lumk_expr_kind::brace)
                lumk_error_at(ck, init->token,
                              "a {...} list initializes arrays, structs and vectors, not a " +
                                  lumk_type_text(ck, elem_type));
            const uint16_t r = lumk_new_register(ck);
            if (init)
                lumk_assign_register(ck, lumk_check_expr(ck, *init), r, elem_type, init->token);
            else
                lumk_emit(ck, LUMK_MOV, r, lumk_add_constant(ck, t.prim, 0), 0, 0);
            local.type = elem_type;
            local.reg = r;
        } else {
            if (!init)
                lumk_error_at(ck, decl.token,
                              "pointer variables must be initialized ('" + lumk_type_text(ck, t) + " " + d.name.text +
                                  " = p;')");
            const lumk_operand c = lumk_convert_implicit(ck, lumk_check_expr(ck, *init), t, init->token);
            const uint16_t r = lumk_new_register(ck);
            lumk_emit(ck, LUMK_MOV, r, lumk_index_or_zero(ck, c.index), 0, 0);
            local.type = t;
            local.reg = r;
            local.slot = c.slot;
        }
        lumk_check_local_name(ck, d.name);
        ck.scopes.back().push_back(std::move(local));
    }
}

void lumk_check_initializer(lumk_checker& ck, const lumk_operand& target, const lumk_expr& init) {
    lumk_token_scope scope(ck, init.token);
    if (init.kind != lumk_expr_kind::brace) {
        if (target.array_count != 0) lumk_error_at(ck, init.token, "arrays are initialized with a list ('{1, 2, 3}')");
        store_value(ck, target, lumk_check_expr(ck, init), init.token);
        return;
    }
    const size_t n = init.children.size();
    if (target.array_count != 0) {
        if (n > target.array_count)
            lumk_error_at(ck, init.children[target.array_count]->token,
                          "too many values for an array of " + std::to_string(target.array_count));
        for (size_t i = 0; i < n; ++i) {
            lumk_operand e = target;
            e.byte_offset = target.byte_offset + i * target.stride;
            e.array_count = 0;
            lumk_check_initializer(ck, e, *init.children[i]);
        }
        return;
    }
    if (target.type.prim == LUMK_PRIM_STRUCT) {
        const lumk_struct_layout& s = ck.unit.structs[static_cast<size_t>(target.type.struct_index)];
        if (n > s.fields.size())
            lumk_error_at(ck, init.children[s.fields.size()]->token,
                          "too many values for '" + s.name + "' (" + std::to_string(s.fields.size()) + " fields)");
        for (size_t i = 0; i < n; ++i) {
            const lumk_struct_field& f = ck.unit.structs[static_cast<size_t>(target.type.struct_index)].fields[i];
            lumk_check_initializer(ck, lumk_field_location(target, f), *init.children[i]);
        }
        return;
    }
    lumk_error_at(ck, init.token,
                  "a {...} list initializes arrays, structs and vectors, not a " + lumk_type_text(ck, target.type));
}

lumk_operand lumk_struct_value(lumk_checker& ck, const lumk_expr& expr, const lumk_type& type) {
    const lumk_type st = plain(type);
    if (expr.kind == lumk_expr_kind::brace) {
        const uint32_t size = lumk_type_size(ck, st);
        const uint32_t off = lumk_frame_alloc(ck, size, expr.token);
        const lumk_operand loc = lumk_frame_operand(ck, st, off, 0, size);
        lumk_zero_location(ck, loc, size);
        lumk_check_initializer(ck, loc, expr);
        return loc;
    }
    const lumk_operand v = lumk_check_expr(ck, expr);
    if (v.is_location() && v.type.prim == LUMK_PRIM_STRUCT && v.type.struct_index == st.struct_index &&
        v.array_count == 0)
        return v;
    lumk_error_at(ck, expr.token,
                  "expected a " + lumk_type_text(ck, st) + " but got a " + lumk_describe_operand(ck, v));
}

// ---- Assignments ------------------------------------------------------------

const lumk_local* lumk_assign_target_var(lumk_checker& ck, const lumk_expr& target) {
    if (target.kind != lumk_expr_kind::name) return nullptr;
    const std::string& n = target.name;
    if (const lumk_local* l = lumk_find_local(ck, n)) {
        if (l->read_only)
            lumk_error_at(ck, target.token,
                          "kernel parameters are read only, copy '" + n + "' into a local variable first");
        return l;
    }
    if (is_builtin_register_name(n)) lumk_error_at(ck, target.token, "'" + n + "' is read only");
    if (ck.constants.count(n)) lumk_error_at(ck, target.token, "'" + n + "' is a constant");
    lumk_error_at(ck, target.token, "unknown name '" + n + "'");
}

void lumk_check_assignment(lumk_checker& ck, const lumk_stmt& s) {
    const lumk_expr& target = *s.expr;
    const lumk_expr& value = *s.value;
    if (s.op != "=") {
        const std::string op = s.op.substr(0, s.op.size() - 1);
        lumk_check_compound_assignment(ck, target, op, &value, lumk_operand{}, s.token);
        return;
    }
    const lumk_local* var = lumk_assign_target_var(ck, target);
    if (var && !var->in_frame) {
        const lumk_local l = *var;  // the scope vectors may grow while the value is checked
        if (!l.type.is_pointer) {
            lumk_assign_register(ck, lumk_check_expr(ck, value), l.reg, l.type, value.token);
            return;
        }
        const lumk_operand c = lumk_convert_implicit(ck, lumk_check_expr(ck, value), l.type, value.token);
        if (c.slot != l.slot)
            lumk_error_at(ck, value.token,
                          "pointer variable '" + l.name + "' points into '" + lumk_pointer_param_name(ck, c.slot) +
                              "' and cannot be set to another parameter");
        lumk_emit(ck, LUMK_MOV, l.reg, lumk_index_or_zero(ck, c.index), 0, 0);
        return;
    }
    const lumk_operand loc = lumk_check_expr(ck, target);
    check_target_location(ck, loc, target.token);
    store_value(ck, loc, lumk_check_expr(ck, value), value.token);
}

void lumk_check_compound_assignment(lumk_checker& ck, const lumk_expr& target, std::string_view op,
                                    const lumk_expr* value_expr, const lumk_operand& constant, const lumk_token& at) {
    auto value = [&]() { return value_expr ? lumk_check_expr(ck, *value_expr) : constant; };
    const lumk_local* var = lumk_assign_target_var(ck, target);
    if (var && !var->in_frame) {
        const lumk_local l = *var;
        if (l.type.is_pointer) {
            if (op != "+" && op != "-")
                lumk_error_at(ck, at, "only += and -= (and ++ / --) are defined for pointers");
            const lumk_operand np = lumk_pointer_offset(ck, pointer_of_local(l), value(), op == "-", at);
            if (np.index == l.reg) return;
            lumk_program& p = *ck.prog;
            if (!p.code.empty()) {
                lumk_insn& last = p.code.back();
                if (lumk_op_format(last.op)[0] == 'D' && last.a == np.index) {
                    last.a = l.reg;
                    return;
                }
            }
            lumk_emit(ck, LUMK_MOV, l.reg, lumk_index_or_zero(ck, np.index), 0, 0);
            return;
        }
        const lumk_operand cur = lumk_reg_operand(l.type.prim, l.reg, -1);
        const lumk_operand r = lumk_check_binary(ck, op, cur, value(), at);
        lumk_assign_register(ck, r, l.reg, l.type, at);
        return;
    }
    const lumk_operand loc = lumk_check_expr(ck, target);
    check_target_location(ck, loc, target.token);
    if (loc.type.prim != LUMK_PRIM_STRUCT) {
        const uint16_t reg = lumk_new_register(ck);
        lumk_emit_load(ck, loc, reg);
        const lumk_operand cur =
            lumk_reg_operand(loc.type.prim, reg, static_cast<int32_t>(ck.prog->code.size() - 1));
        store_value(ck, loc, lumk_check_binary(ck, op, cur, value(), at), at);
        return;
    }
    if (!lumk_is_vector(ck, loc)) lumk_error_at(ck, at, "'" + std::string(op) + "=' is not defined for structs");
    const lumk_operand r = lumk_check_binary(ck, op, loc, value(), at);
    if (lumk_is_vector(ck, r) && r.type.struct_index == loc.type.struct_index) {
        const uint16_t d = lumk_location_address(ck, loc);
        const uint16_t s = lumk_location_address(ck, r);
        lumk_emit(ck, LUMK_COPY, d, s, 0, lumk_type_size(ck, loc.type));
        return;
    }
    const std::string tt = lumk_type_text(ck, loc.type);
    if (lumk_is_vector(ck, r))
        lumk_error_at(ck, at,
                      "the result is a " + lumk_describe_operand(ck, r) + ", not a " + lumk_describe_operand(ck, loc) +
                          " (write v = " + tt + "(v " + std::string(op) + " ...))");
    lumk_error_at(ck, at, "expected a " + tt + " but got a " + lumk_describe_operand(ck, r));
}

// ---- Return -----------------------------------------------------------------

void lumk_check_return(lumk_checker& ck, const lumk_stmt& s) {
    const lumk_expr* e = s.expr.get();
    const lumk_type rt = ck.ret.result_type;
    const bool scalar = rt.prim != LUMK_PRIM_STRUCT;
    if (ck.ret.is_entry) {
        lumk_program& p = *ck.prog;
        if (!p.reductions.empty()) {
            if (!e)
                lumk_error_at(ck, s.token,
                              "this kernel must return a " + lumk_type_text(ck, rt) + " (it is reduced with " +
                                  ck.reduce_text + ")");
            if (scalar) {
                if (e->kind == lumk_expr_kind::brace) lumk_error_at(ck, e->token, "a {...} list needs a struct result");
                const lumk_operand c = lumk_convert_implicit(ck, lumk_check_expr(ck, *e), rt, e->token);
                const uint16_t v = lumk_operand_value(ck, c, e->token);
                const lumk_reduction red = p.reductions[0];
                const uint16_t op = lumk_reduce_insn(red.op, red.prim);
                if (op == 0) lumk_internal_error(ck, "reduction without an opcode");
                lumk_emit(ck, op, red.reg, red.reg, v, 0);
            } else {
                const lumk_operand sv = lumk_struct_value(ck, *e, rt);
                const std::vector<lumk_reduction> reds = p.reductions;
                for (const lumk_reduction& red : reds) {
                    lumk_operand f = sv;
                    f.byte_offset = sv.byte_offset + red.offset;
                    f.type = lumk_type{};
                    f.type.prim = red.prim;
                    f.array_count = 0;
                    f.stride = lumk_prim_size(red.prim);
                    const uint16_t r = lumk_new_register(ck);
                    lumk_emit_load(ck, f, r);
                    const uint16_t op = lumk_reduce_insn(red.op, red.prim);
                    if (op == 0) lumk_internal_error(ck, "reduction without an opcode");
                    lumk_emit(ck, op, red.reg, red.reg, r, 0);
                }
            }
        } else if (e) {
            lumk_error_at(ck, e->token, "a void kernel cannot return a value");
        }
        lumk_emit(ck, LUMK_END, 0, 0, 0, 0);
        return;
    }
    if (rt.prim != LUMK_PRIM_VOID) {
        if (!e) lumk_error_at(ck, s.token, "this function must return a " + lumk_type_text(ck, rt));
        if (scalar) {
            if (e->kind == lumk_expr_kind::brace) lumk_error_at(ck, e->token, "a {...} list needs a struct result");
            lumk_assign_register(ck, lumk_check_expr(ck, *e), ck.ret.result_reg, rt, e->token);
        } else {
            const lumk_operand sv = lumk_struct_value(ck, *e, rt);
            lumk_copy_struct(ck, ck.ret.result_loc, sv, e->token);
        }
    } else if (e) {
        lumk_error_at(ck, e->token, "a void function cannot return a value");
    }
    lumk_emit_jump(ck, LUMK_JMP, ck.ret.return_label, 0, 0);
}

// ---- Inline helpers ---------------------------------------------------------

lumk_operand lumk_inline_call(lumk_checker& ck, const lumk_kernel_decl& decl, const std::vector<lumk_operand>& args,
                              const lumk_token& call, const std::vector<const lumk_token*>& arg_tokens) {
    for (const lumk_kernel_decl* h : ck.expansions)
        if (h == &decl)
            lumk_error_at(ck, call,
                          "recursive call of '" + decl.name +
                              "' (kernel helpers are inlined, recursion is not possible)");
    if (++ck.expansion_count > LUMK_MAX_EXPANSIONS)
        lumk_error_at(ck, call, "kernel is too large (too many inline helper expansions)");
    const lumk_type rt = plain(lumk_check_result_type(ck, decl));
    if (decl.reduce.present) lumk_error_at(ck, decl.reduce.token, "only entry kernels can have a reduction");

    std::vector<lumk_local> params;
    for (size_t i = 0; i < decl.params.size(); ++i) {
        const lumk_param_decl& pd = decl.params[i];
        const lumk_token& at = *arg_tokens[i];
        const lumk_type t = lumk_check_declared_type(ck, pd.type, "parameters");
        lumk_local l;
        l.name = pd.name.text;
        if (t.is_pointer) {
            const lumk_operand c = lumk_convert_implicit(ck, args[i], t, at);
            const uint16_t r = lumk_new_register(ck);
            lumk_emit(ck, LUMK_MOV, r, lumk_index_or_zero(ck, c.index), 0, 0);
            l.type = t;
            l.reg = r;
            l.slot = c.slot;
        } else if (t.prim == LUMK_PRIM_STRUCT) {
            const lumk_type st = plain(t);
            const uint32_t size = lumk_type_size(ck, st);
            const uint32_t off = lumk_frame_alloc(ck, size, at);
            lumk_copy_struct(ck, lumk_frame_operand(ck, st, off, 0, size), args[i], at);
            l.type = st;
            l.in_frame = 1;
            l.frame_offset = off;
            l.stride = size;
        } else {
            const uint16_t r = lumk_new_register(ck);
            lumk_assign_register(ck, args[i], r, plain(t), at);
            l.type = plain(t);
            l.reg = r;
        }
        params.push_back(std::move(l));
    }

    lumk_operand result;
    uint16_t result_reg = 0;
    if (rt.prim == LUMK_PRIM_STRUCT) {
        const uint32_t size = lumk_type_size(ck, rt);
        const uint32_t off = lumk_frame_alloc(ck, size, call);
        result = lumk_frame_operand(ck, rt, off, 0, size);
    } else if (rt.prim != LUMK_PRIM_VOID) {
        result_reg = lumk_new_register(ck);
        result = lumk_reg_operand(rt.prim, result_reg, -1);
    }

    std::vector<lumk_loop_labels> saved_loops = std::move(ck.loops);
    ck.loops.clear();
    const uint8_t saved_unchecked = ck.unchecked;
    ck.unchecked = 0;
    const lumk_return_context saved_ret = ck.ret;
    const size_t saved_func = ck.func_scope;

    lumk_enter_scope(ck);
    ck.func_scope = ck.scopes.size() - 1;
    for (size_t i = 0; i < params.size(); ++i) {
        lumk_check_local_name(ck, decl.params[i].name);
        ck.scopes.back().push_back(params[i]);
    }
    lumk_return_context rc;
    rc.is_entry = 0;
    rc.result_type = rt;
    rc.result_reg = result_reg;
    rc.result_loc = result;
    rc.return_label = lumk_new_label(ck);
    ck.ret = rc;
    if (rt.prim != LUMK_PRIM_VOID && !lumk_returns_on_all_paths(*decl.body))
        lumk_error_at(ck, decl.name_token, "'" + decl.name + "' does not return a value on every path");

    ck.expansions.push_back(&decl);
    lumk_check_statement(ck, *decl.body);
    ck.expansions.pop_back();
    lumk_place_label(ck, rc.return_label);
    lumk_leave_scope(ck);

    ck.loops = std::move(saved_loops);
    ck.unchecked = saved_unchecked;
    ck.ret = saved_ret;
    ck.func_scope = saved_func;
    return result;
}

bool lumk_returns_on_all_paths(const lumk_stmt& s) {
    switch (s.kind) {
        case lumk_stmt_kind::block:
            for (const lumk_stmt_ptr& st : s.statements)
                if (lumk_returns_on_all_paths(*st)) return true;
            return false;
        case lumk_stmt_kind::if_else: {
            // An "else if" chain is walked link by link, not recursively.
            const lumk_stmt* link = &s;
            for (; link->kind == lumk_stmt_kind::if_else; link = link->second.get())
                if (!link->first || !link->second || !lumk_returns_on_all_paths(*link->first)) return false;
            return lumk_returns_on_all_paths(*link);
        }
        case lumk_stmt_kind::return_stmt: return true;
        case lumk_stmt_kind::unchecked_block: return s.first && lumk_returns_on_all_paths(*s.first);
        default: return false;
    }
}
