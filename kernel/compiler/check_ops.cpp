#include "kernel/compiler/check_ops.h"

#include <bit>
#include <cmath>

#include "kernel/compiler/check_stmts.h"
#include "kernel/compiler/emit.h"
#include "kernel/exec/bytecode.h"

namespace {

bool is_number(lumk_prim p) { return lumk_prim_is_int(p) || lumk_prim_is_float(p); }

// The six kinds that have arithmetic opcodes.
bool is_arith_kind(lumk_prim p) { return p >= LUMK_PRIM_I32 && p <= LUMK_PRIM_F64; }

std::string q(std::string_view op) { return "'" + std::string(op) + "'"; }

std::string prim_text(lumk_prim p) { return lumk_prim_name(p); }

// Default type of a literal (its kind after lumk_resolve_literal).
lumk_prim literal_default(const lumk_operand& v) { return lumk_resolve_literal(v).type.prim; }


[[noreturn]] void overflow(lumk_checker& ck, const lumk_token& at) { lumk_error_at(ck, at, "integer constant overflow"); }

// The bool constant of comparison `ci` (lumk_compare_index order: ==, !=, <,
// <=, >, >=) between two literal values.
template <class T>
lumk_operand compare_literals(int ci, T a, T b) {
    bool r = false;
    switch (ci) {
        case 0: r = a == b; break;
        case 1: r = a != b; break;
        case 2: r = a < b; break;
        case 3: r = a <= b; break;
        case 4: r = a > b; break;
        default: r = a >= b; break;
    }
    return lumk_const_operand(LUMK_PRIM_BOOL, r);
}

}  // namespace

// ---- Unary ------------------------------------------------------------------

lumk_operand lumk_check_address_deref(lumk_checker& ck, const lumk_expr& node) {
    const std::string& op = node.op;
    const lumk_expr& child = *node.children[0];
    if (op == "*") {
        const lumk_operand v = lumk_load_value(ck, lumk_check_expr(ck, child), node.token);
        if (v.kind != LUMK_OPND_PTR)
            lumk_error_at(ck, node.token, "'*' needs a pointer but got a " + lumk_describe_operand(ck, v));
        return lumk_deref_operand(ck, v, LUMK_NO_INDEX);
    }
    if (op == "&") {
        const lumk_operand v = lumk_check_expr(ck, child);
        if (v.kind != LUMK_OPND_MEM || !v.element)
            lumk_error_at(ck, node.token, "'&' only works on array elements ('&p[i]')");
        lumk_operand p;
        p.kind = LUMK_OPND_PTR;
        p.type = v.type;
        p.type.is_pointer = 0;
        p.type.is_const = v.read_only;
        p.slot = v.slot;
        p.index = v.index;
        if (v.index_offset != 0) {
            const uint16_t r = lumk_new_register(ck);
            lumk_emit(ck, LUMK_ADDI_X64, r, lumk_index_or_zero(ck, v.index), 0, v.index_offset);
            p.index = r;
        }
        return p;
    }
    const lumk_operand v = lumk_check_expr(ck, child);
    if (lumk_is_vector(ck, v)) {
        const lumk_struct_layout& s = ck.unit.structs[static_cast<size_t>(v.type.struct_index)];
        std::vector<lumk_operand> lanes;
        for (uint32_t i = 0; i < s.lane_count; ++i) {
            const lumk_operand lane = lumk_load_value(ck, lumk_vector_lane(ck, v, i), node.token);
            lanes.push_back(lumk_check_unary(ck, op, lane, node.token));
        }
        return lumk_build_vector(ck, lanes, node.token);
    }
    return lumk_check_unary(ck, op, lumk_load_value(ck, v, node.token), node.token);
}

lumk_operand lumk_check_unary(lumk_checker& ck, std::string_view op, const lumk_operand& v, const lumk_token& at) {
    if (v.kind == LUMK_OPND_PTR) lumk_error_at(ck, at, q(op) + " cannot be used on a pointer");
    const bool value = v.kind == LUMK_OPND_CONST || v.kind == LUMK_OPND_REG;
    if (op == "+") {
        if (v.is_literal() || (value && is_number(v.type.prim))) return v;
        lumk_error_at(ck, at, "'+' needs a number");
    }
    if (op == "!") {
        if (v.is_literal()) lumk_error_at(ck, at, "'!' needs a bool (write x == 0)");
        if (!value || v.type.prim != LUMK_PRIM_BOOL)
            lumk_error_at(ck, at, "'!' needs a bool but got " + lumk_describe_operand(ck, v) + " (write x == 0)");
        if (v.kind == LUMK_OPND_CONST) return lumk_const_operand(LUMK_PRIM_BOOL, v.bits ? 0 : 1);
        return lumk_emit_unary_op(ck, LUMK_LNOT, LUMK_PRIM_BOOL, v, at);
    }
    if (op == "-") {
        if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_INT) {
            if (v.big || v.ival == INT64_MIN) overflow(ck, at);
            return lumk_int_literal(-v.ival, false);
        }
        if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_FLOAT) return lumk_float_literal(-v.fval);
        const lumk_prim k = lumk_promote(v.type.prim);
        if (!value || !is_number(k))
            lumk_error_at(ck, at, "'-' needs a number but got " + lumk_describe_operand(ck, v));
        const lumk_type t{k};
        const lumk_operand c = lumk_convert_implicit(ck, v, t, at);
        return lumk_emit_unary_op(ck, lumk_op_arith(LUMK_NEG_I32, k), k, c, at);
    }
    if (op == "~") {
        if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_INT) {
            if (v.big) overflow(ck, at);
            return lumk_int_literal(~v.ival, false);
        }
        if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_FLOAT)
            lumk_error_at(ck, at, "'~' needs an integer but got a float literal");
        const lumk_prim k = lumk_promote(v.type.prim);
        if (!value || !lumk_prim_is_int(k))
            lumk_error_at(ck, at, "'~' needs an integer but got " + lumk_describe_operand(ck, v));
        const lumk_type t{k};
        const lumk_operand c = lumk_convert_implicit(ck, v, t, at);
        return lumk_emit_unary_op(ck, k == LUMK_PRIM_U32 ? LUMK_NOT_U32 : LUMK_NOT_X, k, c, at);
    }
    lumk_error_at(ck, at, "unknown operator '" + std::string(op) + "'");
}

lumk_operand lumk_emit_unary_op(lumk_checker& ck, uint16_t opcode, lumk_prim result, const lumk_operand& v,
                                const lumk_token& at) {
    if (v.kind == LUMK_OPND_CONST) {
        uint64_t bits = lumk_fold_with_interpreter(ck, opcode, v.bits, 0, 0, false, 0, at);
        if (result == LUMK_PRIM_F32) bits &= 0xFFFFFFFFull;
        return lumk_const_operand(result, bits);
    }
    if (v.kind != LUMK_OPND_REG) lumk_internal_error(ck, "unary operator on a non-value");
    const uint16_t r = lumk_new_register(ck);
    const uint32_t idx = lumk_emit(ck, opcode, r, v.reg, 0, 0);
    return lumk_reg_operand(result, r, static_cast<int32_t>(idx));
}

// ---- Binary -----------------------------------------------------------------

lumk_operand lumk_check_binary_expr(lumk_checker& ck, const lumk_expr& node) {
    if (node.op == "&&" || node.op == "||") {
        const uint16_t r = lumk_new_register(ck);
        lumk_emit(ck, LUMK_MOV, r, lumk_add_constant(ck, LUMK_PRIM_BOOL, 0), 0, 0);
        const uint32_t l = lumk_new_label(ck);
        lumk_emit_condition(ck, node, false, l);
        lumk_emit(ck, LUMK_MOV, r, lumk_add_constant(ck, LUMK_PRIM_BOOL, 1), 0, 0);
        lumk_place_label(ck, l);
        return lumk_reg_operand(LUMK_PRIM_BOOL, r, -1);
    }
    const lumk_operand left = lumk_check_expr(ck, *node.children[0]);
    const lumk_operand right = lumk_check_expr(ck, *node.children[1]);
    return lumk_check_binary(ck, node.op, left, right, node.token);
}

lumk_operand lumk_check_binary(lumk_checker& ck, std::string_view op, const lumk_operand& left_in,
                               const lumk_operand& right_in, const lumk_token& at) {
    if (lumk_is_vector(ck, left_in) || lumk_is_vector(ck, right_in))
        return lumk_check_vector_binary(ck, op, left_in, right_in, at);
    lumk_operand left = lumk_load_value(ck, left_in, at);
    lumk_operand right = lumk_load_value(ck, right_in, at);
    if (left.kind == LUMK_OPND_PTR || right.kind == LUMK_OPND_PTR)
        return lumk_check_pointer_binary(ck, op, left, right, at);
    if (left.is_literal() && right.is_literal()) return lumk_fold_literal_binary(ck, op, left, right, at);

    if (op == "<<" || op == ">>") {
        const lumk_operand l = lumk_resolve_literal(left);
        const lumk_prim lk = lumk_promote(l.type.prim);
        if (!lumk_prim_is_int(lk) || (l.kind != LUMK_OPND_CONST && l.kind != LUMK_OPND_REG))
            lumk_error_at(ck, at, q(op) + " needs an integer on the left but got " + lumk_describe_operand(ck, l));
        if (right.kind == LUMK_OPND_CONST && right.lit == LUMK_LIT_FLOAT)
            lumk_error_at(ck, at, "the shift count must be an integer");
        const lumk_operand count = lumk_resolve_literal(right);
        if (!lumk_prim_is_int(count.type.prim) || (count.kind != LUMK_OPND_CONST && count.kind != LUMK_OPND_REG))
            lumk_error_at(ck, at, "the shift count must be an integer but got " + lumk_describe_operand(ck, count));
        const lumk_type t{lk};
        const lumk_operand lc = lumk_convert_implicit(ck, l, t, at);
        // SHL_ has the layout of ADD_ (one 64-bit form), SHR_ that of DIV_ (lk is i32 .. u64).
        const uint16_t opc = op == "<<" ? lumk_op_arith(LUMK_SHL_I32, lk) : lumk_op_divmod(LUMK_SHR_I32, lk);
        return lumk_emit_binary_op(ck, opc, lk, lc, count, at);
    }

    const lumk_prim k = lumk_common_type(ck, left, right, op, at);
    if (k == LUMK_PRIM_BOOL && !(op == "==" || op == "!=" || op == "&" || op == "|" || op == "^"))
        lumk_error_at(ck, at, q(op) + " is not defined for bool (use && / || / !)");
    if ((op == "&" || op == "|" || op == "^") && k != LUMK_PRIM_BOOL && !lumk_prim_is_int(k))
        lumk_error_at(ck, at, q(op) + " needs integers but got " + prim_text(k));
    const lumk_type t{k};
    const lumk_operand l = lumk_convert_implicit(ck, left, t, at);
    const lumk_operand r = lumk_convert_implicit(ck, right, t, at);
    const int ci = lumk_compare_index(op);
    if (ci >= 0)
        return lumk_emit_binary_op(ck, lumk_compare_opcode(ck, static_cast<uint32_t>(ci), k, 0, at), LUMK_PRIM_BOOL,
                                   l, r, at);
    if ((op == "/" || op == "%") && (k == LUMK_PRIM_I32 || k == LUMK_PRIM_U32) && l.kind == LUMK_OPND_REG &&
        r.kind == LUMK_OPND_CONST && r.bits >= 2 && r.bits <= 65535) {
        uint16_t opc;
        if (op == "/")
            opc = k == LUMK_PRIM_U32 ? LUMK_DIVC_U32 : LUMK_DIVC_I32;
        else
            opc = k == LUMK_PRIM_U32 ? LUMK_MODC_U32 : LUMK_MODC_I32;
        const uint16_t d = lumk_new_register(ck);
        const uint32_t idx = lumk_emit(ck, opc, d, l.reg, static_cast<uint16_t>(r.bits),
                                       lumk_divc_multiplier(static_cast<uint32_t>(r.bits)));
        return lumk_reg_operand(k, d, static_cast<int32_t>(idx));
    }
    if ((op == "+" || op == "-") && lumk_prim_is_int(k)) {
        const bool lc = l.kind == LUMK_OPND_CONST, rc = r.kind == LUMK_OPND_CONST;
        if (rc != lc && (op == "+" || rc)) {
            const lumk_operand& var = lc ? r : l;
            const lumk_operand& con = lc ? l : r;
            const uint64_t imm = op == "-" ? uint64_t{0} - con.bits : con.bits;
            const uint16_t d = lumk_new_register(ck);
            const uint32_t idx = lumk_emit(ck, lumk_op_addi(k), d, var.reg, 0, imm);
            return lumk_reg_operand(k, d, static_cast<int32_t>(idx));
        }
    }
    return lumk_emit_binary_op(ck, lumk_arith_opcode(ck, op, k, at), k, l, r, at);
}

lumk_operand lumk_fold_literal_binary(lumk_checker& ck, std::string_view op, const lumk_operand& x,
                                      const lumk_operand& y, const lumk_token& at) {
    const int ci = lumk_compare_index(op);
    if (x.lit == LUMK_LIT_INT && y.lit == LUMK_LIT_INT) {
        if (x.big || y.big) {
            const uint64_t a = static_cast<uint64_t>(x.ival), b = static_cast<uint64_t>(y.ival);
            if (op == "==") return lumk_const_operand(LUMK_PRIM_BOOL, a == b);
            if (op == "!=") return lumk_const_operand(LUMK_PRIM_BOOL, a != b);
            lumk_error_at(ck, at, "integer constant overflow (write u64(...) for values above 2^63)");
        }
        const int64_t a = x.ival, b = y.ival;
        int64_t r = 0;
        if (op == "+") {
            if (__builtin_add_overflow(a, b, &r)) overflow(ck, at);
            return lumk_int_literal(r, false);
        }
        if (op == "-") {
            if (__builtin_sub_overflow(a, b, &r)) overflow(ck, at);
            return lumk_int_literal(r, false);
        }
        if (op == "*") {
            if (__builtin_mul_overflow(a, b, &r)) overflow(ck, at);
            return lumk_int_literal(r, false);
        }
        if (op == "/" || op == "%") {
            if (b == 0) lumk_error_at(ck, at, op == "/" ? "division by zero" : "modulo by zero");
            if (a == INT64_MIN && b == -1) overflow(ck, at);
            return lumk_int_literal(op == "/" ? a / b : a % b, false);
        }
        if (op == "&") return lumk_int_literal(a & b, false);
        if (op == "|") return lumk_int_literal(a | b, false);
        if (op == "^") return lumk_int_literal(a ^ b, false);
        if (op == "<<") {
            if (static_cast<uint64_t>(b) > 63) lumk_error_at(ck, at, "shift count out of range");
            const int64_t s = static_cast<int64_t>(static_cast<uint64_t>(a) << b);
            if ((s >> b) != a) overflow(ck, at);
            return lumk_int_literal(s, false);
        }
        if (op == ">>") {
            if (static_cast<uint64_t>(b) > 63) lumk_error_at(ck, at, "shift count out of range");
            return lumk_int_literal(a >> b, false);
        }
        if (ci >= 0) return compare_literals(ci, a, b);
        lumk_error_at(ck, at, "unknown operator '" + std::string(op) + "'");
    }
    if ((x.lit == LUMK_LIT_INT && x.big) || (y.lit == LUMK_LIT_INT && y.big)) overflow(ck, at);
    const double a = x.lit == LUMK_LIT_FLOAT ? x.fval : static_cast<double>(x.ival);
    const double b = y.lit == LUMK_LIT_FLOAT ? y.fval : static_cast<double>(y.ival);
    if (op == "+") return lumk_float_literal(a + b);
    if (op == "-") return lumk_float_literal(a - b);
    if (op == "*") return lumk_float_literal(a * b);
    if (op == "/") return lumk_float_literal(a / b);
    if (op == "%") return lumk_float_literal(std::fmod(a, b));
    if (ci >= 0) return compare_literals(ci, a, b);
    lumk_error_at(ck, at, q(op) + " needs integers");
}

lumk_prim lumk_common_type(lumk_checker& ck, const lumk_operand& a, const lumk_operand& b, std::string_view op,
                           const lumk_token& at) {
    if (a.is_literal() && b.is_literal()) {
        if (a.lit == LUMK_LIT_FLOAT || b.lit == LUMK_LIT_FLOAT) return LUMK_PRIM_F64;
        return literal_default(a);
    }
    if (a.is_literal() || b.is_literal()) {
        const lumk_operand& lit = a.is_literal() ? a : b;
        const lumk_operand& typed = a.is_literal() ? b : a;
        const lumk_prim k0 = typed.type.prim;
        const lumk_prim k = lumk_promote(k0);
        if (lit.lit == LUMK_LIT_FLOAT && !lumk_prim_is_float(k)) {
            if (a.is_literal())
                lumk_error_at(ck, at,
                              "cannot mix a float literal with " + prim_text(k0) + " in " + q(op) +
                                  ", convert explicitly");
            lumk_error_at(ck, at,
                          "cannot mix " + prim_text(k0) + " with a float literal in " + q(op) +
                              ", convert explicitly");
        }
        return k;
    }
    const lumk_prim a0 = a.type.prim, b0 = b.type.prim;
    const lumk_prim ak = lumk_promote(a0), bk = lumk_promote(b0);
    if (ak == bk) return ak;
    if (ak != LUMK_PRIM_BOOL && bk != LUMK_PRIM_BOOL) {
        if (lumk_prim_converts_to(ak, bk)) return bk;
        if (lumk_prim_converts_to(bk, ak)) return ak;
    }
    lumk_error_at(ck, at,
                  "cannot mix " + prim_text(a0) + " and " + prim_text(b0) + " in " + q(op) +
                      ", convert one side explicitly (e.g. " + prim_text(ak) + "(x))");
}

uint16_t lumk_arith_opcode(lumk_checker& ck, std::string_view op, lumk_prim kind, const lumk_token& at) {
    if (op == "&" || op == "|" || op == "^") {
        if (!lumk_prim_is_float(kind) && (lumk_prim_is_int(kind) || kind == LUMK_PRIM_BOOL))
            return op == "&" ? LUMK_AND_X : op == "|" ? LUMK_OR_X : LUMK_XOR_X;
    } else if (is_arith_kind(kind)) {
        if (op == "+") return lumk_op_arith(LUMK_ADD_I32, kind);
        if (op == "-") return lumk_op_arith(LUMK_SUB_I32, kind);
        if (op == "*") return lumk_op_arith(LUMK_MUL_I32, kind);
        if (op == "/") return lumk_op_divmod(LUMK_DIV_I32, kind);
        if (op == "%") return lumk_op_divmod(LUMK_MOD_I32, kind);
    }
    lumk_error_at(ck, at, q(op) + " is not defined for " + prim_text(kind));
}

uint16_t lumk_compare_opcode(lumk_checker& ck, uint32_t index, lumk_prim kind, uint32_t form, const lumk_token& at) {
    const lumk_cmp_form f = form == 0 ? LUMK_CMP_VALUE : form == 1 ? LUMK_CMP_JT : LUMK_CMP_JF;
    if (index <= 1) {
        if (!is_number(kind) && kind != LUMK_PRIM_BOOL)
            lumk_error_at(ck, at, "'" + std::string(index == 0 ? "==" : "!=") + "' is not defined for " +
                                      prim_text(kind));
        return lumk_op_cmp(static_cast<lumk_cond>(index), lumk_cmp_class_of(kind), f);
    }
    if (!is_number(kind)) lumk_error_at(ck, at, "bool values cannot be ordered (only == and !=)");
    return lumk_op_cmp(static_cast<lumk_cond>(index), lumk_cmp_class_of(kind), f);
}

int lumk_compare_index(std::string_view op) {
    if (op == "==") return 0;
    if (op == "!=") return 1;
    if (op == "<") return 2;
    if (op == "<=") return 3;
    if (op == ">") return 4;
    if (op == ">=") return 5;
    return -1;
}

bool lumk_is_comparison(std::string_view op) { return lumk_compare_index(op) >= 0; }

lumk_operand lumk_emit_binary_op(lumk_checker& ck, uint16_t opcode, lumk_prim result, const lumk_operand& left,
                                 const lumk_operand& right, const lumk_token& at) {
    if (left.kind == LUMK_OPND_CONST && right.kind == LUMK_OPND_CONST && !left.is_literal() && !right.is_literal()) {
        uint64_t bits = lumk_fold_with_interpreter(ck, opcode, left.bits, right.bits, 0, true, 0, at);
        if (result == LUMK_PRIM_F32) bits &= 0xFFFFFFFFull;
        return lumk_const_operand(result, bits);
    }
    const uint16_t a = lumk_operand_value(ck, left, at);
    const uint16_t b = lumk_operand_value(ck, right, at);
    const uint16_t d = lumk_new_register(ck);
    const uint32_t idx = lumk_emit(ck, opcode, d, a, b, 0);
    return lumk_reg_operand(result, d, static_cast<int32_t>(idx));
}

// ---- Vectors ----------------------------------------------------------------

lumk_operand lumk_build_vector(lumk_checker& ck, const std::vector<lumk_operand>& lanes_in, const lumk_token& at) {
    std::vector<lumk_operand> lanes;
    lanes.reserve(lanes_in.size());
    for (const lumk_operand& l : lanes_in) {
        const lumk_operand v = lumk_resolve_literal(lumk_load_value(ck, l, at));
        if (v.kind == LUMK_OPND_PTR) lumk_error_at(ck, at, "vectors cannot hold pointers");
        lanes.push_back(v);
    }
    const lumk_prim k = lanes[0].type.prim;
    if (!is_number(k) || (lanes[0].kind != LUMK_OPND_CONST && lanes[0].kind != LUMK_OPND_REG))
        lumk_error_at(ck, at,
                      "vectors of " + lumk_describe_operand(ck, lanes[0]) +
                          " are not supported (compare the components one by one)");
    const std::string name = prim_text(k) + "x" + std::to_string(lanes.size());
    const int32_t si = lumk_lookup_type(ck, name);
    if (si < 0) lumk_internal_error(ck, "vector type without a record");
    const lumk_struct_layout& s = ck.unit.structs[static_cast<size_t>(si)];
    lumk_type vt;
    vt.prim = LUMK_PRIM_STRUCT;
    vt.struct_index = si;
    const uint32_t size = s.size;
    const uint32_t offset = lumk_frame_alloc(ck, size, at);
    const lumk_operand vec = lumk_frame_operand(ck, vt, offset, 0, size);
    lumk_type lt;
    lt.prim = k;
    for (uint32_t i = 0; i < lanes.size(); ++i) {
        const lumk_operand c = lumk_convert_implicit(ck, lanes[i], lt, at);
        const uint16_t v = lumk_operand_value(ck, c, at);
        lumk_emit_store(ck, lumk_vector_lane(ck, vec, i), v);
    }
    return vec;
}

lumk_operand lumk_check_vector_binary(lumk_checker& ck, std::string_view op, const lumk_operand& a,
                                      const lumk_operand& b, const lumk_token& at) {
    if (lumk_is_comparison(op) || op == "&&" || op == "||")
        lumk_error_at(ck, at, q(op) + " is not defined for vectors (compare their components)");
    const bool av = lumk_is_vector(ck, a), bv = lumk_is_vector(ck, b);
    auto plain_struct = [&](const lumk_operand& o, bool vec) {
        return !vec && o.is_location() && o.type.prim == LUMK_PRIM_STRUCT;
    };
    if (plain_struct(a, av) || plain_struct(b, bv)) lumk_error_at(ck, at, q(op) + " is not defined for structs");
    const lumk_struct_layout* sa = av ? &ck.unit.structs[static_cast<size_t>(a.type.struct_index)] : nullptr;
    const lumk_struct_layout* sb = bv ? &ck.unit.structs[static_cast<size_t>(b.type.struct_index)] : nullptr;
    if (sa && sb && sa->lane_count != sb->lane_count)
        lumk_error_at(ck, at, q(op) + " needs vectors of the same size (" + sa->name + " and " + sb->name + ")");
    // The scalar side is loaded once and used in every lane.
    lumk_operand as = a, bs = b;
    if (!av) as = lumk_load_value(ck, a, at);
    if (!bv) bs = lumk_load_value(ck, b, at);
    if (as.kind == LUMK_OPND_PTR || bs.kind == LUMK_OPND_PTR)
        lumk_error_at(ck, at, "vectors and pointers cannot be combined");
    const uint32_t n = sa ? sa->lane_count : sb->lane_count;
    std::vector<lumk_operand> lanes;
    for (uint32_t i = 0; i < n; ++i) {
        const lumk_operand la = av ? lumk_vector_lane(ck, a, i) : as;
        const lumk_operand lb = bv ? lumk_vector_lane(ck, b, i) : bs;
        lanes.push_back(lumk_check_binary(ck, op, la, lb, at));
    }
    return lumk_build_vector(ck, lanes, at);
}

lumk_operand lumk_check_vector_constructor(lumk_checker& ck, const lumk_expr& call, lumk_prim kind, uint32_t n) {
    std::vector<lumk_operand> args;
    for (const lumk_expr_ptr& e : call.children) args.push_back(lumk_check_expr(ck, *e));
    std::vector<lumk_operand> lanes;
    if (args.size() == 1 && lumk_is_vector(ck, args[0])) {
        const lumk_struct_layout& s = ck.unit.structs[static_cast<size_t>(args[0].type.struct_index)];
        const lumk_token& at = call.children[0]->token;
        if (s.lane_count != n) lumk_error_at(ck, at, "cannot convert a " + s.name + " to " + call.name);
        for (uint32_t i = 0; i < n; ++i)
            lanes.push_back(lumk_convert_to_type(ck, lumk_vector_lane(ck, args[0], i), kind, call.token));
    } else if (args.size() == 1) {
        const lumk_operand v = lumk_convert_to_type(ck, args[0], kind, call.token);
        lanes.assign(n, v);
    } else if (args.size() == n) {
        for (uint32_t i = 0; i < n; ++i)
            lanes.push_back(lumk_convert_to_type(ck, args[i], kind, call.token));
    } else {
        lumk_error_at(ck, call.token,
                      "'" + call.name + "' expects 1 or " + std::to_string(n) + " values but got " +
                          std::to_string(args.size()));
    }
    return lumk_build_vector(ck, lanes, call.token);
}

// ---- Pointers ---------------------------------------------------------------

lumk_operand lumk_check_pointer_binary(lumk_checker& ck, std::string_view op, const lumk_operand& a,
                                       const lumk_operand& b, const lumk_token& at) {
    const bool ap = a.kind == LUMK_OPND_PTR, bp = b.kind == LUMK_OPND_PTR;
    if (ap != bp) {
        if (op == "+") return ap ? lumk_pointer_offset(ck, a, b, false, at) : lumk_pointer_offset(ck, b, a, false, at);
        if (op == "-" && ap) return lumk_pointer_offset(ck, a, b, true, at);
        lumk_error_at(ck, at, "only 'pointer + integer' and 'pointer - integer' are defined");
    }
    if (a.slot != b.slot) lumk_error_at(ck, at, "pointers into different parameters cannot be compared or subtracted");
    uint16_t opc;
    lumk_prim result = LUMK_PRIM_BOOL;
    if (op == "-") {
        opc = LUMK_SUB_X64;
        result = LUMK_PRIM_I64;
    } else {
        const int ci = lumk_compare_index(op);
        if (ci < 0) lumk_error_at(ck, at, q(op) + " is not defined for two pointers");
        opc = lumk_op_cmp(static_cast<lumk_cond>(ci), LUMK_CMP_S, LUMK_CMP_VALUE);
    }
    const uint16_t x = lumk_index_or_zero(ck, a.index);
    const uint16_t y = lumk_index_or_zero(ck, b.index);
    const uint16_t d = lumk_new_register(ck);
    const uint32_t idx = lumk_emit(ck, opc, d, x, y, 0);
    return lumk_reg_operand(result, d, static_cast<int32_t>(idx));
}

lumk_operand lumk_pointer_offset(lumk_checker& ck, const lumk_operand& p, const lumk_operand& offset, bool subtract,
                                 const lumk_token& at) {
    const lumk_operand o = lumk_load_value(ck, offset, at);
    const bool int_lit = o.kind == LUMK_OPND_CONST && o.lit == LUMK_LIT_INT;
    const bool int_val =
        (o.kind == LUMK_OPND_CONST && o.lit == LUMK_LIT_TYPED && lumk_prim_is_int(o.type.prim)) ||
        (o.kind == LUMK_OPND_REG && lumk_prim_is_int(o.type.prim));
    if (!int_lit && !int_val)
        lumk_error_at(ck, at, "pointer arithmetic needs an integer offset but got a " + lumk_describe_operand(ck, o));
    lumk_operand r = p;
    if (o.kind == LUMK_OPND_REG) {
        const uint16_t d = lumk_new_register(ck);
        lumk_emit(ck, subtract ? LUMK_SUB_X64 : LUMK_ADD_X64, d, lumk_index_or_zero(ck, p.index), o.reg, 0);
        r.index = d;
        return r;
    }
    if (int_lit && o.big) lumk_error_at(ck, at, "pointer offset out of range");
    uint64_t c = int_lit ? static_cast<uint64_t>(o.ival) : o.bits;
    if (subtract) c = uint64_t{0} - c;
    if (c == 0) return p;
    const uint16_t d = lumk_new_register(ck);
    if (p.index == LUMK_NO_INDEX)
        lumk_emit(ck, LUMK_MOV, d, lumk_add_constant(ck, LUMK_PRIM_I64, c), 0, 0);
    else
        lumk_emit(ck, LUMK_ADDI_X64, d, p.index, 0, c);
    r.index = d;
    return r;
}

lumk_operand lumk_deref_operand(lumk_checker& ck, const lumk_operand& p, uint16_t extra) {
    lumk_operand l;
    l.kind = LUMK_OPND_MEM;
    l.type = p.type;
    l.type.is_pointer = 0;
    l.type.is_const = 0;
    l.read_only = p.type.is_const;
    l.element = 1;
    l.slot = p.slot;
    l.byte_offset = 0;
    l.array_count = 0;
    l.stride = lumk_type_size(ck, l.type);
    if (extra == LUMK_NO_INDEX) {
        l.index = lumk_index_or_zero(ck, p.index);
    } else if (p.index == LUMK_NO_INDEX) {
        l.index = extra;
    } else {
        const uint16_t r = lumk_new_register(ck);
        lumk_emit(ck, LUMK_ADD_X64, r, p.index, extra, 0);
        l.index = r;
    }
    return l;
}

lumk_operand lumk_address_operand(lumk_checker& ck, const lumk_operand& loc) {
    if (loc.kind == LUMK_OPND_ADDR) return loc;
    if (loc.kind != LUMK_OPND_MEM) lumk_internal_error(ck, "address of a non-location");
    const uint16_t r = lumk_index_register(ck, loc);
    const bool frame = ck.prog->frame_bytes > 0 && loc.slot == ck.prog->frame_slot;
    const uint16_t a = lumk_new_register(ck);
    lumk_emit(ck, ck.unchecked || frame ? LUMK_ADDRU : LUMK_ADDR, a, loc.slot, r, 0);
    lumk_operand o = loc;
    o.kind = LUMK_OPND_ADDR;
    o.addr_reg = a;
    o.index_offset = 0;
    o.element = 0;
    return o;
}

// ---- Conditional operator ---------------------------------------------------

lumk_operand lumk_check_conditional(lumk_checker& ck, const lumk_expr& node) {
    const lumk_expr& ce = *node.children[0];
    const lumk_expr& te = *node.children[1];
    const lumk_expr& ee = *node.children[2];
    const lumk_operand c = lumk_check_expr(ck, ce);
    if (c.kind == LUMK_OPND_CONST) {
        if (c.lit == LUMK_LIT_TYPED && c.type.prim == LUMK_PRIM_BOOL) return lumk_check_expr(ck, c.bits ? te : ee);
        lumk_error_at(ck, ce.token, "the condition of '?:' must be a bool");
    }
    const uint32_t le = lumk_new_label(ck);
    const uint32_t lend = lumk_new_label(ck);
    lumk_emit_branch(ck, c, false, le, ce.token);
    const uint16_t r = lumk_new_register(ck);
    const lumk_operand tv = lumk_load_value(ck, lumk_check_expr(ck, te), te.token);
    const uint32_t placeholder = lumk_emit(ck, LUMK_NOP, 0, 0, 0, 0);
    lumk_emit_jump(ck, LUMK_JMP, lend, 0, 0);
    lumk_place_label(ck, le);
    const lumk_operand ev = lumk_load_value(ck, lumk_check_expr(ck, ee), ee.token);
    if (tv.kind == LUMK_OPND_PTR || ev.kind == LUMK_OPND_PTR)
        lumk_error_at(ck, node.token, "'?:' cannot select pointers");
    lumk_prim k;
    if (tv.is_literal() && ev.is_literal())
        k = tv.lit == LUMK_LIT_FLOAT ? lumk_prim{LUMK_PRIM_F64} : literal_default(ev);
    else
        k = lumk_common_type(ck, tv, ev, "?:", node.token);
    lumk_type kt;
    kt.prim = k;
    lumk_program& p = *ck.prog;
    const size_t before = p.code.size();
    const lumk_operand tc = lumk_convert_implicit(ck, tv, kt, te.token);
    if (p.code.size() == before + 1 && tc.kind == LUMK_OPND_REG) {
        lumk_insn moved = p.code.back();
        p.code.pop_back();
        p.lines.pop_back();
        p.file_indexes.pop_back();
        moved.a = r;
        p.code[placeholder] = moved;
    } else {
        const uint16_t o = lumk_operand_value(ck, tc, te.token);
        p.code[placeholder] = lumk_insn{LUMK_MOV, r, o, 0, 0};
    }
    lumk_assign_register(ck, ev, r, kt, ee.token);
    lumk_place_label(ck, lend);
    return lumk_reg_operand(k, r, -1);
}

// ---- Indexing and fields ----------------------------------------------------

namespace {

bool small_offset_literal(const lumk_expr& e) {
    return e.kind == lumk_expr_kind::int_lit && !e.token.u_suffix && e.token.ival < (uint64_t{1} << 30);
}

lumk_operand index_pointer(lumk_checker& ck, const lumk_operand& p, const lumk_expr& ix) {
    int64_t off = 0;
    const lumk_expr* rest = &ix;
    if (ix.kind == lumk_expr_kind::binary && (ix.op == "+" || ix.op == "-")) {
        if (small_offset_literal(*ix.children[1])) {
            const int64_t v = static_cast<int64_t>(ix.children[1]->token.ival);
            off = ix.op == "-" ? -v : v;
            rest = ix.children[0].get();
        } else if (ix.op == "+" && small_offset_literal(*ix.children[0])) {
            off = static_cast<int64_t>(ix.children[0]->token.ival);
            rest = ix.children[1].get();
        }
    }
    lumk_operand idx = lumk_load_value(ck, lumk_check_expr(ck, *rest), rest->token);
    if (rest != &ix && idx.kind == LUMK_OPND_CONST) {
        rest = &ix;
        off = 0;
        idx = lumk_load_value(ck, lumk_check_expr(ck, ix), ix.token);
    }
    uint16_t extra = LUMK_NO_INDEX;
    if (idx.kind == LUMK_OPND_CONST && idx.lit == LUMK_LIT_INT) {
        if (idx.big) lumk_error_at(ck, ix.token, "index out of range");
        if (idx.ival != 0) extra = lumk_add_constant(ck, LUMK_PRIM_I64, static_cast<uint64_t>(idx.ival));
    } else if (idx.kind == LUMK_OPND_CONST && idx.lit == LUMK_LIT_TYPED && lumk_prim_is_int(idx.type.prim)) {
        if (idx.bits != 0) extra = lumk_add_constant(ck, idx.type.prim, idx.bits);
    } else if (idx.kind == LUMK_OPND_REG && lumk_prim_is_int(idx.type.prim)) {
        extra = idx.reg;
    } else {
        lumk_error_at(ck, ix.token, "an index must be an integer but got a " + lumk_describe_operand(ck, idx));
    }
    lumk_operand l = lumk_deref_operand(ck, p, extra);
    l.index_offset = static_cast<uint64_t>(off);
    if (l.type.prim == LUMK_PRIM_STRUCT && off != 0) {
        const uint16_t r = lumk_new_register(ck);
        lumk_emit(ck, LUMK_ADDI_X64, r, l.index, 0, l.index_offset);
        l.index = r;
        l.index_offset = 0;
    }
    return l;
}

lumk_operand index_array(lumk_checker& ck, const lumk_operand& obj, const lumk_expr& ix) {
    const lumk_operand idx = lumk_load_value(ck, lumk_check_expr(ck, ix), ix.token);
    const uint32_t count = obj.array_count;
    if (idx.kind == LUMK_OPND_CONST) {
        if (idx.lit == LUMK_LIT_FLOAT || (idx.lit == LUMK_LIT_TYPED && !lumk_prim_is_int(idx.type.prim)))
            lumk_error_at(ck, ix.token, "an index must be an integer");
        bool in_range;
        std::string text;
        uint64_t v;
        if (idx.lit == LUMK_LIT_INT) {
            v = static_cast<uint64_t>(idx.ival);
            in_range = !idx.big && idx.ival >= 0 && idx.ival < static_cast<int64_t>(count);
            text = idx.big ? std::to_string(v) : std::to_string(idx.ival);
        } else {
            v = idx.bits;
            const bool neg = lumk_prim_is_signed(idx.type.prim) && static_cast<int64_t>(v) < 0;
            in_range = !neg && v < count;
            text = lumk_prim_is_signed(idx.type.prim) ? std::to_string(static_cast<int64_t>(v)) : std::to_string(v);
        }
        if (!in_range)
            lumk_error_at(ck, ix.token,
                          "array index " + text + " is out of bounds (array size " + std::to_string(count) + ")");
        lumk_operand r = obj;
        r.byte_offset = obj.byte_offset + v * obj.stride;
        r.array_count = 0;
        r.element = 0;
        return r;
    }
    if (idx.kind != LUMK_OPND_REG || !lumk_prim_is_int(idx.type.prim))
        lumk_error_at(ck, ix.token, "an index must be an integer but got a " + lumk_describe_operand(ck, idx));
    lumk_operand a = lumk_address_operand(ck, obj);
    const lumk_prim ik = idx.type.prim;
    const bool narrow_enough = (ik == LUMK_PRIM_U8 && count >= 256) || (ik == LUMK_PRIM_U16 && count >= 65536);
    if (!ck.unchecked && !narrow_enough) lumk_emit(ck, LUMK_CHKIDX, idx.reg, 0, 0, count);
    const uint32_t stride = obj.stride;
    const uint16_t t = lumk_new_register(ck);
    if (stride == 1) {
        lumk_emit(ck, LUMK_MOV, t, idx.reg, 0, 0);
    } else if (std::has_single_bit(stride)) {
        lumk_emit(ck, LUMK_SHL_X64, t, idx.reg,
                  lumk_add_constant(ck, LUMK_PRIM_I64, static_cast<uint64_t>(std::countr_zero(stride))), 0);
    } else {
        lumk_emit(ck, LUMK_MUL_X64, t, idx.reg, lumk_add_constant(ck, LUMK_PRIM_I64, stride), 0);
    }
    const uint16_t na = lumk_new_register(ck);
    lumk_emit(ck, LUMK_ADD_X64, na, a.addr_reg, t, 0);
    a.addr_reg = na;
    a.array_count = 0;
    a.element = 0;
    return a;
}

}  // namespace

lumk_operand lumk_check_index(lumk_checker& ck, const lumk_expr& node) {
    const lumk_operand obj = lumk_check_expr(ck, *node.children[0]);
    const lumk_expr& ix = *node.children[1];
    if (obj.kind == LUMK_OPND_PTR) return index_pointer(ck, obj, ix);
    if (obj.is_location() && obj.array_count > 0) return index_array(ck, obj, ix);
    lumk_error_at(ck, node.token,
                  "only pointers and array fields can be indexed, not a " + lumk_describe_operand(ck, obj));
}

lumk_operand lumk_check_field_access(lumk_checker& ck, const lumk_expr& node) {
    const std::string& f = node.name;
    lumk_operand obj = lumk_check_expr(ck, *node.children[0]);
    if (node.kind == lumk_expr_kind::field) {
        if (obj.kind == LUMK_OPND_PTR)
            lumk_error_at(ck, node.token,
                          "use '->' to access a field through a pointer ('p->" + f + "' or 'p[i]." + f + "')");
    } else {
        if (obj.kind != LUMK_OPND_PTR) lumk_error_at(ck, node.token, "'->' needs a pointer to a struct");
        obj = lumk_deref_operand(ck, obj, LUMK_NO_INDEX);
    }
    if (!obj.is_location() || obj.type.prim != LUMK_PRIM_STRUCT || obj.array_count != 0)
        lumk_error_at(ck, node.token, "'." + f + "' needs a struct");
    const lumk_struct_layout& s = ck.unit.structs[static_cast<size_t>(obj.type.struct_index)];
    for (const lumk_struct_field& fd : s.fields) {
        if (fd.name != f) continue;
        lumk_operand r = lumk_field_location(obj, fd);
        r.element = 0;
        return r;
    }
    lumk_error_at(ck, node.token, "struct '" + s.name + "' has no field '" + f + "'");
}

lumk_operand lumk_field_location(const lumk_operand& base, const lumk_struct_field& fd) {
    lumk_operand r = base;
    r.byte_offset = base.byte_offset + fd.offset;
    r.type = lumk_type{};
    r.type.prim = fd.prim;
    r.type.struct_index = fd.prim == LUMK_PRIM_STRUCT ? fd.struct_index : -1;
    r.array_count = fd.array_count;
    r.stride = fd.elem_size;
    return r;
}

void lumk_check_arg_count(lumk_checker& ck, const lumk_expr& call, uint32_t n) {
    if (call.children.size() == n) return;
    lumk_error_at(ck, call.token,
                  "'" + call.name + "' expects " + std::to_string(n) + " argument" + (n == 1 ? "" : "s") +
                      " but got " + std::to_string(call.children.size()));
}
