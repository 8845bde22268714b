// Calls of kernel code: conversions T(x), vector constructors, builtins
// (elementwise math, min/max/clamp/abs, vector builtins, atomic_add) and
// calls of inline helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/compiler/ast.h"
#include "kernel/compiler/checker.h"
#include "kernel/compiler/operand.h"

lumk_operand lumk_check_call(lumk_checker& ck, const lumk_expr& call);
// Every name that a call in kernel code takes as a builtin function: the
// elementwise set (numbers, or vectors lane by lane), the vector builtins and
// atomic_add. A name outside it calls the `kernel inline` helper of that
// name, or is an unknown function.
std::vector<std::string> lumk_builtin_names();
// Scalar builtins of the elementwise set on checked arguments.
lumk_operand lumk_check_builtin(lumk_checker& ck, const lumk_expr& call, const std::vector<lumk_operand>& args);
// Loads argument `index` and requires f32 or f64.
lumk_operand lumk_require_float(lumk_checker& ck, const lumk_expr& call, const std::vector<lumk_operand>& args,
                                uint32_t index);
lumk_operand lumk_emit_min_max(lumk_checker& ck, bool is_min, const lumk_operand& x, const lumk_operand& y,
                               const lumk_token& at);
lumk_operand lumk_check_atomic_add(lumk_checker& ck, const lumk_expr& call);
