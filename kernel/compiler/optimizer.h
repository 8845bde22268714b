// The kernel optimizer: three passes over one program whose jumps are already
// resolved (imm holds absolute instruction indexes) and whose constant operands
// are still in the 32768 + pool-index form.
//
//   1. unchecked twins: a checked access whose identical check has already run
//      earlier in the same basic block becomes its unchecked twin; a repeated
//      CHKIDX of the same register and bound is removed;
//   2. prologue hoisting: work-item independent arithmetic moves into a
//      prologue program that runs once per lane runner;
//   3. register allocation: registers whose lifetimes do not overlap share one
//      register number, so real kernels stay small enough for the batch engine.
//
// Every pass is deterministic and keeps the program's observable results.
// Removing instructions remaps jump targets and the line and file tables.
#pragma once

#include <array>
#include <cstdint>

#include "kernel/compiler/program.h"

// Opcode -> unchecked twin, paired by mnemonic: LD_ -> LDU_, ST_ -> STU_,
// LDF_ -> LDFU_, STF_ -> STFU_, ADDR -> ADDRU. 0 for opcodes without a twin.
using lumk_twin_map = std::array<uint16_t, LUMK_OP_COUNT>;
const lumk_twin_map& lumk_unchecked_opcode_map();

// True when the opcode's mnemonic begins with one of the 30 prefixes of
// instructions that may move into a prologue (no memory, no traps, no jumps).
bool lumk_opt_hoistable_opcode(uint32_t op);

// Pass 1. Returns the number of accesses switched to their twin plus the
// number of repeated CHKIDX instructions removed.
uint32_t lumk_opt_unchecked_twins(lumk_program& program);

// Pass 2. Moves hoistable instructions, in code order, to the end of
// program.prologue (created as "<name> (prologue)" ending in END when the
// first instruction moves; left empty when nothing moves). An
// instruction moves when its destination is an ordinary register defined
// exactly once, never read before that definition, and each source is a
// constant, gsize/gsize_x/gsize_y, a value parameter, or an already hoisted
// result. Returns the number of instructions moved.
uint32_t lumk_opt_hoist_prologue(lumk_program& program);

// Pass 3. Renumbers the registers of the code and the prologue. Pinned
// registers (the fixed registers, accumulators, value parameters) keep their
// numbers; prologue-defined registers get registers of their own; all others
// share registers by greedy colouring of the interference graph (a definition
// interferes with everything live after it, dead or not; values may flow from
// one work item to the next, since engines never reset registers). Registers
// joined by a MOV prefer one register; the "MOV r, r" copies this leaves, and
// JMPs to the next instruction, are removed. register_count is the number of
// registers in use before allocation (operands below it); returns the number
// after it. Register names follow their registers.
uint32_t lumk_opt_allocate_registers(lumk_program& program, uint32_t register_count);

struct lumk_opt_stats {
    uint32_t twins = 0;             // pass 1 result
    uint32_t hoisted = 0;           // pass 2 result
    uint32_t registers_before = 0;  // register count given to pass 3
    uint32_t registers_after = 0;   // register count pass 3 returned
};

// Runs the three passes in order; program.reg_count is not touched (finalize
// sets it). Returns the statistics; registers_after is the new register count.
lumk_opt_stats lumk_optimize_program(lumk_program& program, uint32_t register_count);
