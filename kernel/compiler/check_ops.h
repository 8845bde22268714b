// Operators of the kernel checker: unary and binary operators with their
// typing rules and opcode choice, exact folding of literals, lane-wise vector
// operations, pointer arithmetic, the conditional operator, indexing with
// index checks and field access.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/compiler/ast.h"
#include "kernel/compiler/checker.h"
#include "kernel/compiler/operand.h"

lumk_operand lumk_check_address_deref(lumk_checker& ck, const lumk_expr& node);
lumk_operand lumk_check_unary(lumk_checker& ck, std::string_view op, const lumk_operand& v, const lumk_token& at);
lumk_operand lumk_emit_unary_op(lumk_checker& ck, uint16_t opcode, lumk_prim result, const lumk_operand& v,
                                const lumk_token& at);

lumk_operand lumk_check_binary_expr(lumk_checker& ck, const lumk_expr& node);
lumk_operand lumk_check_binary(lumk_checker& ck, std::string_view op, const lumk_operand& left,
                               const lumk_operand& right, const lumk_token& at);
lumk_operand lumk_fold_literal_binary(lumk_checker& ck, std::string_view op, const lumk_operand& x,
                                      const lumk_operand& y, const lumk_token& at);
// Common type of two loaded, non-pointer operands; `op` is the operator
// ("+", "min", "?:"), quoted in the messages.
lumk_prim lumk_common_type(lumk_checker& ck, const lumk_operand& a, const lumk_operand& b, std::string_view op,
                           const lumk_token& at);
uint16_t lumk_arith_opcode(lumk_checker& ck, std::string_view op, lumk_prim kind, const lumk_token& at);
// form: 0 value, 1 jump if true, 2 jump if false.
uint16_t lumk_compare_opcode(lumk_checker& ck, uint32_t index, lumk_prim kind, uint32_t form, const lumk_token& at);
// "==" 0, "!=" 1, "<" 2, "<=" 3, ">" 4, ">=" 5; -1 otherwise.
int lumk_compare_index(std::string_view op);
bool lumk_is_comparison(std::string_view op);
lumk_operand lumk_emit_binary_op(lumk_checker& ck, uint16_t opcode, lumk_prim result, const lumk_operand& left,
                                 const lumk_operand& right, const lumk_token& at);

lumk_operand lumk_build_vector(lumk_checker& ck, const std::vector<lumk_operand>& lanes, const lumk_token& at);
lumk_operand lumk_check_vector_binary(lumk_checker& ck, std::string_view op, const lumk_operand& a,
                                      const lumk_operand& b, const lumk_token& at);
lumk_operand lumk_check_vector_constructor(lumk_checker& ck, const lumk_expr& call, lumk_prim kind, uint32_t lanes);

lumk_operand lumk_check_pointer_binary(lumk_checker& ck, std::string_view op, const lumk_operand& a,
                                       const lumk_operand& b, const lumk_token& at);
lumk_operand lumk_pointer_offset(lumk_checker& ck, const lumk_operand& p, const lumk_operand& offset, bool subtract,
                                 const lumk_token& at);
lumk_operand lumk_deref_operand(lumk_checker& ck, const lumk_operand& p, uint16_t extra);
lumk_operand lumk_address_operand(lumk_checker& ck, const lumk_operand& loc);

lumk_operand lumk_check_conditional(lumk_checker& ck, const lumk_expr& node);
lumk_operand lumk_check_index(lumk_checker& ck, const lumk_expr& node);
lumk_operand lumk_check_field_access(lumk_checker& ck, const lumk_expr& node);
// The location of field `fd` inside the struct location `base` (array fields
// keep their count and stride; everything else of `base` carries over).
lumk_operand lumk_field_location(const lumk_operand& base, const lumk_struct_field& fd);

// Fails unless the call has exactly n arguments.
void lumk_check_arg_count(lumk_checker& ck, const lumk_expr& call, uint32_t n);
