// The batch interpreter: one program for up to 64 consecutive work items in
// lock step, each instruction dispatched once per batch and applied to every
// lane. Control flow must be uniform; a conditional jump on which the lanes
// disagree hands the batch back (code 8) for lane-by-lane completion.
#pragma once

#include <cstdint>

#include "kernel/exec/bytecode.h"
#include "kernel/exec/scalar.h"

struct lumk_program;

// Lanes per batch; the lane registers hold 64 values per register.
inline constexpr uint32_t LUMK_BATCH_LANES = 64;

// Runs `program` from instruction 0 for the work items gid_begin + l, l < n
// (1 <= n <= 64). `lanes` holds register r of lane l at r * 64 + l; lanes n..63
// are neither read nor written, and the gid rows are the caller's to fill.
// Returns 0 at END, 1..7 on a trap (the first failing lane of the first
// failing instruction; *trap filled as the scalar engine does, gid =
// gid_begin + lane), or 8 when the lanes disagree at a conditional jump: then
// only trap->pc is written (the jump's index). `abort` (may be null) is read
// at every LOOP.
int lumk_run_batch(const lumk_program& program, uint64_t* lanes, const kptr* ptrs, uint64_t gid_begin, uint32_t n,
                   const volatile uint8_t* abort, ktrap* trap);
