#include "kernel/compiler/check_calls.h"

#include <bit>
#include <cmath>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "kernel/compiler/check_ops.h"
#include "kernel/compiler/check_stmts.h"
#include "kernel/compiler/emit.h"
#include "kernel/exec/bytecode.h"

namespace {

// The builtins that lumk_check_builtin() computes, on numbers or on vectors
// lane by lane. A call is one of them only by its name being here: a name
// missing from the set calls a helper of that name, or is an unknown
// function. Built once, read-only afterwards (compiles on several threads
// share it).
const std::unordered_set<std::string>& elementwise_names() {
    static const std::unordered_set<std::string> names = {
        "min",  "max",  "clamp", "abs",  "sqrt", "floor", "ceil", "round", "trunc", "sin",  "cos",
        "tan",  "asin", "acos",  "atan", "exp",  "log",   "log2", "log10", "pow",   "atan2"};
    return names;
}

// The builtins with a check of their own. A `kernel inline` helper of the
// same name replaces a vector builtin; every other builtin name is taken
// before helpers are looked at.
constexpr std::string_view vector_builtins[] = {"dot", "cross", "length"};
constexpr std::string_view atomic_builtin = "atomic_add";

bool is_vector_builtin(std::string_view name) {
    for (std::string_view b : vector_builtins)
        if (name == b) return true;
    return false;
}

// One-argument math functions (floor .. log10) and their function numbers.
const std::unordered_map<std::string, uint16_t>& math1_ids() {
    static const std::unordered_map<std::string, uint16_t> ids = [] {
        std::unordered_map<std::string, uint16_t> by_name;
        for (uint16_t fn = LUMK_MATH_FLOOR; fn <= LUMK_MATH_LOG10; ++fn) by_name.emplace(lumk_math_name(fn), fn);
        return by_name;
    }();
    return ids;
}

uint32_t elementwise_arity(const std::string& name) {
    if (name == "min" || name == "max" || name == "pow" || name == "atan2") return 2;
    if (name == "clamp") return 3;
    return 1;
}

bool is_number(lumk_prim p) { return lumk_prim_is_int(p) || lumk_prim_is_float(p); }

bool is_value(const lumk_operand& v) { return v.kind == LUMK_OPND_CONST || v.kind == LUMK_OPND_REG; }

uint32_t lane_count(const lumk_checker& ck, const lumk_operand& v) {
    return ck.unit.structs[static_cast<size_t>(v.type.struct_index)].lane_count;
}

lumk_operand check_elementwise(lumk_checker& ck, const lumk_expr& call) {
    lumk_check_arg_count(ck, call, elementwise_arity(call.name));
    std::vector<lumk_operand> args;
    for (const lumk_expr_ptr& e : call.children) args.push_back(lumk_check_expr(ck, *e));
    int first = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        if (!lumk_is_vector(ck, args[i])) continue;
        if (first < 0)
            first = static_cast<int>(i);
        else if (lane_count(ck, args[i]) != lane_count(ck, args[static_cast<size_t>(first)]))
            lumk_error_at(ck, call.token, "'" + call.name + "' needs vectors of the same size");
    }
    if (first < 0) return lumk_check_builtin(ck, call, args);
    for (size_t i = 0; i < args.size(); ++i)
        if (!lumk_is_vector(ck, args[i])) args[i] = lumk_load_value(ck, args[i], call.children[i]->token);
    const uint32_t n = lane_count(ck, args[static_cast<size_t>(first)]);
    std::vector<lumk_operand> results;
    for (uint32_t lane = 0; lane < n; ++lane) {
        std::vector<lumk_operand> lane_args;
        for (size_t i = 0; i < args.size(); ++i) {
            if (lumk_is_vector(ck, args[i]))
                lane_args.push_back(
                    lumk_load_value(ck, lumk_vector_lane(ck, args[i], lane), call.children[i]->token));
            else
                lane_args.push_back(args[i]);
        }
        results.push_back(lumk_check_builtin(ck, call, lane_args));
    }
    return lumk_build_vector(ck, results, call.token);
}

lumk_operand check_vector_builtin(lumk_checker& ck, const lumk_expr& call) {
    const std::string& name = call.name;
    const bool length = name == "length";
    lumk_check_arg_count(ck, call, length ? 1 : 2);
    const lumk_operand a = lumk_check_expr(ck, *call.children[0]);
    const lumk_operand b = length ? a : lumk_check_expr(ck, *call.children[1]);
    if (!lumk_is_vector(ck, a) || !lumk_is_vector(ck, b) || lane_count(ck, a) != lane_count(ck, b))
        lumk_error_at(ck, call.token,
                      length ? "'" + name + "' needs a vector" : "'" + name + "' needs two vectors of the same size");
    const uint32_t n = lane_count(ck, a);
    if (name == "cross" && n != 3) lumk_error_at(ck, call.token, "'cross' needs vectors with 3 components");
    if (length) {
        const lumk_prim e = ck.unit.structs[static_cast<size_t>(a.type.struct_index)].lane_prim;
        if (!lumk_prim_is_float(e)) lumk_error_at(ck, call.token, "'length' needs a float vector (f32x2 .. f64x4)");
    }
    std::vector<lumk_operand> la, lb;
    for (uint32_t i = 0; i < n; ++i) la.push_back(lumk_load_value(ck, lumk_vector_lane(ck, a, i), call.token));
    if (length)
        lb = la;
    else
        for (uint32_t i = 0; i < n; ++i) lb.push_back(lumk_load_value(ck, lumk_vector_lane(ck, b, i), call.token));
    const lumk_token& at = call.token;
    if (name == "cross") {
        auto term = [&](int i, int j) {
            const lumk_operand p = lumk_check_binary(ck, "*", la[static_cast<size_t>(i)], lb[static_cast<size_t>(j)], at);
            const lumk_operand q = lumk_check_binary(ck, "*", la[static_cast<size_t>(j)], lb[static_cast<size_t>(i)], at);
            return lumk_check_binary(ck, "-", p, q, at);
        };
        std::vector<lumk_operand> lanes = {term(1, 2), term(2, 0), term(0, 1)};
        return lumk_build_vector(ck, lanes, at);
    }
    lumk_operand s = lumk_check_binary(ck, "*", la[0], lb[0], at);
    for (uint32_t i = 1; i < n; ++i) s = lumk_check_binary(ck, "+", s, lumk_check_binary(ck, "*", la[i], lb[i], at), at);
    if (!length) return s;
    return lumk_emit_unary_op(ck, s.type.prim == LUMK_PRIM_F32 ? LUMK_SQRT_F32 : LUMK_SQRT_F64, s.type.prim, s, at);
}

lumk_operand check_helper_call(lumk_checker& ck, const lumk_expr& call) {
    const std::string& name = call.name;
    auto it = ck.kernels.find(name);
    if (it == ck.kernels.end()) lumk_error_at(ck, call.token, "unknown function '" + name + "'");
    const lumk_kernel_decl& decl = *it->second;
    if (!decl.is_inline)
        lumk_error_at(ck, call.token,
                      "'" + name +
                          "' is an entry kernel and cannot be called from kernel code (declare helpers with 'kernel "
                          "inline')");
    lumk_check_arg_count(ck, call, static_cast<uint32_t>(decl.params.size()));
    std::vector<lumk_operand> args;
    std::vector<const lumk_token*> tokens;
    for (const lumk_expr_ptr& e : call.children) {
        lumk_operand o = lumk_check_expr(ck, *e);
        const bool whole_struct = o.is_location() && o.type.prim == LUMK_PRIM_STRUCT && o.array_count == 0;
        if (o.kind != LUMK_OPND_PTR && !whole_struct) o = lumk_load_value(ck, o, e->token);
        args.push_back(o);
        tokens.push_back(&e->token);
    }
    return lumk_inline_call(ck, decl, args, call.token, tokens);
}

}  // namespace

lumk_operand lumk_check_call(lumk_checker& ck, const lumk_expr& call) {
    const std::string& name = call.name;
    const lumk_prim sp = lumk_prim_from_name(name);
    if (sp != LUMK_PRIM_NONE) {
        if (sp == LUMK_PRIM_VOID) lumk_error_at(ck, call.token, "cannot convert to void");
        lumk_check_arg_count(ck, call, 1);
        const lumk_operand a = lumk_check_expr(ck, *call.children[0]);
        return lumk_convert_to_type(ck, a, sp, call.token);
    }
    lumk_prim elem;
    uint8_t lanes;
    if (lumk_parse_vector_type(name, elem, lanes)) {
        lumk_lookup_type(ck, name);
        return lumk_check_vector_constructor(ck, call, elem, lanes);
    }
    if (lumk_find_declared_struct(ck, name) >= 0)
        lumk_error_at(ck, call.token, "structs have no constructor, write '" + name + " v = {...};'");
    if (elementwise_names().count(name)) return check_elementwise(ck, call);
    if (is_vector_builtin(name) && !ck.kernels.count(name)) return check_vector_builtin(ck, call);
    if (name == atomic_builtin) {
        lumk_check_arg_count(ck, call, 2);
        return lumk_check_atomic_add(ck, call);
    }
    return check_helper_call(ck, call);
}

std::vector<std::string> lumk_builtin_names() {
    std::vector<std::string> names(elementwise_names().begin(), elementwise_names().end());
    for (std::string_view b : vector_builtins) names.emplace_back(b);
    names.emplace_back(atomic_builtin);
    return names;
}

lumk_operand lumk_check_builtin(lumk_checker& ck, const lumk_expr& call, const std::vector<lumk_operand>& args) {
    const std::string& name = call.name;
    const lumk_token& at = call.token;
    if (name == "min" || name == "max") return lumk_emit_min_max(ck, name == "min", args[0], args[1], at);
    if (name == "clamp") {
        const lumk_operand x = lumk_load_value(ck, args[0], call.children[0]->token);
        const lumk_operand lo = lumk_load_value(ck, args[1], call.children[1]->token);
        const lumk_operand hi = lumk_load_value(ck, args[2], call.children[2]->token);
        return lumk_emit_min_max(ck, true, lumk_emit_min_max(ck, false, x, lo, at), hi, at);
    }
    if (name == "abs") {
        const lumk_operand v = lumk_load_value(ck, args[0], call.children[0]->token);
        if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_INT) {
            if (v.big || v.ival == INT64_MIN) lumk_error_at(ck, at, "integer constant overflow");
            return lumk_int_literal(v.ival < 0 ? -v.ival : v.ival, false);
        }
        if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_FLOAT) return lumk_float_literal(std::fabs(v.fval));
        const lumk_prim k = v.type.prim;
        if (!is_value(v) || !is_number(k)) lumk_error_at(ck, at, "'abs' needs a number");
        if (k == LUMK_PRIM_U32 || k == LUMK_PRIM_U64) return v;
        lumk_operand x = v;
        lumk_prim rk = k;
        if (lumk_promote(k) != k) {
            const lumk_type t{LUMK_PRIM_I32};
            x = lumk_convert_implicit(ck, v, t, at);
            rk = LUMK_PRIM_I32;
        }
        uint16_t opc;
        switch (rk) {
            case LUMK_PRIM_I32: opc = LUMK_ABS_I32; break;
            case LUMK_PRIM_I64: opc = LUMK_ABS_I64; break;
            case LUMK_PRIM_F32: opc = LUMK_ABS_F32; break;
            default: opc = LUMK_ABS_F64; break;
        }
        return lumk_emit_unary_op(ck, opc, rk, x, at);
    }
    if (name == "sqrt") {
        const lumk_operand v = lumk_require_float(ck, call, args, 0);
        const lumk_prim k = v.type.prim;
        return lumk_emit_unary_op(ck, k == LUMK_PRIM_F32 ? LUMK_SQRT_F32 : LUMK_SQRT_F64, k, v, at);
    }
    auto m1 = math1_ids().find(name);
    if (m1 != math1_ids().end()) {
        const lumk_operand v = lumk_require_float(ck, call, args, 0);
        const lumk_prim k = v.type.prim;
        const uint16_t op = k == LUMK_PRIM_F32 ? LUMK_MATH1_F32 : LUMK_MATH1_F64;
        if (v.kind == LUMK_OPND_CONST) {
            uint64_t bits = lumk_fold_with_interpreter(ck, op, v.bits, 0, m1->second, false, 0, at);
            if (k == LUMK_PRIM_F32) bits &= 0xFFFFFFFFull;
            return lumk_const_operand(k, bits);
        }
        const uint16_t d = lumk_new_register(ck);
        const uint32_t idx = lumk_emit(ck, op, d, v.reg, m1->second, 0);
        return lumk_reg_operand(k, d, static_cast<int32_t>(idx));
    }
    if (name == "pow" || name == "atan2") {
        const lumk_operand x0 = lumk_require_float(ck, call, args, 0);
        const lumk_operand y0 = lumk_require_float(ck, call, args, 1);
        const lumk_prim k = lumk_common_type(ck, x0, y0, name, at);
        const lumk_type t{k};
        const lumk_operand x = lumk_convert_implicit(ck, x0, t, at);
        const lumk_operand y = lumk_convert_implicit(ck, y0, t, at);
        const uint16_t op = k == LUMK_PRIM_F32 ? LUMK_MATH2_F32 : LUMK_MATH2_F64;
        const uint64_t fn = name == "pow" ? LUMK_MATH_POW : LUMK_MATH_ATAN2;
        if (x.kind == LUMK_OPND_CONST && y.kind == LUMK_OPND_CONST) {
            uint64_t bits = lumk_fold_with_interpreter(ck, op, x.bits, y.bits, 0, true, fn, at);
            if (k == LUMK_PRIM_F32) bits &= 0xFFFFFFFFull;
            return lumk_const_operand(k, bits);
        }
        const uint16_t a = lumk_operand_value(ck, x, at);
        const uint16_t b = lumk_operand_value(ck, y, at);
        const uint16_t d = lumk_new_register(ck);
        const uint32_t idx = lumk_emit(ck, op, d, a, b, fn);
        return lumk_reg_operand(k, d, static_cast<int32_t>(idx));
    }
    lumk_error_at(ck, at, "unknown function '" + name + "'");
}

lumk_operand lumk_require_float(lumk_checker& ck, const lumk_expr& call, const std::vector<lumk_operand>& args,
                                uint32_t index) {
    const lumk_token& at = call.children[index]->token;
    const lumk_operand v = lumk_load_value(ck, args[index], at);
    if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_FLOAT) return lumk_resolve_literal(v);
    if (is_value(v) && !v.is_literal() && lumk_prim_is_float(v.type.prim)) return v;
    lumk_error_at(ck, at,
                  "'" + call.name + "' needs f32 or f64 but got a " + lumk_describe_operand(ck, v) +
                      " (convert with f32(x))");
}

lumk_operand lumk_emit_min_max(lumk_checker& ck, bool is_min, const lumk_operand& x0, const lumk_operand& y0,
                               const lumk_token& at) {
    const lumk_operand x = lumk_load_value(ck, x0, at);
    const lumk_operand y = lumk_load_value(ck, y0, at);
    if (x.kind == LUMK_OPND_PTR || y.kind == LUMK_OPND_PTR) lumk_error_at(ck, at, "min / max / clamp need numbers");
    if (x.is_literal() && y.is_literal()) {
        const bool lt = lumk_fold_literal_binary(ck, "<", x, y, at).bits != 0;
        return is_min ? (lt ? x : y) : (lt ? y : x);
    }
    if (!is_value(x) || !is_value(y)) lumk_error_at(ck, at, "min / max / clamp need numbers");
    const lumk_prim k = lumk_common_type(ck, x, y, is_min ? "min" : "max", at);
    if (!is_number(k)) lumk_error_at(ck, at, "min / max / clamp need numbers");
    const lumk_type t{k};
    const lumk_operand a = lumk_convert_implicit(ck, x, t, at);
    const lumk_operand b = lumk_convert_implicit(ck, y, t, at);
    uint16_t op;
    switch (k) {
        case LUMK_PRIM_I32:
        case LUMK_PRIM_I64: op = is_min ? LUMK_MIN_S : LUMK_MAX_S; break;
        case LUMK_PRIM_U32:
        case LUMK_PRIM_U64: op = is_min ? LUMK_MIN_U : LUMK_MAX_U; break;
        case LUMK_PRIM_F32: op = is_min ? LUMK_MIN_F32 : LUMK_MAX_F32; break;
        default: op = is_min ? LUMK_MIN_F64 : LUMK_MAX_F64; break;
    }
    return lumk_emit_binary_op(ck, op, k, a, b, at);
}

lumk_operand lumk_check_atomic_add(lumk_checker& ck, const lumk_expr& call) {
    const lumk_expr& e0 = *call.children[0];
    const lumk_expr& e1 = *call.children[1];
    const lumk_operand loc = lumk_check_expr(ck, e0);
    if (!loc.is_location() || loc.array_count != 0 || loc.type.prim == LUMK_PRIM_STRUCT)
        lumk_error_at(ck, e0.token, "atomic_add needs a memory location ('atomic_add(p[i], v)')");
    const lumk_prim k = loc.type.prim;
    if (k != LUMK_PRIM_I32 && k != LUMK_PRIM_U32 && k != LUMK_PRIM_I64 && k != LUMK_PRIM_U64)
        lumk_error_at(ck, e0.token,
                      "atomic_add supports i32, u32, i64 and u64 memory, not " + lumk_type_text(ck, loc.type));
    if (loc.read_only) lumk_error_at(ck, e0.token, "cannot write through a const pointer");
    const lumk_type t{k};
    const lumk_operand val = lumk_convert_implicit(ck, lumk_check_expr(ck, e1), t, e1.token);
    const uint16_t v = lumk_operand_value(ck, val, e1.token);
    const uint16_t d = lumk_new_register(ck);
    uint32_t idx;
    if (loc.kind == LUMK_OPND_MEM && loc.byte_offset == 0 && lumk_slot_elem_size(ck, loc.slot) == lumk_prim_size(k)) {
        uint16_t index = lumk_index_or_zero(ck, loc.index);
        if (loc.index_offset != 0) {
            const uint16_t r = lumk_new_register(ck);
            lumk_emit(ck, LUMK_ADDI_X64, r, index, 0, loc.index_offset);
            index = r;
        }
        const uint16_t op = k == LUMK_PRIM_I32 ? LUMK_AADD_I32 : k == LUMK_PRIM_U32 ? LUMK_AADD_32 : LUMK_AADD_64;
        idx = lumk_emit(ck, op, d, loc.slot, index, v);
    } else {
        const lumk_operand a = lumk_address_operand(ck, loc);
        const uint16_t op = k == LUMK_PRIM_I32 ? LUMK_AADDR_I32 : k == LUMK_PRIM_U32 ? LUMK_AADDR_32 : LUMK_AADDR_64;
        idx = lumk_emit(ck, op, d, a.addr_reg, v, a.byte_offset);
    }
    return lumk_reg_operand(k, d, static_cast<int32_t>(idx));
}
