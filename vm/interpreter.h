#pragma once
// The bytecode interpreter.
//
// `lum_interpret` runs the code of one block inside one execution context
// from the context's resume offset until the status word becomes non-zero or
// the code ends. Its only caller is task continuation, which acts on the
// status it returns: 2 return, 4 break, 8 continue, 16 a new context was
// pushed (call or block entry), 32 suspended, 64 the code ended, 128
// run-time error. Calls never recurse into the interpreter: a call pushes a
// context and returns 16; task continuation runs the callee and later
// resumes the caller at its saved offset.

#include <cstdint>

struct lum_vm_context;
class lum_program_block;

uint32_t lum_interpret(lum_program_block* block, lum_vm_context* context);
