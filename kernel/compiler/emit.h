// Emission primitives of the kernel checker: instructions with their source
// positions, labels and jumps, scopes and locals, frame storage, loads and
// stores, conversions with literal range checks, folding through the scalar
// interpreter, the expression dispatcher and name lookup.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kernel/compiler/ast.h"
#include "kernel/compiler/checker.h"
#include "kernel/compiler/operand.h"

// Makes a node's token current for the lifetime of the guard.
struct lumk_token_scope {
    lumk_token_scope(lumk_checker& ck, const lumk_token& tok) : ck(ck), saved(ck.tok) { ck.tok = &tok; }
    ~lumk_token_scope() { ck.tok = saved; }
    lumk_token_scope(const lumk_token_scope&) = delete;
    lumk_token_scope& operator=(const lumk_token_scope&) = delete;
    lumk_checker& ck;
    const lumk_token* saved;
};

// Counts the nesting of checks; refuses helper calls nested so deeply that
// checking them could exhaust the stack.
struct lumk_depth_guard {
    lumk_depth_guard(lumk_checker& ck, const lumk_token& at);
    ~lumk_depth_guard() { --ck.depth; }
    lumk_depth_guard(const lumk_depth_guard&) = delete;
    lumk_depth_guard& operator=(const lumk_depth_guard&) = delete;
    lumk_checker& ck;
};

// ---- Instructions and labels ------------------------------------------------
uint32_t lumk_emit(lumk_checker& ck, uint16_t op, uint16_t a, uint16_t b, uint16_t c, uint64_t imm);
uint32_t lumk_emit_jump(lumk_checker& ck, uint16_t op, uint32_t label, uint16_t a, uint16_t b);
uint32_t lumk_new_label(lumk_checker& ck);
void lumk_place_label(lumk_checker& ck, uint32_t label);

// ---- Scopes and locals ------------------------------------------------------
void lumk_enter_scope(lumk_checker& ck);
void lumk_leave_scope(lumk_checker& ck);
void lumk_check_local_name(lumk_checker& ck, const lumk_token& name);
const lumk_local* lumk_find_local(const lumk_checker& ck, std::string_view name);
// Frame storage of `bytes` (8-byte aligned); returns its offset. Fails at `at`
// with "the local variables of this kernel need more than 1 MiB".
uint32_t lumk_frame_alloc(lumk_checker& ck, uint64_t bytes, const lumk_token& at);
lumk_operand lumk_frame_operand(lumk_checker& ck, const lumk_type& type, uint32_t offset, uint32_t count,
                                uint32_t stride);

// ---- Operand construction ---------------------------------------------------
lumk_operand lumk_const_operand(lumk_prim prim, uint64_t bits);
lumk_operand lumk_int_literal(int64_t value, bool big);
lumk_operand lumk_float_literal(double value);
lumk_operand lumk_reg_operand(lumk_prim prim, uint16_t reg, int32_t def_insn);
// Bits narrowed to the register encoding of `prim` (bool: bits != 0).
uint64_t lumk_narrow_bits(lumk_prim prim, uint64_t bits);
// i8, u8, i16, u16 -> i32; everything else unchanged.
lumk_prim lumk_promote(lumk_prim prim);
// True for a vector value: a struct location whose struct is a vector type.
bool lumk_is_vector(const lumk_checker& ck, const lumk_operand& op);
// Location of lane `i` of a vector location (not loaded).
lumk_operand lumk_vector_lane(const lumk_checker& ck, const lumk_operand& vec, uint32_t i);

// ---- Values -----------------------------------------------------------------
lumk_operand lumk_resolve_literal(const lumk_operand& op);
lumk_operand lumk_load_value(lumk_checker& ck, const lumk_operand& op, const lumk_token& at);
uint16_t lumk_operand_value(lumk_checker& ck, const lumk_operand& op, const lumk_token& at);
void lumk_emit_load(lumk_checker& ck, const lumk_operand& loc, uint16_t dest);
void lumk_emit_store(lumk_checker& ck, const lumk_operand& loc, uint16_t value);
uint16_t lumk_index_register(lumk_checker& ck, const lumk_operand& loc);
void lumk_assign_register(lumk_checker& ck, const lumk_operand& value, uint16_t dest, const lumk_type& target,
                          const lumk_token& at);
void lumk_copy_struct(lumk_checker& ck, const lumk_operand& dest, const lumk_operand& src, const lumk_token& at);
// Register holding the byte address of a memory location.
uint16_t lumk_location_address(lumk_checker& ck, const lumk_operand& loc);
// Element size of the pointer parameter bound to `slot`; 0 for none (the frame).
uint32_t lumk_slot_elem_size(const lumk_checker& ck, uint16_t slot);
// `index`, or the operand of the i64 constant 0 when there is no index.
uint16_t lumk_index_or_zero(lumk_checker& ck, uint16_t index);
// Zeroes the bytes of a memory location (ZERO over its address).
void lumk_zero_location(lumk_checker& ck, const lumk_operand& loc, uint64_t bytes);
// Name of the current program's pointer parameter bound to `slot`, "?" for none.
std::string lumk_pointer_param_name(const lumk_checker& ck, uint16_t slot);

// ---- Conversions and folding ------------------------------------------------
lumk_operand lumk_convert_implicit(lumk_checker& ck, const lumk_operand& op, const lumk_type& target,
                                   const lumk_token& at);
lumk_operand lumk_convert_explicit(lumk_checker& ck, const lumk_operand& op, lumk_prim target, const lumk_token& at);
lumk_operand lumk_convert_to_type(lumk_checker& ck, const lumk_operand& op, lumk_prim target, const lumk_token& at);
uint64_t lumk_fold_with_interpreter(lumk_checker& ck, uint16_t op, uint64_t x, uint64_t y, uint16_t c,
                                    bool two_registers, uint64_t imm, const lumk_token& at);

// ---- Expressions ------------------------------------------------------------
lumk_operand lumk_check_expr(lumk_checker& ck, const lumk_expr& node);
lumk_operand lumk_check_name(lumk_checker& ck, const lumk_expr& node);
