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

#include <cstddef>
#include <cstdint>

struct lum_task;
struct lum_vm_context;
class lum_program_block;

uint32_t lum_interpret(lum_program_block* block, lum_vm_context* context);

// Task continuation's run of the task's top context. Like lum_interpret, but
// the statuses that task continuation answers only by running the next
// context are answered inside the loop, with the same context-stack changes:
// 16 (the pushed context runs next, unless the stack holds more than `limit`
// contexts, 0 = no limit), 2 from a function body without epilogue and 64,
// when a resumable caller lies below and more than `base` contexts remain
// (`base` = the bottom contexts task continuation never pops). The stop flag
// ends the chain. Returns the status of the context that stopped, or 0 when
// a context was popped and the new top is to run next.
uint32_t lum_interpret_task(lum_task* task, size_t base, uint32_t limit);
