#pragma once
// Fused fast paths of the interpreter.
//
// Opcode 72 evaluates a small numeric expression over integer and float
// slots and constants without value cells, overloads or warnings; opcode 73
// prepares a method call of a class instance straight from the member cache.
// Each either succeeds (the caller jumps over the generic code that follows)
// or declines without any effect, and the generic code gives the full
// semantics. Declining is never an error.

#include <cstdint>

struct lum_vm_context;
struct lumvar;
struct lum_fexpr_plan;
class lum_program_block;

// The cell a fused operand or destination names: kind 0 local slot, 1 slot of
// the context `level` places below the top, 2 global slot, 19 member cell of
// self, 20 member-path record `slot` of the running block. Null when there is none.
lumvar* lum_fused_slot(lum_vm_context& ctx, uint8_t kind, uint8_t level, uint32_t slot);

// Opcode 72; true on success (the top or destination holds the result).
bool lum_fused_expression(lum_vm_context& ctx, const uint8_t* insn);

// Opcode 73; true when the call was prepared (pending context and call record).
bool lum_fused_call(lum_vm_context& ctx, const uint8_t* insn);

// Decodes the fused expression at `insn` (an opcode 72 of `block` that fits
// in the code) into the block's plan table and returns the plan. The
// interpreter looks plans up by offset and calls this on a miss.
const lum_fexpr_plan& lum_fexpr_plan_decode(lum_program_block& block, const uint8_t* insn);
