// Statements of kernel code and the expansion of inline helpers at their calls.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "kernel/compiler/ast.h"
#include "kernel/compiler/checker.h"
#include "kernel/compiler/operand.h"

void lumk_check_statement(lumk_checker& ck, const lumk_stmt& stmt);
// The statement in a scope of its own (frame space is given back afterwards).
void lumk_check_scoped(lumk_checker& ck, const lumk_stmt& stmt);
// Jumps to `label` when the condition's truth equals jump_if; falls through otherwise.
void lumk_emit_condition(lumk_checker& ck, const lumk_expr& cond, bool jump_if, uint32_t label);
void lumk_emit_branch(lumk_checker& ck, const lumk_operand& value, bool jump_if, uint32_t label, const lumk_token& at);

void lumk_check_var_decl(lumk_checker& ck, const lumk_stmt& decl);
void lumk_check_initializer(lumk_checker& ck, const lumk_operand& target, const lumk_expr& init);
lumk_operand lumk_struct_value(lumk_checker& ck, const lumk_expr& expr, const lumk_type& type);

// The local an assignment writes (plain names only); null for other targets.
const lumk_local* lumk_assign_target_var(lumk_checker& ck, const lumk_expr& target);
void lumk_check_assignment(lumk_checker& ck, const lumk_stmt& stmt);
// `op` without its "=". The value is `value` when given, else `constant`.
void lumk_check_compound_assignment(lumk_checker& ck, const lumk_expr& target, std::string_view op,
                                    const lumk_expr* value, const lumk_operand& constant, const lumk_token& at);
void lumk_check_return(lumk_checker& ck, const lumk_stmt& stmt);

// Expands helper `decl` at a call; `args` are the checked arguments.
lumk_operand lumk_inline_call(lumk_checker& ck, const lumk_kernel_decl& decl, const std::vector<lumk_operand>& args,
                              const lumk_token& call, const std::vector<const lumk_token*>& arg_tokens);
bool lumk_returns_on_all_paths(const lumk_stmt& stmt);
