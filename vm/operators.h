#pragma once
// Operators of the interpreter and their overloads.
//
// Numbers are computed directly; strings, binaries and json values have
// built-in meanings for addition; native objects are asked through their
// virtual operations; instances of script classes through methods with
// reserved names (vm/operator_table.h), which run as a call in a new context
// (status 16) and are completed when the calling context resumes.
//
// The `lum_op_*` handlers work on the task's value stack as their opcodes
// do: a binary operator takes the right operand from the top, pops it and
// writes the result into the left operand's place.

#include <cstdint>

#include "runtime/value.h"

struct lum_vm_context;

// Operator-call modes kept in the calling context while a method runs.
enum lum_operator_mode : uint8_t {
    LUM_OPMODE_NONE = 0,
    LUM_OPMODE_RESULT = 1,   // the result replaces the operand
    LUM_OPMODE_TRUTH = 2,    // the result's truth, 0 or 1
    LUM_OPMODE_NEGATED = 3,  // the negated truth
};

// Opcode 21.
void lum_op_negate(lum_vm_context& ctx);
// Opcodes 25-28: `op` 0 add, 1 subtract, 2 multiply, 3 divide.
void lum_op_arith(lum_vm_context& ctx, unsigned op);
// Opcode 70.
void lum_op_mod(lum_vm_context& ctx);
// Opcodes 29-31: `op` 4 and, 5 or, 6 xor.
void lum_op_bitwise(lum_vm_context& ctx, unsigned op);
// Opcodes 32 and 33.
void lum_op_incdec(lum_vm_context& ctx, bool increment, bool postfix);
// Opcodes 34-36 with field A.
void lum_op_compare(lum_vm_context& ctx, uint8_t opcode, uint8_t a);

// Starts script operator method `op` of the class instance `operand`: a new
// context (self = the instance) with the arguments in slots 0 and 1 (by
// reference when the slot flag asks for it), the operand and a fresh none
// result place pushed on the value stack (pushed count +2), the context on
// the task's context stack, the mode in the calling context, status 16.
// False when the operand is not a class instance or its class has no such
// method. A method with fewer parameters than the operator passes raises
// "invalid argument count: ..." and the place on top gets a fresh none
// (true: nothing else must run).
bool lum_call_class_operator(lum_vm_context& ctx, lumvar* operand, unsigned op, const lumvar_shared& arg,
                             uint8_t mode, const lumvar_shared& arg2);

// Binary operator n (0..7) on class instances: the left operand's method n,
// else the right operand's reversed method n + 8; neither: the error
// "Operator '...' is not defined for ..." and a fresh none on top.
void lum_binary_operator_overload(lum_vm_context& ctx, lumvar* left, lumvar* right, unsigned n);

// Comparison n (16..21) on class instances; false when no method exists.
bool lum_compare_overload(lum_vm_context& ctx, lumvar* left, lumvar* right, unsigned n);

// Completes an operator call when the calling context resumes: pops the
// result and the operand and writes the result (mode 1) or its truth (2, 3)
// into the operand's place.
void lum_complete_operator_call(lum_vm_context& ctx);
