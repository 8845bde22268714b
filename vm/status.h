#pragma once
// The status word of an execution context (`lum_status`): what the last run
// of the interpreter left for task continuation. One value at a time.

#include <cstdint>

enum lum_status : uint32_t {
    LUM_STATUS_RUNNING = 0,     // keep running (set at the start of every run)
    LUM_STATUS_RETURN = 2,      // opcode 58
    LUM_STATUS_BREAK = 4,       // opcode 59
    LUM_STATUS_CONTINUE = 8,    // opcode 60
    LUM_STATUS_CALL = 16,       // a new context was pushed; continuation runs it
    LUM_STATUS_SUSPENDED = 32,  // the task waits to be woken
    LUM_STATUS_FINISHED = 64,   // the block's code ended
    LUM_STATUS_ERROR = 128,     // run-time error
};
