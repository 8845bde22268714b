// Finalizing a freshly emitted kernel program: jumps get their targets, the
// optimizer runs, constant operands become registers placed after the working
// registers, and the register-file size is set. Afterwards the program holds
// every invariant the engines rely on:
//   - every register operand is below the register-file size (< 65535);
//   - every jump target lies inside the code, and the code ends with END;
//   - the line and file-index tables are exactly as long as the code;
//   - the constant pool holds each (scalar code, bits) pair once, so +0.0 and
//     -0.0 stay two entries, and each entry records its register.
#pragma once

#include <cstdint>

struct lumk_checker;
struct lumk_program;

// Resolves the checker's jump fix-ups, optimizes unless checker.optimize is 0,
// and completes the program (lumk_finalize_code with the checker's register
// count). Throws kerror at the kernel when a limit is exceeded.
void lumk_finalize_program(lumk_checker& checker, lumk_program& program);

// The part of finalizing that needs no checker, for programs whose jumps
// already hold absolute targets in imm. register_count: registers 0 ..
// register_count - 1 are in use (operands of 32768 + i name constant i).
// Throws kerror (at the program's file and line) when the result would break
// an invariant above.
void lumk_finalize_code(lumk_program& program, uint32_t register_count, bool optimize);
