// Reductions: the identity every accumulator starts from, the combination of
// two partial results, and the fold of a row of batch lanes into an
// accumulator. They make the same choices as the opcodes a reducing kernel's
// return uses (ADD_*, MIN_*, MAX_*, AND_X, OR_X, XOR_X with the accumulator as
// first operand), so a launch's result does not depend on the engine.
#pragma once

#include <cstdint>

#include "kernel/compiler/kernel_types.h"

// Starting value (register form) of an accumulator; 0 for operator none or
// an unknown operator.
uint64_t lumk_reduce_identity(lumk_reduce_op op, lumk_prim type);
// acc combined with value; acc unchanged for operator none or an unknown one.
uint64_t lumk_reduce_combine(lumk_reduce_op op, lumk_prim type, uint64_t acc, uint64_t value);
// acc combined with values[0], ..., values[n-1] in that order (float sums
// strictly left to right).
uint64_t lumk_reduce_fold(lumk_reduce_op op, lumk_prim type, uint64_t acc, const uint64_t* values, uint32_t n);
