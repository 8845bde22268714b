// The scalar interpreter: the reference engine of the kernel bytecode, and the
// run-time trap record with its texts.
#pragma once

#include <cstdint>
#include <string>

#include "kernel/exec/bytecode.h"

struct lumk_program;

// Trap codes. Every engine reports a fault with one of these and a filled
// ktrap record; 8 comes only from the batch interpreter.
using lumk_trap_code = uint32_t;
enum : lumk_trap_code {
    LUMK_TRAP_NONE = 0,
    LUMK_TRAP_BOUNDS = 1,        // checked pointer access, ADDR or AADD_* out of bounds
    LUMK_TRAP_DIV_ZERO = 2,      // integer division or modulo by zero
    LUMK_TRAP_DIV_OVERFLOW = 3,  // most negative value divided by -1
    LUMK_TRAP_CONVERT = 4,       // float to integer out of range or NaN
    LUMK_TRAP_INDEX = 5,         // CHKIDX failed
    LUMK_TRAP_ALIGN = 6,         // misaligned atomic add
    LUMK_TRAP_ABORT = 7,         // abort flag seen at LOOP, or an unknown opcode
    LUMK_TRAP_DIVERGED = 8,      // batch lanes disagree at a conditional jump
};

// Trap record; the layout is shared with generated native code.
struct ktrap {
    uint32_t code = 0;   // only the low byte is written and read
    uint32_t pc = 0;     // trapping instruction
    uint64_t gid = 0;    // work item
    int64_t value = 0;   // offending index, dividend or address
    double fvalue = 0;   // offending float (code 4)
    uint64_t limit = 0;  // bound, divisor or alignment
};
static_assert(sizeof(ktrap) == 40, "ktrap layout is shared with generated code");

// The abort poll of the interpreters: one volatile byte read, done as a
// relaxed atomic load so that race detectors see the launch's atomic flag.
inline bool lumk_abort_seen(const volatile uint8_t* abort) {
    return abort != nullptr && __atomic_load_n(abort, __ATOMIC_RELAXED) != 0;
}

// Runs `program` for every work item in [gid_begin, gid_end), one after the
// other, on `regs` in place (registers keep their values between work items;
// gid, and for 2-D programs gid_x and gid_y, are set per item). The first item
// starts at start_pc, later ones at 0. `abort` (may be null) is polled at every
// LOOP. Returns 0 when the range ran to completion, else the trap code with
// *trap filled (callers zero the record first; fields a code does not set keep
// their values). A 2-D row width (register gsize_x) of 0 counts as 1.
uint8_t lumk_run_scalar(const lumk_program& program, kreg* regs, const kptr* ptrs, uint64_t gid_begin,
                        uint64_t gid_end, const volatile uint8_t* abort, ktrap* trap, uint32_t start_pc);

// Text of a trap, e.g. "index 12 is out of bounds of 'buf' (10 elements)".
std::string lumk_trap_message(const lumk_program& program, const ktrap& trap);
