// Bytecode listings: a kernel's signature with the register or pointer slot
// of each parameter, its register file, accumulators, frame and constants,
// the prologue, and every instruction with decoded operands and source line.
#pragma once

#include <cstdint>
#include <string>

struct lumk_program;

// The whole listing of a program.
std::string lumk_disasm(const lumk_program& program);
// The instruction lines of one program (a prologue's final END is left out).
std::string lumk_disasm_code(const lumk_program& program);
// One register operand: "r17", or with its name "r0(gid)".
std::string lumk_reg_name(const lumk_program& program, int64_t reg);
