#include "kernel/compiler/emit.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "kernel/compiler/check_calls.h"
#include "kernel/compiler/check_ops.h"
#include "kernel/exec/bytecode.h"
#include "kernel/exec/scalar.h"

namespace {

constexpr double kTwo63 = 9223372036854775808.0;

uint64_t f32_bits(float f) { return std::bit_cast<uint32_t>(f); }
uint64_t f64_bits(double d) { return std::bit_cast<uint64_t>(d); }

bool is_number(lumk_prim p) { return lumk_prim_is_int(p) || lumk_prim_is_float(p); }


bool is_frame_slot(const lumk_checker& ck, uint16_t slot) {
    return ck.prog->frame_bytes > 0 && slot == ck.prog->frame_slot;
}

// A load into (store = false) or a store from (store = true) register `reg` at
// the location `loc`. Both families have the same five forms, the store form
// of a kind 5 above the load form: whole element (checked or not), field
// inside an element (checked or not) and through an address register.
void emit_memory_access(lumk_checker& ck, const lumk_operand& loc, uint16_t reg, bool store) {
    const lumk_prim k = loc.type.prim;
    if (!is_number(k) || loc.type.is_pointer)
        lumk_internal_error(ck, store ? "store of a type without a store family"
                                      : "load of a type without a load family");
    const auto op = [&](lumk_mem_kind load_kind) {
        return lumk_op_mem(static_cast<lumk_mem_kind>(load_kind + (store ? LUMK_MEM_ST : LUMK_MEM_LD)), k);
    };
    if (loc.kind == LUMK_OPND_ADDR) {
        lumk_emit(ck, op(LUMK_MEM_LDR), reg, loc.addr_reg, 0, loc.byte_offset);
        return;
    }
    if (loc.kind != LUMK_OPND_MEM)
        lumk_internal_error(ck, store ? "store to a non-location" : "load from a non-location");
    const bool unchecked = ck.unchecked || is_frame_slot(ck, loc.slot);
    if (loc.byte_offset == 0 && lumk_slot_elem_size(ck, loc.slot) == lumk_prim_size(k)) {
        const uint16_t index = lumk_index_or_zero(ck, loc.index);
        lumk_emit(ck, op(unchecked ? LUMK_MEM_LDU : LUMK_MEM_LD), reg, loc.slot, index, loc.index_offset);
        return;
    }
    const uint16_t r = lumk_index_register(ck, loc);
    lumk_emit(ck, op(unchecked ? LUMK_MEM_LDFU : LUMK_MEM_LDF), reg, loc.slot, r, loc.byte_offset);
}


// Inclusive range of an integer type for literal checks (u64 handled apart).
void int_range(lumk_prim p, int64_t& lo, int64_t& hi) {
    switch (p) {
        case LUMK_PRIM_I8: lo = -128; hi = 127; break;
        case LUMK_PRIM_U8: lo = 0; hi = 255; break;
        case LUMK_PRIM_I16: lo = -32768; hi = 32767; break;
        case LUMK_PRIM_U16: lo = 0; hi = 65535; break;
        case LUMK_PRIM_I32: lo = INT32_MIN; hi = INT32_MAX; break;
        case LUMK_PRIM_U32: lo = 0; hi = UINT32_MAX; break;
        case LUMK_PRIM_U64: lo = 0; hi = INT64_MAX; break;
        default: lo = INT64_MIN; hi = INT64_MAX; break;
    }
}

std::string literal_text(const lumk_operand& v) {
    return v.big ? std::to_string(static_cast<uint64_t>(v.ival)) : std::to_string(v.ival);
}

// Scalar type without its const flag: const has no effect on values.
lumk_type plain(lumk_type t) {
    t.is_const = 0;
    return t;
}

// One opcode applied to a value: folded for a constant, else a new register.
lumk_operand apply_unary(lumk_checker& ck, uint16_t opcode, lumk_prim result, const lumk_operand& v, uint16_t c,
                         const lumk_token& at) {
    if (v.kind == LUMK_OPND_CONST) {
        uint64_t bits = lumk_fold_with_interpreter(ck, opcode, v.bits, 0, c, false, 0, at);
        if (result == LUMK_PRIM_F32) bits &= 0xFFFFFFFFull;
        return lumk_const_operand(result, bits);
    }
    const uint16_t r = lumk_new_register(ck);
    const uint32_t idx = lumk_emit(ck, opcode, r, v.reg, c, 0);
    return lumk_reg_operand(result, r, static_cast<int32_t>(idx));
}

lumk_operand relabel(const lumk_operand& v, lumk_prim target) {
    lumk_operand r = v;
    r.type = lumk_type{};
    r.type.prim = target;
    if (r.kind == LUMK_OPND_CONST)
        r.bits = lumk_narrow_bits(target, r.bits);
    else
        r.def_insn = -1;
    return r;
}

}  // namespace

lumk_depth_guard::lumk_depth_guard(lumk_checker& c, const lumk_token& at) : ck(c) {
    if (ck.depth >= LUMK_MAX_CHECK_DEPTH) lumk_error_at(ck, at, "helper calls are nested too deeply");
    ++ck.depth;
}

// ---- Instructions and labels ------------------------------------------------

uint32_t lumk_emit(lumk_checker& ck, uint16_t op, uint16_t a, uint16_t b, uint16_t c, uint64_t imm) {
    lumk_program& p = *ck.prog;
    if (p.code.size() >= LUMK_MAX_INSTRUCTIONS) lumk_error_here(ck, "kernel is too large (too many instructions)");
    p.code.push_back(lumk_insn{op, a, b, c, imm});
    p.lines.push_back(ck.tok ? ck.tok->line : 0);
    p.file_indexes.push_back(ck.tok ? ck.tok->file : 0);
    return static_cast<uint32_t>(p.code.size() - 1);
}

uint32_t lumk_emit_jump(lumk_checker& ck, uint16_t op, uint32_t label, uint16_t a, uint16_t b) {
    const uint32_t idx = lumk_emit(ck, op, a, b, 0, 0);
    ck.fixups.push_back(lumk_fixup{idx, label});
    return idx;
}

uint32_t lumk_new_label(lumk_checker& ck) {
    ck.labels.push_back(-1);
    return static_cast<uint32_t>(ck.labels.size() - 1);
}

void lumk_place_label(lumk_checker& ck, uint32_t label) {
    ck.labels[label] = static_cast<int64_t>(ck.prog->code.size());
}

// ---- Scopes and locals ------------------------------------------------------

void lumk_enter_scope(lumk_checker& ck) {
    ck.scopes.emplace_back();
    ck.frame_stack.push_back(ck.frame_offset);
}

void lumk_leave_scope(lumk_checker& ck) {
    ck.scopes.pop_back();
    ck.frame_offset = ck.frame_stack.back();
    ck.frame_stack.pop_back();
}

void lumk_check_local_name(lumk_checker& ck, const lumk_token& name) {
    const std::string& n = name.text;
    if (lumk_is_reserved_word(n)) lumk_error_at(ck, name, "'" + n + "' is a reserved word");
    if (lumk_find_declared_struct(ck, n) >= 0 || ck.constants.count(n))
        lumk_error_at(ck, name, "'" + n + "' is already the name of a kernel struct or constant");
    if (!ck.scopes.empty())
        for (const lumk_local& l : ck.scopes.back())
            if (l.name == n) lumk_error_at(ck, name, "'" + n + "' is already declared in this scope");
}

const lumk_local* lumk_find_local(const lumk_checker& ck, std::string_view name) {
    for (size_t s = ck.scopes.size(); s > ck.func_scope; --s) {
        const std::vector<lumk_local>& scope = ck.scopes[s - 1];
        for (size_t i = scope.size(); i > 0; --i)
            if (scope[i - 1].name == name) return &scope[i - 1];
    }
    return nullptr;
}

uint32_t lumk_frame_alloc(lumk_checker& ck, uint64_t bytes, const lumk_token& at) {
    const uint64_t offset = (static_cast<uint64_t>(ck.frame_offset) + 7) & ~uint64_t{7};
    if (bytes > LUMK_MAX_FRAME || offset + bytes > LUMK_MAX_FRAME)
        lumk_error_at(ck, at, "the local variables of this kernel need more than 1 MiB");
    ck.frame_offset = static_cast<uint32_t>(offset + bytes);
    if (ck.prog->frame_bytes < ck.frame_offset) ck.prog->frame_bytes = ck.frame_offset;
    return static_cast<uint32_t>(offset);
}

lumk_operand lumk_frame_operand(lumk_checker& ck, const lumk_type& type, uint32_t offset, uint32_t count,
                                uint32_t stride) {
    lumk_operand o;
    o.kind = LUMK_OPND_MEM;
    o.type = type;
    o.type.is_pointer = 0;
    o.type.is_const = 0;
    o.slot = static_cast<uint16_t>(ck.prog->frame_slot);
    o.index = lumk_add_constant(ck, LUMK_PRIM_I64, 0);
    o.byte_offset = offset;
    o.array_count = count;
    o.stride = stride;
    return o;
}

// ---- Operand construction ---------------------------------------------------

uint64_t lumk_narrow_bits(lumk_prim prim, uint64_t bits) {
    if (prim == LUMK_PRIM_BOOL) return bits != 0 ? 1 : 0;
    return lumk_reg_canonical(prim, bits);
}

lumk_operand lumk_const_operand(lumk_prim prim, uint64_t bits) {
    lumk_operand o;
    o.kind = LUMK_OPND_CONST;
    o.type.prim = prim;
    o.bits = bits;
    return o;
}

lumk_operand lumk_int_literal(int64_t value, bool big) {
    lumk_operand o;
    o.kind = LUMK_OPND_CONST;
    o.lit = LUMK_LIT_INT;
    o.ival = value;
    o.big = big ? 1 : 0;
    return o;
}

lumk_operand lumk_float_literal(double value) {
    lumk_operand o;
    o.kind = LUMK_OPND_CONST;
    o.lit = LUMK_LIT_FLOAT;
    o.fval = value;
    return o;
}

lumk_operand lumk_reg_operand(lumk_prim prim, uint16_t reg, int32_t def_insn) {
    lumk_operand o;
    o.kind = LUMK_OPND_REG;
    o.type.prim = prim;
    o.reg = reg;
    o.def_insn = def_insn;
    return o;
}

lumk_prim lumk_promote(lumk_prim prim) {
    switch (prim) {
        case LUMK_PRIM_I8:
        case LUMK_PRIM_U8:
        case LUMK_PRIM_I16:
        case LUMK_PRIM_U16: return LUMK_PRIM_I32;
        default: return prim;
    }
}

bool lumk_is_vector(const lumk_checker& ck, const lumk_operand& op) {
    if (!op.is_location() || op.type.prim != LUMK_PRIM_STRUCT || op.array_count != 0) return false;
    const int32_t i = op.type.struct_index;
    return i >= 0 && static_cast<size_t>(i) < ck.unit.structs.size() &&
           ck.unit.structs[static_cast<size_t>(i)].lane_count > 0;
}

lumk_operand lumk_vector_lane(const lumk_checker& ck, const lumk_operand& vec, uint32_t i) {
    const lumk_struct_layout& s = ck.unit.structs[static_cast<size_t>(vec.type.struct_index)];
    lumk_operand lane = vec;
    lane.type = lumk_type{};
    lane.type.prim = s.lane_prim;
    lane.byte_offset = vec.byte_offset + s.fields[i].offset;
    lane.array_count = 0;
    lane.stride = s.fields[i].elem_size;
    lane.element = 0;
    return lane;
}

// ---- Values -----------------------------------------------------------------

lumk_operand lumk_resolve_literal(const lumk_operand& op) {
    if (op.kind != LUMK_OPND_CONST || op.lit == LUMK_LIT_TYPED) return op;
    if (op.lit == LUMK_LIT_FLOAT) return lumk_const_operand(LUMK_PRIM_F64, f64_bits(op.fval));
    const uint64_t bits = static_cast<uint64_t>(op.ival);
    if (op.big) return lumk_const_operand(LUMK_PRIM_U64, bits);
    if (op.ival >= INT32_MIN && op.ival <= INT32_MAX) return lumk_const_operand(LUMK_PRIM_I32, bits);
    return lumk_const_operand(LUMK_PRIM_I64, bits);
}

lumk_operand lumk_load_value(lumk_checker& ck, const lumk_operand& op, const lumk_token& at) {
    if (!op.is_location()) return op;
    if (op.array_count != 0)
        lumk_error_at(ck, at, "an array (" + lumk_describe_operand(ck, op) + ") cannot be used as a value, index it");
    if (op.type.prim == LUMK_PRIM_STRUCT)
        lumk_error_at(ck, at,
                      "a struct (" + lumk_describe_operand(ck, op) +
                          ") cannot be used as a value, access a field or copy it with '='");
    const uint16_t r = lumk_new_register(ck);
    lumk_emit_load(ck, op, r);
    return lumk_reg_operand(op.type.prim, r, static_cast<int32_t>(ck.prog->code.size() - 1));
}

uint16_t lumk_operand_value(lumk_checker& ck, const lumk_operand& op, const lumk_token& at) {
    const lumk_operand v = lumk_resolve_literal(lumk_load_value(ck, op, at));
    if (v.kind == LUMK_OPND_CONST) return lumk_add_constant(ck, v.type.prim, v.bits);
    if (v.kind == LUMK_OPND_REG) return v.reg;
    lumk_error_at(ck, at, "a " + lumk_describe_operand(ck, v) + " cannot be used as a value here");
}

void lumk_emit_load(lumk_checker& ck, const lumk_operand& loc, uint16_t dest) {
    emit_memory_access(ck, loc, dest, false);
}

void lumk_emit_store(lumk_checker& ck, const lumk_operand& loc, uint16_t value) {
    emit_memory_access(ck, loc, value, true);
}

uint16_t lumk_index_register(lumk_checker& ck, const lumk_operand& loc) {
    const uint16_t index = lumk_index_or_zero(ck, loc.index);
    if (loc.index_offset == 0) return index;
    const uint16_t r = lumk_new_register(ck);
    lumk_emit(ck, LUMK_ADDI_X64, r, index, 0, loc.index_offset);
    return r;
}

void lumk_assign_register(lumk_checker& ck, const lumk_operand& value, uint16_t dest, const lumk_type& target,
                          const lumk_token& at) {
    if (value.kind == LUMK_OPND_MEM && value.array_count == 0 && !target.is_pointer &&
        value.type.prim == target.prim && value.type.prim != LUMK_PRIM_STRUCT && is_number(value.type.prim)) {
        lumk_emit_load(ck, value, dest);
        return;
    }
    const lumk_operand v = lumk_convert_implicit(ck, value, target, at);
    uint16_t operand;
    if (v.kind == LUMK_OPND_CONST) {
        operand = lumk_add_constant(ck, v.type.prim, v.bits);
    } else if (v.kind == LUMK_OPND_REG) {
        operand = v.reg;
    } else {
        lumk_error_at(ck, at, "a " + lumk_describe_operand(ck, v) + " cannot be used as a value here");
    }
    if (v.kind == LUMK_OPND_REG) {
        if (v.reg == dest) return;
        lumk_program& p = *ck.prog;
        if (v.def_insn >= 0 && static_cast<size_t>(v.def_insn) + 1 == p.code.size()) {
            lumk_insn& last = p.code.back();
            if (lumk_op_format(last.op)[0] == 'D' && last.a == v.reg) {
                last.a = dest;
                return;
            }
        }
    }
    lumk_emit(ck, LUMK_MOV, dest, operand, 0, 0);
}

void lumk_copy_struct(lumk_checker& ck, const lumk_operand& dest, const lumk_operand& src, const lumk_token& at) {
    if (src.is_location() && src.type.prim == LUMK_PRIM_STRUCT && src.array_count == 0 &&
        src.type.struct_index == dest.type.struct_index) {
        const uint16_t s = lumk_location_address(ck, src);
        const uint16_t d = lumk_location_address(ck, dest);
        const uint32_t size = ck.unit.structs[static_cast<size_t>(dest.type.struct_index)].size;
        lumk_emit(ck, LUMK_COPY, d, s, 0, size);
        return;
    }
    lumk_error_at(ck, at,
                  "expected a " + lumk_type_text(ck, plain(dest.type)) + " but got a " + lumk_describe_operand(ck, src));
}

uint16_t lumk_location_address(lumk_checker& ck, const lumk_operand& loc) {
    const lumk_operand a = lumk_address_operand(ck, loc);
    if (a.byte_offset == 0) return a.addr_reg;
    const uint16_t r = lumk_new_register(ck);
    lumk_emit(ck, LUMK_ADDI_X64, r, a.addr_reg, 0, a.byte_offset);
    return r;
}

uint32_t lumk_slot_elem_size(const lumk_checker& ck, uint16_t slot) {
    for (const lumk_param& p : ck.prog->params)
        if (p.type.is_pointer && p.slot == slot) return p.size;
    return 0;
}

uint16_t lumk_index_or_zero(lumk_checker& ck, uint16_t index) {
    return index == LUMK_NO_INDEX ? lumk_add_constant(ck, LUMK_PRIM_I64, 0) : index;
}

void lumk_zero_location(lumk_checker& ck, const lumk_operand& loc, uint64_t bytes) {
    const uint16_t a = lumk_location_address(ck, loc);
    lumk_emit(ck, LUMK_ZERO, a, 0, 0, bytes);
}

std::string lumk_pointer_param_name(const lumk_checker& ck, uint16_t slot) {
    for (const lumk_param& p : ck.prog->params)
        if (p.type.is_pointer && p.slot == slot) return p.name;
    return "?";
}

// ---- Conversions and folding ------------------------------------------------

lumk_operand lumk_convert_implicit(lumk_checker& ck, const lumk_operand& op, const lumk_type& target,
                                   const lumk_token& at) {
    if (!target.is_pointer) {
        // The target's text is only needed by the messages.
        auto T = [&] { return lumk_type_text(ck, plain(target)); };
        const lumk_operand v = lumk_load_value(ck, op, at);
        if (v.kind == LUMK_OPND_PTR) lumk_error_at(ck, at, "expected " + T() + " but got a pointer");
        if (v.kind == LUMK_OPND_NONE)
            lumk_error_at(ck, at, "a " + lumk_describe_operand(ck, v) + " cannot be used as a value here");
        const lumk_prim tk = target.prim;
        if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_INT) {
            if (tk == LUMK_PRIM_BOOL)
                lumk_error_at(ck, at, "an integer cannot be used as bool (write x != 0, or true / false)");
            if (lumk_prim_is_int(tk)) {
                if (v.big) {
                    if (tk == LUMK_PRIM_U64) return lumk_const_operand(tk, static_cast<uint64_t>(v.ival));
                } else {
                    int64_t lo, hi;
                    int_range(tk, lo, hi);
                    if (v.ival >= lo && v.ival <= hi)
                        return lumk_const_operand(tk, lumk_narrow_bits(tk, static_cast<uint64_t>(v.ival)));
                }
            } else if (lumk_prim_is_float(tk) && !v.big) {
                const double d = tk == LUMK_PRIM_F32 ? static_cast<double>(static_cast<float>(v.ival))
                                                     : static_cast<double>(v.ival);
                if (d >= -kTwo63 && d < kTwo63 && static_cast<int64_t>(d) == v.ival)
                    return lumk_const_operand(
                        tk, tk == LUMK_PRIM_F32 ? f32_bits(static_cast<float>(d)) : f64_bits(d));
            }
            lumk_error_at(ck, at,
                          "integer literal " + literal_text(v) + " does not fit into " + T() +
                              (lumk_prim_is_float(tk) ? " exactly" : ""));
        }
        if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_FLOAT) {
            if (tk == LUMK_PRIM_F32) return lumk_const_operand(tk, f32_bits(static_cast<float>(v.fval)));
            if (tk == LUMK_PRIM_F64) return lumk_const_operand(tk, f64_bits(v.fval));
            lumk_error_at(ck, at, "a float literal cannot be converted to " + T() + " implicitly, write " + T() + "(...)");
        }
        const lumk_prim sk = v.type.prim;
        if (v.kind == LUMK_OPND_CONST || v.kind == LUMK_OPND_REG) {
            if (sk == tk && tk != LUMK_PRIM_STRUCT) return v;
            if (lumk_prim_is_int(sk) && lumk_prim_is_int(tk) && lumk_prim_converts_to(sk, tk)) {
                lumk_operand r = v;  // same bits in the register: the definition stays usable
                r.type = lumk_type{};
                r.type.prim = tk;
                return r;
            }
            if (sk == LUMK_PRIM_F32 && tk == LUMK_PRIM_F64) return lumk_convert_explicit(ck, v, tk, at);
        }
        const std::string S = lumk_describe_operand(ck, v);
        lumk_error_at(ck, at, "cannot convert " + S + " to " + T() + " implicitly, write " + T() + "(...)");
    }
    auto T = [&] { return lumk_type_text(ck, target); };
    if (op.kind != LUMK_OPND_PTR)
        lumk_error_at(ck, at, "expected a pointer (" + T() + ") but got a " + lumk_describe_operand(ck, op));
    if (op.type.prim != target.prim || op.type.struct_index != target.struct_index)
        lumk_error_at(ck, at, "pointer types do not match: expected " + T() + " but got " + lumk_describe_operand(ck, op));
    if (op.type.is_const && !target.is_const)
        lumk_error_at(ck, at, "cannot pass a const pointer as a writable pointer (" + T() + ")");
    lumk_operand r = op;
    r.type.is_const = target.is_const;
    return r;
}

lumk_operand lumk_convert_explicit(lumk_checker& ck, const lumk_operand& op, lumk_prim target, const lumk_token& at) {
    const lumk_operand v = lumk_resolve_literal(lumk_load_value(ck, op, at));
    const lumk_prim s = v.type.prim;
    const bool value = v.kind == LUMK_OPND_CONST || v.kind == LUMK_OPND_REG;
    if (value && s == target && target != LUMK_PRIM_STRUCT) return v;
    if (value) {
        const bool si = lumk_prim_is_int(s), ti = lumk_prim_is_int(target);
        const bool sf = lumk_prim_is_float(s), tf = lumk_prim_is_float(target);
        if (si && ti) {
            if (lumk_prim_converts_to(s, target) || target == LUMK_PRIM_I64 || target == LUMK_PRIM_U64)
                return relabel(v, target);
            return apply_unary(ck, lumk_op_trunc(target), target, v, 0, at);
        }
        if (si && tf) {
            const bool f32 = target == LUMK_PRIM_F32;
            const uint16_t opc = lumk_prim_is_signed(s) ? (f32 ? LUMK_CVT_S_F32 : LUMK_CVT_S_F64)
                                                        : (f32 ? LUMK_CVT_U_F32 : LUMK_CVT_U_F64);
            return apply_unary(ck, opc, target, v, 0, at);
        }
        if (s == LUMK_PRIM_BOOL && ti) return relabel(v, target);
        if (s == LUMK_PRIM_BOOL && tf)
            return apply_unary(ck, target == LUMK_PRIM_F32 ? LUMK_CVT_S_F32 : LUMK_CVT_S_F64, target, v, 0, at);
        if (si && target == LUMK_PRIM_BOOL) {
            if (v.kind == LUMK_OPND_CONST) return lumk_const_operand(LUMK_PRIM_BOOL, v.bits != 0 ? 1 : 0);
            const uint16_t zero = lumk_add_constant(ck, LUMK_PRIM_I64, 0);
            const uint16_t r = lumk_new_register(ck);
            const uint32_t idx = lumk_emit(ck, LUMK_CMPNE_X, r, v.reg, zero, 0);
            return lumk_reg_operand(LUMK_PRIM_BOOL, r, static_cast<int32_t>(idx));
        }
        if (sf && ti)
            return apply_unary(ck, s == LUMK_PRIM_F32 ? LUMK_CVT_F32_INT : LUMK_CVT_F64_INT, target, v, target, at);
        if (s == LUMK_PRIM_F32 && target == LUMK_PRIM_F64) return apply_unary(ck, LUMK_CVT_F32_F64, target, v, 0, at);
        if (s == LUMK_PRIM_F64 && target == LUMK_PRIM_F32) return apply_unary(ck, LUMK_CVT_F64_F32, target, v, 0, at);
        if (sf && target == LUMK_PRIM_BOOL)
            return apply_unary(ck, s == LUMK_PRIM_F32 ? LUMK_BOOL_F32 : LUMK_BOOL_F64, target, v, 0, at);
    }
    lumk_error_at(ck, at,
                  "cannot convert " + lumk_describe_operand(ck, v) + " to " + lumk_type_text(ck, lumk_type{target}));
}

lumk_operand lumk_convert_to_type(lumk_checker& ck, const lumk_operand& op, lumk_prim target, const lumk_token& at) {
    const lumk_operand v = lumk_load_value(ck, op, at);
    if (v.kind == LUMK_OPND_PTR) lumk_error_at(ck, at, "pointers cannot be converted");
    if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_INT) {
        const uint64_t u = static_cast<uint64_t>(v.ival);
        switch (target) {
            case LUMK_PRIM_BOOL: return lumk_const_operand(target, u != 0 ? 1 : 0);
            case LUMK_PRIM_F32:
                return lumk_const_operand(target, f32_bits(v.big ? static_cast<float>(u) : static_cast<float>(v.ival)));
            case LUMK_PRIM_F64:
                return lumk_const_operand(target,
                                          f64_bits(v.big ? static_cast<double>(u) : static_cast<double>(v.ival)));
            case LUMK_PRIM_I64:
            case LUMK_PRIM_U64: return lumk_const_operand(target, u);
            default:
                if (lumk_prim_is_int(target)) return lumk_const_operand(target, lumk_narrow_bits(target, u));
                break;
        }
    } else if (v.kind == LUMK_OPND_CONST && v.lit == LUMK_LIT_FLOAT) {
        if (target == LUMK_PRIM_BOOL) return lumk_const_operand(target, v.fval != 0.0 ? 1 : 0);
        if (target == LUMK_PRIM_F32) return lumk_const_operand(target, f32_bits(static_cast<float>(v.fval)));
        if (target == LUMK_PRIM_F64) return lumk_const_operand(target, f64_bits(v.fval));
        if (lumk_prim_is_int(target)) {
            uint64_t out = 0;
            if (!lumk_f2i(v.fval, target, out))
                lumk_error_at(ck, at, std::string("float literal does not fit into ") + lumk_prim_name(target));
            return lumk_const_operand(target, out);
        }
    }
    return lumk_convert_explicit(ck, v, target, at);
}

uint64_t lumk_fold_with_interpreter(lumk_checker& ck, uint16_t op, uint64_t x, uint64_t y, uint16_t c,
                                    bool two_registers, uint64_t imm, const lumk_token& at) {
    lumk_program& fp = *ck.fold_prog;
    fp.code[0] = lumk_insn{op, 0, 1, static_cast<uint16_t>(two_registers ? 2 : c), imm};
    kreg regs[4];
    regs[0].u = 0;
    regs[1].u = x;
    regs[2].u = y;
    regs[3].u = 0;
    ktrap trap{};
    const uint8_t rc = lumk_run_scalar(fp, regs, nullptr, 0, 1, nullptr, &trap, 0);
    if (rc != 0) lumk_error_at(ck, at, "constant expression: " + lumk_trap_message(fp, trap));
    return regs[0].u;
}

// ---- Expressions ------------------------------------------------------------

namespace {

lumk_operand check_sizeof(lumk_checker& ck, const lumk_expr& node) {
    const lumk_type_syntax& t = node.type;
    if (t.name == "void") lumk_error_at(ck, node.token, "sizeof(void) is not defined");
    if (t.is_pointer) lumk_error_at(ck, t.token, "sizeof(" + t.name + "*) is not defined");
    const lumk_prim p = lumk_prim_from_name(t.name);
    if (p != LUMK_PRIM_NONE) return lumk_int_literal(lumk_prim_size(p), false);
    const int32_t s = lumk_lookup_type(ck, t.name);
    if (s < 0) lumk_error_at(ck, t.token, "unknown type '" + t.name + "'");
    return lumk_int_literal(ck.unit.structs[static_cast<size_t>(s)].size, false);
}

}  // namespace

lumk_operand lumk_check_expr(lumk_checker& ck, const lumk_expr& node) {
    lumk_depth_guard depth(ck, node.token);
    lumk_token_scope scope(ck, node.token);
    switch (node.kind) {
        case lumk_expr_kind::int_lit: {
            const uint64_t v = node.token.ival;
            if (node.token.u_suffix)
                return lumk_const_operand(v <= UINT32_MAX ? LUMK_PRIM_U32 : LUMK_PRIM_U64, v);
            return lumk_int_literal(static_cast<int64_t>(v), v > static_cast<uint64_t>(INT64_MAX));
        }
        case lumk_expr_kind::float_lit:
            if (node.token.f_suffix)
                return lumk_const_operand(LUMK_PRIM_F32, f32_bits(static_cast<float>(node.token.fval)));
            return lumk_float_literal(node.token.fval);
        case lumk_expr_kind::bool_lit: return lumk_const_operand(LUMK_PRIM_BOOL, node.name == "true" ? 1 : 0);
        case lumk_expr_kind::name: return lumk_check_name(ck, node);
        case lumk_expr_kind::unary: return lumk_check_address_deref(ck, node);
        case lumk_expr_kind::binary: return lumk_check_binary_expr(ck, node);
        case lumk_expr_kind::cond: return lumk_check_conditional(ck, node);
        case lumk_expr_kind::call: return lumk_check_call(ck, node);
        case lumk_expr_kind::index: return lumk_check_index(ck, node);
        case lumk_expr_kind::field:
        case lumk_expr_kind::arrow: return lumk_check_field_access(ck, node);
        case lumk_expr_kind::size_of: return check_sizeof(ck, node);
        case lumk_expr_kind::brace:
            lumk_error_at(ck, node.token,
                          "a {...} list is only allowed to initialize a variable or in a return statement");
    }
    lumk_error_at(ck, node.token, "unsupported expression");
}

lumk_operand lumk_check_name(lumk_checker& ck, const lumk_expr& node) {
    const std::string& n = node.name;
    if (const lumk_local* l = lumk_find_local(ck, n)) {
        if (l->in_frame) return lumk_frame_operand(ck, l->type, l->frame_offset, l->array_count, l->stride);
        if (l->type.is_pointer) {
            lumk_operand o;
            o.kind = LUMK_OPND_PTR;
            o.type = l->type;
            o.type.is_pointer = 0;
            o.slot = l->slot;
            o.index = l->reg;
            return o;
        }
        return lumk_reg_operand(l->type.prim, l->reg, -1);
    }
    lumk_program& p = *ck.prog;
    if (n == "gid") return lumk_reg_operand(LUMK_PRIM_U32, p.gid, -1);
    if (n == "gsize") return lumk_reg_operand(LUMK_PRIM_U32, p.gsize, -1);
    if (n == "gid_x") {
        p.is_2d = 1;
        return lumk_reg_operand(LUMK_PRIM_U32, p.gid_x, -1);
    }
    if (n == "gid_y") {
        p.is_2d = 1;
        return lumk_reg_operand(LUMK_PRIM_U32, p.gid_y, -1);
    }
    if (n == "gsize_x") return lumk_reg_operand(LUMK_PRIM_U32, p.gsize_x, -1);
    if (n == "gsize_y") return lumk_reg_operand(LUMK_PRIM_U32, p.gsize_y, -1);
    auto c = ck.constants.find(n);
    if (c != ck.constants.end()) {
        const lumk_unit_const& uc = ck.unit.constants[c->second];
        return lumk_const_operand(uc.prim, uc.bits);
    }
    lumk_prim vp;
    uint8_t vn;
    if (lumk_find_declared_struct(ck, n) >= 0 || lumk_parse_vector_type(n, vp, vn))
        lumk_error_at(ck, node.token, "'" + n + "' is a struct type, not a value");
    if (ck.kernels.count(n))
        lumk_error_at(ck, node.token, "'" + n + "' is a kernel function, call it with '" + n + "(...)'");
    if (lumk_prim_from_name(n) == LUMK_PRIM_NONE) lumk_error_at(ck, node.token, "unknown name '" + n + "'");
    lumk_error_at(ck, node.token, "'" + n + "' is a type, convert values with '" + n + "(value)'");
}
